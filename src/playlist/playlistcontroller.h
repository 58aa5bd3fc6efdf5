#pragma once

#include "deck/control.h"
#include "deck/controller.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <vector>

namespace pocko {

class DeckController;
class Folder;
class Messages;

// The folder playlist window mpload: the list of the program folder's MP3 files, the song pick
// and Play All. It reaches into the deck for F's Tag, the deck's caption, fload, the player and
// the loop and segment switches. GUI thread only.
class PlaylistController : public Controller
{
public:
    PlaylistController(DeckController &deck, Folder &folder, Messages &messages);

    static QString designCaption() { return QStringLiteral("  Select an MP3. Click MP3 to load."); }
    QString caption = designCaption();
    static constexpr int ClientWidth = 4110;
    static constexpr int ClientHeight = 1995;
    static constexpr int ScreenLeft = 2760; // client area's top-left corner on the screen
    static constexpr int ScreenTop = 3750;
    static constexpr BgrColor BackColor = 0x00000080;

    Control tpall, Label1, tsall, linfo, lminfo;
    std::vector<Control *> controls();
    static constexpr int ListLeft = 600, ListTop = 240, ListWidth = 3135, ListHeight = 1230;
    QStringList List1;
    int List1Index = -1; // the selected entry, -1 for none
    bool ttimeEnabled = false; // fires every 1000 ms while true

    // Window state.
    QString filePattern;
    QString currentFile;
    double currentLength = 0;
    std::int32_t currentPos = 0;

    void Form_Load();
    void Form_Unload();
    // The selection changed to `index` (a click or an arrow key): the song pick.
    void List1_Click(int index);

    void tpall_Click();
    void Label1_Click();
    void tsall_Click();
    void getnext();
    void ttime_Timer();

    // Set by whoever shows the window: destroys it (deferred, since this may be called from inside
    // the window's own handlers) after Form_Unload has run.
    std::function<void()> destroyWindow;
    // Closes the window: runs Form_Unload, then destroys it.
    void unload();
    bool loaded() const { return m_loaded; }

private:
    QString songPath(const QString &name);
    void playCurrent(); // loads and starts currentFile
    void endPlayAll();

    DeckController &m_deck;
    Folder &m_folder;
    Messages &m_messages;
    bool m_loaded = false;
};

} // namespace pocko
