#include "playlistcontroller.h"

#include "deck/deckcontroller.h"
#include "deck/numbers.h"
#include "platform/folder.h"
#include "platform/messages.h"
#include "player/player.h"

namespace pocko {

namespace {

Control button(const char *name, const char *caption, int left)
{
    Control c;
    c.name = QLatin1String(name);
    c.caption = QLatin1String(caption);
    c.left = left;
    c.width = 645;
    c.height = 255;
    return c;
}

Control hint(const char *name, const char *caption, int top, int height)
{
    Control c;
    c.name = QLatin1String(name);
    c.caption = QLatin1String(caption);
    c.left = 120;
    c.top = top;
    c.width = 3855;
    c.height = height;
    c.back = 0x00000080;
    c.fore = 0x008080FF;
    c.border = false;
    c.clickable = false;
    return c;
}

} // namespace

PlaylistController::PlaylistController(DeckController &deck, Folder &folder, Messages &messages)
    : tpall(button("tpall", "Play All", 960))
    , Label1(button("Label1", "Skip", 1890))
    , tsall(button("tsall", "Stop All", 2760))
    , linfo(hint("linfo", "NOTE: To ensure your mp3's display - ", 1510, 160))
    , lminfo(hint("lminfo", "Copy the Pocko EXE to your mp3 folder(s).", 1720, 165))
    , m_deck(deck)
    , m_folder(folder)
    , m_messages(messages)
{
}

std::vector<Control *> PlaylistController::controls()
{
    return {&tpall, &Label1, &tsall, &linfo, &lminfo};
}

QString PlaylistController::songPath(const QString &name)
{
    return joinPath(m_folder.programFolder(), name);
}

// ---- The list and the song pick ----------------------------------------------------------------

void PlaylistController::Form_Load()
{
    m_loaded = true;
    filePattern = songPath(QStringLiteral("*.mp3"));
    currentFile = m_folder.first(filePattern);
    while (!currentFile.isEmpty()) {
        List1.append(currentFile);
        currentFile = m_folder.next();
    }
}

void PlaylistController::List1_Click(int index)
{
    if (index < 0 || index >= List1.size())
        return;
    List1Index = index;
    const QString name = List1.at(index);
    m_deck.F.tag = songPath(name);
    m_deck.caption = name;
    ttimeEnabled = false;
    unload();
    m_deck.fload();
}

void PlaylistController::Form_Unload()
{
    ttimeEnabled = false;
    m_loaded = false;
    try {
        m_deck.MediaPlayer1.stop();
    } catch (const PlayerFailure &) {
        // The window closes all the same.
    }
}

void PlaylistController::unload()
{
    if (!m_loaded)
        return;
    Form_Unload();
    if (destroyWindow)
        destroyWindow();
}

// ---- Play All ------------------------------------------------------------------------------------

void PlaylistController::tpall_Click()
{
    m_deck.MediaPlayer1.stop();
    m_deck.tloop.caption.clear();
    m_deck.tsegs.caption = QStringLiteral("Off");
    filePattern = songPath(QStringLiteral("*.mp3"));
    currentFile = m_folder.first(filePattern);
    if (currentFile.isEmpty()) {
        m_messages.show(QStringLiteral("No file(s) to play. Make sure Pocko exe is in same folder as "
                                       "your mp3's."),
                        appTitle());
        unload();
        return;
    }
    ttimeEnabled = true;
    playCurrent();
}

void PlaylistController::Label1_Click()
{
    getnext();
}

void PlaylistController::tsall_Click()
{
    m_deck.MediaPlayer1.stop();
    ttimeEnabled = false;
    unload();
}

void PlaylistController::getnext()
{
    currentFile = m_folder.next();
    if (currentFile.isEmpty()) {
        endPlayAll();
        return;
    }
    playCurrent();
}

void PlaylistController::playCurrent()
{
    try {
        m_deck.MediaPlayer1.setFileName(songPath(currentFile));
        m_deck.MediaPlayer1.play();
        currentLength = m_deck.MediaPlayer1.duration();
        caption = currentFile;
    } catch (const PlayerFailure &) {
        // A refused file ends Play All; the files after it are not tried.
        endPlayAll();
    }
}

void PlaylistController::endPlayAll()
{
    ttimeEnabled = false; // no tick may run while the message is up
    m_messages.show(QStringLiteral("Play of all files finished or no file to play"), appTitle());
    unload();
}

void PlaylistController::ttime_Timer()
{
    try {
        if (m_deck.MediaPlayer1.fileName().isEmpty()) {
            ttimeEnabled = false;
            return;
        }
        currentPos = roundToInt32(m_deck.MediaPlayer1.currentPosition());
        if (currentPos == -1)
            return;
        if (currentPos >= currentLength - 1) {
            m_deck.MediaPlayer1.stop();
            getnext();
        }
    } catch (const PlayerFailure &) {
        // A tick whose readings fail is ignored; the next one tries again.
    }
}

} // namespace pocko
