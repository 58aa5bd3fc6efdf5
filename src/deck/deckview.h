#pragma once

#include <QHash>
#include <QTimer>
#include <QWidget>

#include <functional>

namespace pocko {

class ClickableLabel;
class DeckController;

// The deck window Form1: draws the deck controller's controls at their fixed places and forwards
// clicks, mouse-downs, key releases, the one-second tick and the close to the controller's
// handlers. It decides nothing itself. GUI thread only.
class DeckView : public QWidget
{
    Q_OBJECT

public:
    explicit DeckView(DeckController &deck, QWidget *parent = nullptr);

    // Re-reads every control, the caption and the tick's enabled flag from the controller.
    void refresh();
    // Moves the window so that it stands in the middle of its screen.
    void centreOnScreen();

    ClickableLabel *label(const QString &name) const { return m_labels.value(name); }
    bool tickRunning() const { return m_timer.isActive(); }

    // A key code the way the handlers know it: 32 for the space bar; never 32 for another key.
    static int keyCode(int qtKey);
    // Shift, Ctrl and Alt as bits 1, 2 and 4.
    static int shiftState(Qt::KeyboardModifiers modifiers);

signals:
    // The deck has unloaded; the application ends.
    void closed();

protected:
    void keyReleaseEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void connectLabel(ClickableLabel *label, const QString &name);
    // Runs a handler through the controller, counting how deep handlers are nested.
    void run(const std::function<void()> &handler);
    // Draws the track bar's picture again where it changed; runs its timer while it is shown.
    void refreshWave();

    DeckController &m_deck;
    QHash<QString, ClickableLabel *> m_labels;
    QTimer m_timer;
    QTimer m_waveTimer;
    int m_busy = 0;
    bool m_closing = false;
    bool m_unloaded = false;
};

} // namespace pocko
