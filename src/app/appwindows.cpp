#include "appwindows.h"

#include "cuedialog/cuedialogcontroller.h"
#include "cuedialog/cuedialogview.h"
#include "deck/deckcontroller.h"
#include "deck/deckview.h"
#include "playlist/playlistcontroller.h"
#include "playlist/playlistview.h"

#include <QLineEdit>

namespace pocko {

// A window's controller and view, deleted together, the view first.
class AppWindows::PlaylistWindow : public QObject
{
public:
    PlaylistWindow(DeckController &deck, Folder &folder, Messages &messages)
        : controller(deck, folder, messages)
        , view(controller)
    {
    }
    PlaylistController controller;
    PlaylistView view;
};

class AppWindows::CueWindow : public QObject
{
public:
    explicit CueWindow(DeckController &deck)
        : controller(deck)
        , view(controller)
    {
    }
    CueDialogController controller;
    CueDialogView view;
};

namespace {

void bringToFront(QWidget &window)
{
    window.show();
    window.raise();
    window.activateWindow();
}

} // namespace

AppWindows::AppWindows(Folder &folder, Messages &messages)
    : m_folder(folder)
    , m_messages(messages)
{
}

AppWindows::~AppWindows()
{
    destroyAll();
}

void AppWindows::attach(DeckController &deck, DeckView &deckView)
{
    m_deck = &deck;
    m_deckView = &deckView;
}

void AppWindows::refreshAll()
{
    if (m_deckView)
        m_deckView->refresh();
    if (m_playlist)
        m_playlist->view.refresh();
    if (m_cue)
        m_cue->view.refresh();
}

void AppWindows::destroyAll()
{
    delete m_playlist;
    m_playlist = nullptr;
    delete m_cue;
    m_cue = nullptr;
    for (const QPointer<QObject> &window : std::as_const(m_retired))
        delete window.data();
    m_retired.clear();
}

PlaylistView *AppWindows::playlistView() const
{
    return m_playlist ? &m_playlist->view : nullptr;
}

CueDialogView *AppWindows::cueDialogView() const
{
    return m_cue ? &m_cue->view : nullptr;
}

void AppWindows::showPlaylist()
{
    Q_ASSERT(m_deck);
    if (m_playlist && m_playlist->controller.loaded()) {
        bringToFront(m_playlist->view);
        return;
    }
    auto *window = new PlaylistWindow(*m_deck, m_folder, m_messages);
    m_playlist = window;
    window->controller.changed = [this] { refreshAll(); };
    window->controller.destroyWindow = [this, window] { destroyPlaylist(window); };
    window->controller.Form_Load();
    window->view.refresh();
    bringToFront(window->view);
}

void AppWindows::closePlaylist()
{
    if (m_playlist)
        m_playlist->controller.unload();
}

void AppWindows::destroyPlaylist(PlaylistWindow *window)
{
    if (m_playlist == window)
        m_playlist = nullptr;
    window->view.retire();
    m_retired.removeAll(QPointer<QObject>());
    m_retired.append(window);
    window->deleteLater();
}

void AppWindows::showCueDialog()
{
    Q_ASSERT(m_deck);
    if (!m_cue) {
        auto *window = new CueWindow(*m_deck);
        m_cue = window;
        window->controller.changed = [this] { refreshAll(); };
        window->view.destroyWindow = [this, window] { destroyCueDialog(window); };
    }
    bringToFront(m_cue->view);
}

bool AppWindows::cueDialogOpen() const
{
    return m_cue != nullptr;
}

void AppWindows::setCueFields(const QString &repeats, const QString &duration, const QString &start)
{
    if (!m_cue)
        return;
    m_cue->controller.Text1.text = repeats;
    m_cue->controller.Text2.text = duration;
    m_cue->controller.Text3.text = start;
    m_cue->view.refresh();
}

void AppWindows::commitCueDialog()
{
    if (m_cue)
        m_cue->controller.closeProcessing();
}

void AppWindows::closeCueDialog()
{
    if (!m_cue)
        return;
    CueWindow *window = m_cue;
    window->controller.closeProcessing();
    destroyCueDialog(window);
}

void AppWindows::destroyCueDialog(CueWindow *window)
{
    if (m_cue == window)
        m_cue = nullptr;
    window->view.retire();
    m_retired.removeAll(QPointer<QObject>());
    m_retired.append(window);
    window->deleteLater();
}

} // namespace pocko
