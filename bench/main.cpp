// pocko_bench: measures the player back end on MP3s it makes itself with lame, and prints a table.
// Sound goes to SDL's disk driver (paced like a sound card), into /dev/null or a capture file; the
// play latency is also measured through a private PulseAudio server and a private PipeWire, and
// the start-up of the real program under a private Xvfb, when those are installed. `--latency`
// measures only the latency.

#include "deckoutput.h"
#include "measures.h"
#include "songs.h"
#include "table.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>

using namespace pocko::bench;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        std::printf("Usage: pocko_bench [--latency | --midi | --waveform]\n"
                    "Measures the player on MP3s it makes with lame and prints a table.\n"
                    "  --latency  only the rows from play() to the first sound\n"
                    "  --midi     only the rows from a pad hit (JACK MIDI) to the first sound\n"
                    "  --waveform only the track bar's rows, beside the decode speed\n"
                    "  --help     this text\n");
        return 0;
    }
    if (args.size() == 3 && args[1] == QLatin1String("--rss"))
        return rssChild(args[2]);
    const bool midiOnly = args.contains(QLatin1String("--midi"));
    const bool everything = !midiOnly && !args.contains(QLatin1String("--latency"));

    QTemporaryDir dir;
    useDiskDriver(QStringLiteral("/dev/null"));
    // The size a deck starts with, pinned: a disk driver on a busy machine must not step it up.
    qputenv("POCKO_AUDIO_FRAMES", "256");
    const std::optional<Songs> songs = makeSongs(dir.path());
    if (!songs)
        return 1;

    std::fprintf(stderr, "measuring...\n");
    if (args.contains(QLatin1String("--waveform"))) {
        measureDecodeSpeed(*songs);
        measureWaveform(*songs);
        printTable();
        return 0;
    }
    if (everything) {
        measureOpen(*songs);
        measureSeek(*songs);
        measureBursts(*songs);
        measureStreamChanges(*songs);
        measureDecodeSpeed(*songs);
        measureWaveform(*songs);
        measureCpu(*songs);
        measureMemory(*songs);
    }
    if (!midiOnly) {
        measureLatencyDisk(*songs);
        measureLatencyPulseAudio(*songs);
        measureLatencyPipeWire(*songs);
    }
    measurePads(*songs);
    if (everything) {
        measureServerRestarts(*songs);
        measureFolderListing(*songs);
        measureStartup(*songs);
    }
    printTable();
    return 0;
}
