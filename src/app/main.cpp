#include "appicon.h"
#include "appwindows.h"
#include "deck/deckcontroller.h"
#include "deck/deckview.h"
#include "midi/libraryerrors.h"
#include "midi/midiinput.h"
#include "midi/midirouter.h"
#include "platform/clock.h"
#include "platform/filenames.h"
#include "platform/folder.h"
#include "platform/launcher.h"
#include "platform/messages.h"
#include "platform/startarguments.h"
#include "player/player.h"
#include "player/summarymaker.h"

#include <QApplication>

#include <cstdio>
#include <memory>

#if POCKO_HAVE_DECK_PLAYER
#include "player/deckplayer.h"
#include "player/outputchoice.h"
#endif

namespace {

void print(const QString &text, FILE *stream)
{
    const QByteArray bytes = pocko::encodeFileName(text) + '\n';
    std::fwrite(bytes.constData(), 1, bytes.size(), stream);
}

// The outputs the command line chooses, this deck's and LT's, as names of `system`'s outputs;
// empty names for the default. The outputs are listed only when asked for: a sound server may
// take its time to answer. Returns -1, or the code to end the program with at once.
int chooseOutputs(const pocko::StartRequest &start, pocko::SoundSystem &system, QString &output,
                  QString &ltOutput)
{
    if (!start.listOutputs && start.output.isEmpty() && start.ltOutput.isEmpty())
        return -1;
    const pocko::OutputList outputs = pocko::listOutputs();
    system = outputs.system;
    if (start.listOutputs) {
        for (const pocko::OutputDevice &device : outputs.devices)
            print(device.name + QStringLiteral("  ") + device.description, stdout);
        return 0;
    }
    const auto choose = [&outputs](const QString &asked, QString &chosen) {
        const pocko::OutputMatch match = pocko::resolveOutput(asked, outputs.devices);
        if (!match.error.isEmpty())
            print(match.error, stderr);
        chosen = match.name;
        return match.error.isEmpty();
    };
    if (!start.output.isEmpty() && !choose(start.output, output))
        return 2;
    if (start.ltOutput.isEmpty())
        ltOutput = output;
    else if (!choose(start.ltOutput, ltOutput))
        return 2;
    return -1;
}

// The deck's one media player, on the output chosen (empty for the default).
std::unique_ptr<pocko::MediaPlayer> makePlayer(pocko::SoundSystem system, const QString &output)
{
#if POCKO_HAVE_DECK_PLAYER
    return std::make_unique<pocko::DeckPlayer>(
        output.isEmpty() ? pocko::defaultOutput() : pocko::makeOutput(system, output));
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
    pocko::silenceLibraryErrors();
    // The command line is read before Qt starts: --help, --version and a bad argument end the
    // program without a display, and Qt never sees (and takes) an argument that is a path.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(pocko::decodeFileName(QByteArray(argv[i])));
    const pocko::StartRequest start
        = pocko::parseArguments(arguments, pocko::workingFolder(), pocko::musicFolder());
    if (start.exitCode >= 0) {
        print(start.text, start.exitCode == 0 ? stdout : stderr);
        return start.exitCode;
    }
    const pocko::MidiMap midiMap = pocko::readMidiMap(start.midiMapFile, start.deck);
    if (!midiMap.error.isEmpty()) {
        print(QStringLiteral("PockoMP3Player: ") + midiMap.error, stderr);
        return 2;
    }
    if (midiMap.sectionMissing)
        print(QStringLiteral("PockoMP3Player: ") + start.midiMapFile
                  + QStringLiteral(" has no [deck ") + QString::number(start.deck)
                  + QStringLiteral("] section: no pads play this deck"),
              stderr);
    pocko::SoundSystem system = pocko::SoundSystem::Pulse;
    QString output;
    QString ltOutput;
    if (const int code = chooseOutputs(start, system, output, ltOutput); code >= 0)
        return code;

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
    // "LT": the second deck lists the same folder, wherever its executable lies, and plays on the
    // output chosen for it, by the name this deck found.
    pocko::QtLauncher launcher(pocko::ltArguments(start, ltOutput, folder.programFolder()));
    const std::unique_ptr<pocko::MediaPlayer> player = makePlayer(system, output);
    if (!player->soundDeviceEnabled())
        print(QStringLiteral("PockoMP3Player: no sound output opened; FILE tries again"), stderr);

    pocko::MidiRouter router(start.deck, midiMap, start.midiMonitor);
    pocko::AppWindows windows(folder, messages);
    pocko::SummaryMaker summary;
    pocko::DeckController deck(*player, clock, messages, launcher, windows);
    // POCKO_WAVEFORM=0 leaves the track bar plain, to measure what its picture costs.
    if (qgetenv("POCKO_WAVEFORM") != "0")
        deck.summary = &summary;
    pocko::DeckView deckView(deck);
    windows.attach(deck, deckView);
    deck.changed = [&windows, &router] {
        windows.refreshAll();
        router.refreshLights();
    };
    QObject::connect(&deckView, &pocko::DeckView::closed, &app, [] { QCoreApplication::exit(0); });

    deck.event([&deck] { deck.Form_Load(); });

    // Pads: every hit a click on its control, timed from when it came in.
    pocko::MidiInput midi(QStringLiteral("PockoMP3 deck ") + QString::number(start.deck),
                          start.midiIn, start.midiOut);
    QString midiError;
    if (start.midi && !midi.open(&midiError))
        print(QStringLiteral("PockoMP3Player: ") + midiError, stderr);
    router.print = [](const QString &line) {
        print(line, stdout);
        std::fflush(stdout);
    };
    router.act = [&deck](const QString &target, int value, qint64 arrivedNs) {
        deck.event([&] { deck.padHit(target, value, arrivedNs); });
    };
    midi.arrived = [&midi, &router] {
        router.drain([&midi](pocko::MidiHit &hit) { return midi.take(hit); });
    };
    router.lit = [&deck](const QString &target) { return deck.padLit(target); };
    router.sendLight = [&midi](const pocko::MidiMessage &message) { midi.send(message); };
    midi.outputConnected = [&router] { router.sendAllLights(); };
    deck.trainChanged = [&router] { router.refreshLights(); };
    deck.padMessage
        = [](const QString &text) { print(QStringLiteral("PockoMP3Player: ") + text, stderr); };
    // Any pad that would press a control ends a burst train's wait, to act at its own time.
    deck.retriggerWaiting = [&midi, &router] {
        return router.pressWaiting() || midi.waiting([&router](const pocko::MidiMessage &message) {
            return router.presses(message);
        });
    };

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
    router.darkenLights();
    midi.darken();
    if (deck.droppedHits > 0)
        std::fprintf(stderr, "PockoMP3Player: %llu pad hits dropped, the player's queue full\n",
                     static_cast<unsigned long long>(deck.droppedHits));
    windows.destroyAll();
    reportUnderruns(*player);
    return result;
}
