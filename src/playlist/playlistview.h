#pragma once

#include <QHash>
#include <QTimer>
#include <QWidget>

#include <functional>

class QListWidget;

namespace pocko {

class ClickableLabel;
class PlaylistController;

// The folder playlist window mpload: the list of songs, Play All, Skip and Stop All, drawn from
// the playlist controller and forwarding picks, clicks, the one-second tick and the close box to
// it. The controller may close the window from inside any of these; the view then only hides
// and stops its timer, and is deleted later by its owner. GUI thread only.
class PlaylistView : public QWidget
{
    Q_OBJECT

public:
    explicit PlaylistView(PlaylistController &playlist, QWidget *parent = nullptr);

    // Re-reads the caption, the labels, the list and the tick's enabled flag.
    void refresh();
    // The window is going away: hides it and stops its tick for good.
    void retire();
    bool retired() const { return m_retired; }

    QListWidget *list() const { return m_list; }
    ClickableLabel *label(const QString &name) const { return m_labels.value(name); }
    bool tickRunning() const { return m_timer.isActive(); }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void pick();
    // Runs a handler through the controller, counting how deep handlers are nested.
    void run(const std::function<void()> &handler);

    PlaylistController &m_playlist;
    QHash<QString, ClickableLabel *> m_labels;
    QListWidget *m_list = nullptr;
    QTimer m_timer;
    int m_busy = 0;
    bool m_retired = false;
};

} // namespace pocko
