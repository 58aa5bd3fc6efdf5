#include "deckoutput.h"
#include "measures.h"
#include "table.h"
#include "timing.h"

#include "player/audioblock.h"
#include "player/deckplayer.h"

#include <QFile>

#include <algorithm>
#include <random>

namespace pocko::bench {

// Plays while the stream is changed under way, as a DJ does: half speed on and off, jumps, the
// same song loaded again. Every change keeps the deck playing, so any run of digital silence in
// the capture is a hole the listener hears.
void measureStreamChanges(const Songs &songs)
{
    const QString &file = songs.fiveMinutes;
    const QString path = songs.folder + QStringLiteral("/changes.raw");
    const int changes = 400;
    quint64 underruns = 0;
    {
        useDiskDriver(path);
        DeckPlayer player;
        player.setFileName(file);
        std::mt19937 random(11);
        std::uniform_int_distribution<int> pause(15, 90);
        std::uniform_int_distribution<int> action(0, 2);
        std::uniform_real_distribution<double> where(0, player.duration() - 5);
        double rate = 1.0;
        for (int i = 0; i < changes; ++i) {
            sleepMs(pause(random));
            switch (action(random)) {
            case 0:
                rate = rate == 1.0 ? 0.5 : 1.0;
                player.setRate(rate);
                break;
            case 1:
                player.setCurrentPosition(where(random));
                break;
            default:
                player.setFileName(file);
                break;
            }
        }
        sleepMs(100);
        underruns = player.underruns();
    }
    useDiskDriver(QStringLiteral("/dev/null"));
    const Capture capture(path);
    QFile::remove(path);
    qint64 i = 0;
    while (i < capture.frames() && capture.silent(i))
        ++i; // the start of play
    int holes = 0;
    qint64 longest = 0;
    for (qint64 run = 0; i < capture.frames(); ++i) {
        if (capture.silent(i)) {
            ++run;
            continue;
        }
        if (run >= 32) {
            ++holes;
            longest = std::max(longest, run);
        }
        run = 0;
    }
    addRow(
        QStringLiteral("%1 stream changes while playing: holes (longest) / underruns").arg(changes),
        QStringLiteral("%1 (%2) / %3")
            .arg(holes)
            .arg(ms(double(longest) / OutputRate))
            .arg(underruns),
        QStringLiteral("0 / 0"));
}

} // namespace pocko::bench
