#include "appicon.h"
#include "appwindows.h"
#include "deck/deckcontroller.h"
#include "deck/deckview.h"
#include "platform/clock.h"
#include "platform/folder.h"
#include "platform/launcher.h"
#include "platform/messages.h"
#include "player/player.h"

#include <QApplication>

#include <cstdio>
#include <memory>

#if POCKO_HAVE_SDL_PLAYER
#include "player/sdlplayer.h"
#endif

namespace {

// The deck's one media player.
std::unique_ptr<pocko::MediaPlayer> makePlayer()
{
#if POCKO_HAVE_SDL_PLAYER
    return std::make_unique<pocko::SdlPlayer>();
#else
#error "The program needs the SDL player back end (target pocko_player)."
#endif
}

// Sound that came too late is otherwise invisible: say so on the way out when it happened, and
// always when POCKO_REPORT_UNDERRUNS=1 (the soak run reads it), with the device buffer it ended on.
void reportUnderruns(const pocko::MediaPlayer &player)
{
#if POCKO_HAVE_SDL_PLAYER
    const auto *sdl = dynamic_cast<const pocko::SdlPlayer *>(&player);
    if (sdl == nullptr)
        return;
    const unsigned long long count = sdl->underruns();
    const unsigned long long late = sdl->lateBuffers();
    if (count > 0 || late > 0 || qgetenv("POCKO_REPORT_UNDERRUNS") == "1")
        std::fprintf(stderr, "underruns: %llu, late buffers: %llu, device buffer: %d frames%s\n",
                     count, late, sdl->deviceFrames(), sdl->realtime() ? ", real-time" : "");
#else
    (void)player;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("PockoMP3Player"));
    QApplication::setApplicationVersion(QStringLiteral("1.4"));
    QApplication::setWindowIcon(pocko::appIcon());
    // Only closing the deck ends the program; the other windows come and go.
    QApplication::setQuitOnLastWindowClosed(false);

    pocko::SteadyClock clock;
    pocko::QtMessages messages;
    pocko::QtLauncher launcher;
    pocko::DiskFolder folder;
    const std::unique_ptr<pocko::MediaPlayer> player = makePlayer();

    pocko::AppWindows windows(folder, messages);
    pocko::DeckController deck(*player, clock, messages, launcher, windows);
    pocko::DeckView deckView(deck);
    windows.attach(deck, deckView);
    deck.changed = [&windows] { windows.refreshAll(); };
    QObject::connect(&deckView, &pocko::DeckView::closed, &app, [] { QCoreApplication::exit(0); });

    deck.event([&deck] { deck.Form_Load(); });

    // A deck started by another deck opens minimised; its own children must not inherit that.
    const char *minimized = pocko::startMinimizedVariable();
    if (qgetenv(minimized) == "1") {
        qunsetenv(minimized);
        deckView.showMinimized();
    } else {
        deckView.show();
    }
    deckView.activateWindow();

    const int result = QApplication::exec();
    windows.destroyAll();
    reportUnderruns(*player);
    return result;
}
