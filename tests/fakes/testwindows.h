#pragma once

#include "cuedialog/cuedialogcontroller.h"
#include "deck/deckcontroller.h"
#include "deck/deckwindows.h"
#include "fakeplatform.h"
#include "fakeplayer.h"
#include "playlist/playlistcontroller.h"

#include <memory>
#include <vector>

namespace pocko {

// The deck's other windows as controllers alone, without views. A closed window's controller is
// kept until the test ends, as the real windows are deleted only after their handler returns.
class TestWindows : public DeckWindows
{
public:
    TestWindows(Folder &folder, Messages &messages)
        : m_folder(folder)
        , m_messages(messages)
    {
    }
    void attach(DeckController &deck) { m_deck = &deck; }

    std::unique_ptr<PlaylistController> playlist;
    std::unique_ptr<CueDialogController> cueDialog;
    int playlistsCreated = 0;
    int playlistShows = 0;
    int cueDialogsCreated = 0;
    QStringList events; // "playlist closed", "dialog closed", ...

    void showPlaylist() override
    {
        ++playlistShows;
        if (playlist)
            return;
        playlist = std::make_unique<PlaylistController>(*m_deck, m_folder, m_messages);
        playlist->destroyWindow = [this] {
            events.append(QStringLiteral("playlist closed"));
            m_closed.push_back(std::move(playlist));
        };
        ++playlistsCreated;
        playlist->Form_Load();
    }
    void closePlaylist() override
    {
        if (playlist)
            playlist->unload();
    }
    void showCueDialog() override
    {
        if (cueDialog)
            return;
        cueDialog = std::make_unique<CueDialogController>(*m_deck);
        ++cueDialogsCreated;
    }
    bool cueDialogOpen() const override { return cueDialog != nullptr; }
    void setCueFields(const QString &repeats, const QString &duration,
                      const QString &start) override
    {
        cueDialog->Text1.text = repeats;
        cueDialog->Text2.text = duration;
        cueDialog->Text3.text = start;
    }
    void commitCueDialog() override
    {
        if (cueDialog)
            cueDialog->closeProcessing();
    }
    void closeCueDialog() override
    {
        if (!cueDialog)
            return;
        cueDialog->closeProcessing();
        cueDialog.reset();
        events.append(QStringLiteral("dialog closed"));
    }

private:
    Folder &m_folder;
    Messages &m_messages;
    DeckController *m_deck = nullptr;
    std::vector<std::unique_ptr<PlaylistController>> m_closed;
};

// Everything a deck needs, faked, with the deck loaded as at start-up.
struct DeckRig
{
    FakePlayer player;
    FakeClock clock;
    FakeMessages messages;
    FakeLauncher launcher;
    FakeFolder folder;
    TestWindows windows{folder, messages};
    DeckController deck{player, clock, messages, launcher, windows};
    DeckRig()
    {
        windows.attach(deck);
        deck.Form_Load();
    }
    // Picks a song as the playlist window does.
    void load(const QString &path = QStringLiteral("/music/a.mp3"))
    {
        deck.F.tag = path;
        deck.fload();
    }
};

} // namespace pocko
