#include "appicon.h"
#include "appwindows.h"
#include "deck/deckcontroller.h"
#include "deck/deckview.h"
#include "platform/clock.h"
#include "platform/filenames.h"
#include "platform/folder.h"
#include "platform/launcher.h"
#include "platform/messages.h"
#include "platform/startarguments.h"
#include "player/player.h"

#include <QApplication>

#include <cstdio>
#include <memory>

#if POCKO_HAVE_DECK_PLAYER
#include "player/deckplayer.h"
#endif

namespace {

// The deck's one media player.
std::unique_ptr<pocko::MediaPlayer> makePlayer()
{
#if POCKO_HAVE_DECK_PLAYER
    return std::make_unique<pocko::DeckPlayer>();
#else
#error "The program needs the deck player back end (target pocko_player)."
#endif
}

// Sound that came too late is otherwise invisible: say so on the way out when it happened, and
// always when POCKO_REPORT_UNDERRUNS=1 (the soak run reads it), with the device buffer it ended on.
void reportUnderruns(const pocko::MediaPlayer &player)
{
#if POCKO_HAVE_DECK_PLAYER
    const auto *deck = dynamic_cast<const pocko::DeckPlayer *>(&player);
    if (deck == nullptr)
        return;
    const unsigned long long count = deck->underruns();
    const unsigned long long dropouts = deck->dropouts();
    if (count > 0 || dropouts > 0 || qgetenv("POCKO_REPORT_UNDERRUNS") == "1")
        std::fprintf(stderr, "underruns: %llu, device dropouts: %llu, device buffer: %d frames%s\n",
                     count, dropouts, deck->deviceFrames(), deck->realtime() ? ", real-time" : "");
#else
    (void)player;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    // The command line is read before Qt starts: --help, --version and a bad argument end the
    // program without a display, and Qt never sees (and takes) an argument that is a path.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(pocko::decodeFileName(QByteArray(argv[i])));
    const pocko::StartRequest start
        = pocko::parseArguments(arguments, pocko::workingFolder(), pocko::musicFolder());
    if (start.exitCode >= 0) {
        const QByteArray text = pocko::encodeFileName(start.text) + '\n';
        std::fwrite(text.constData(), 1, text.size(), start.exitCode == 0 ? stdout : stderr);
        return start.exitCode;
    }

    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("PockoMP3Player"));
    QApplication::setApplicationVersion(QStringLiteral("1.4"));
    QGuiApplication::setDesktopFileName(QStringLiteral("pockomp3player"));
    QApplication::setWindowIcon(pocko::appIcon());
    // Only closing the deck ends the program; the other windows come and go.
    QApplication::setQuitOnLastWindowClosed(false);

    pocko::SteadyClock clock;
    pocko::QtMessages messages;
    pocko::DiskFolder folder(start.folder);
    // "LT": the second deck lists the same folder, wherever its executable lies.
    pocko::QtLauncher launcher(QStringList { folder.programFolder() });
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
    if (!start.song.isEmpty())
        deck.event([&deck, &start] { deck.openSong(start.song); });

    const int result = QApplication::exec();
    windows.destroyAll();
    reportUnderruns(*player);
    return result;
}
