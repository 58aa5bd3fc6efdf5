#include "measures.h"
#include "mpg123reference.h"
#include "table.h"
#include "timing.h"

#include "player/deckplayer.h"

#include <QFileInfo>

#include <random>

namespace pocko::bench {

namespace {

void measureOpenOf(const QString &file, const QString &label, const QString &target,
                   const QString &reference = QStringLiteral("-"))
{
    DeckPlayer player;
    const std::vector<double> times = timings(5, [&](int) {
        const double time = seconds([&] { player.setFileName(file); });
        player.stop();
        player.setFileName(QString()); // closes the song, so the next open scans again
        return std::optional(time);
    });
    addRow(QStringLiteral("open + exact length, %1 (median of 5)").arg(label), ms(median(times)),
           target, reference);
}

} // namespace

void measureOpen(const Songs &songs)
{
    measureOpenOf(songs.fiveMinutes, QStringLiteral("5-minute file"), QStringLiteral("<= 10 ms"));
    // 128 kbit/s at 44.1 kHz: 417.96 bytes a frame. mpg123 walks to the last frame (-k, skip
    // frames) and decodes one: it has no "length only" mode.
    const int frames60 = int(QFileInfo(songs.sixtyMinutes).size() / 417.96);
    const QStringList walk { QStringLiteral("-k"), QString::number(frames60 - 2),
                             QStringLiteral("-n"), QStringLiteral("1") };
    const std::vector<double> walks
        = timings(5, [&](int) { return std::optional(mpg123Seconds(walk, songs.sixtyMinutes)); });
    measureOpenOf(songs.sixtyMinutes, QStringLiteral("60-minute file"), QStringLiteral("<= 100 ms"),
                  QStringLiteral("%1 (mpg123 -t -k %2 -n 1, whole process)")
                      .arg(ms(median(walks)))
                      .arg(frames60 - 2));
}

void measureSeek(const Songs &songs)
{
    DeckPlayer player;
    player.setFileName(songs.sixtyMinutes);
    player.pause();
    std::mt19937 random(3);
    std::uniform_real_distribution<double> where(0, player.duration() - 1);
    const std::vector<double> times = timings(50, [&](int) {
        sleepMs(20); // one seek per click, not a flood within one device buffer
        return std::optional(seconds([&] {
            player.setCurrentPosition(where(random));
            player.waitForStream(1000);
        }));
    });
    addRow(QStringLiteral("seek until the first 279 ms are decoded (median / max of 50)"),
           medianAndMax(times));
}

} // namespace pocko::bench
