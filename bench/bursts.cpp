#include "deckoutput.h"
#include "measures.h"
#include "table.h"
#include "timing.h"

#include "player/audioblock.h"
#include "player/deckplayer.h"

#include <cmath>

namespace pocko::bench {

namespace {

// Plays a burst train into a capture file and measures what came out: the sound between the
// silences before and after it, and the silent frames inside it.
void measureBurstsAt(const QString &file, const QString &folder, double rate)
{
    const QString path = folder + QStringLiteral("/bursts.raw");
    const int count = 3;
    const double heard = 0.5;
    {
        useDiskDriver(path);
        DeckPlayer player;
        player.setFileName(file);
        player.setRate(rate);
        player.pause();
        sleepMs(100);
        player.playBursts(10.0, heard, count);
        while (player.playState() != 1)
            sleepMs(5);
        sleepMs(100);
    }
    useDiskDriver(QStringLiteral("/dev/null"));
    const Capture capture(path);
    qint64 end = capture.frames();
    while (end > 0 && capture.silent(end - 1))
        --end;
    // The train is the last sound; before it, at least 50 ms of the pause's silence.
    qint64 begin = end;
    qint64 quiet = 0;
    qint64 gapFrames = 0;
    for (qint64 i = end - 1; i >= 0 && quiet < 2205; --i) {
        if (capture.silent(i)) {
            ++quiet;
        } else {
            gapFrames += quiet;
            quiet = 0;
            begin = i;
        }
    }
    const double error = double(end - begin) / count - double(std::llround(heard * OutputRate));
    addRow(QStringLiteral("burst train %1 x %2 ms at rate %3: frames per burst off / gap frames")
               .arg(count)
               .arg(heard * 1000)
               .arg(rate),
           QStringLiteral("%1 / %2").arg(error).arg(gapFrames), QStringLiteral("0 / 0"));
}

} // namespace

void measureBursts(const Songs &songs)
{
    measureBurstsAt(songs.fiveMinutes, songs.folder, 1.0);
    measureBurstsAt(songs.fiveMinutes, songs.folder, 0.5);
}

} // namespace pocko::bench
