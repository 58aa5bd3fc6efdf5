#pragma once

#include "deck/deckwindows.h"

#include <QList>
#include <QPointer>

namespace pocko {

class CueDialogView;
class DeckController;
class DeckView;
class Folder;
class Messages;
class PlaylistView;

// The deck's other two windows as real widgets: creates the playlist window and the cue settings
// dialog on first use, each as a controller with its view, and destroys them after they close.
// The destruction is deferred, since a window is closed from inside its own handlers. Also
// redraws every open view after any event. GUI thread only.
class AppWindows : public DeckWindows
{
public:
    AppWindows(Folder &folder, Messages &messages);
    ~AppWindows() override;
    AppWindows(const AppWindows &) = delete;
    AppWindows &operator=(const AppWindows &) = delete;

    void attach(DeckController &deck, DeckView &deckView);
    // Redraws every open window from its controller.
    void refreshAll();
    // Destroys whatever window is left, now.
    void destroyAll();

    // The open windows, for tests; null when closed.
    PlaylistView *playlistView() const;
    CueDialogView *cueDialogView() const;

    void showPlaylist() override;
    void closePlaylist() override;
    void showCueDialog() override;
    bool cueDialogOpen() const override;
    void setCueFields(const QString &repeats, const QString &duration,
                      const QString &start) override;
    void commitCueDialog() override;
    void closeCueDialog() override;

private:
    class PlaylistWindow;
    class CueWindow;
    void destroyPlaylist(PlaylistWindow *window);
    void destroyCueDialog(CueWindow *window);

    Folder &m_folder;
    Messages &m_messages;
    DeckController *m_deck = nullptr;
    QPointer<DeckView> m_deckView;
    PlaylistWindow *m_playlist = nullptr;
    CueWindow *m_cue = nullptr;
    // Closed windows whose deferred deletion has not run yet.
    QList<QPointer<QObject>> m_retired;
};

} // namespace pocko
