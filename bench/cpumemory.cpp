#include "deckoutput.h"
#include "measures.h"
#include "table.h"
#include "timing.h"

#include "player/deckplayer.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <sys/resource.h>

#include <cstdio>

namespace pocko::bench {

namespace {

double cpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

long rssOf(const QString &file)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--rss"), file });
    child.waitForFinished(120000);
    return child.readAllStandardOutput().trimmed().toLong();
}

} // namespace

void measureCpu(const Songs &songs)
{
    DeckPlayer player;
    player.setFileName(songs.fiveMinutes);
    for (const double rate : { 1.0, 0.5 }) {
        player.setRate(rate);
        sleepMs(300);
        const double cpu0 = cpuSeconds();
        const quint64 underruns0 = player.underruns();
        const double wall = seconds([] { sleepMs(5000); });
        const double share = (cpuSeconds() - cpu0) / wall;
        addRow(QStringLiteral("CPU share of one core playing at rate %1 (underruns)").arg(rate),
               QStringLiteral("%1 % (%2)")
                   .arg(share * 100, 0, 'f', 2)
                   .arg(player.underruns() - underruns0),
               rate == 1.0 ? QStringLiteral("<= 2 %") : QStringLiteral("<= 5 %"));
    }
}

void measureMemory(const Songs &songs)
{
    const long small = rssOf(songs.oneMinute);
    const long large = rssOf(songs.twoHours);
    addRow(
        QStringLiteral("peak RSS playing a 1-minute / 2-hour file"),
        QStringLiteral("%1 / %2 MB").arg(small / 1024.0, 0, 'f', 1).arg(large / 1024.0, 0, 'f', 1));
    addRow(QStringLiteral("RSS growth, 1 minute -> 2 hours"),
           QStringLiteral("%1 MB").arg((large - small) / 1024.0, 0, 'f', 1),
           QStringLiteral("<= 16 MB"));
}

// Child mode: plays the file a little, at its start and near its end, and prints its peak RSS.
int rssChild(const QString &file)
{
    useDiskDriver(QStringLiteral("/dev/null"));
    DeckPlayer player;
    player.setFileName(file);
    sleepMs(1000);
    player.setCurrentPosition(player.duration() / 2);
    sleepMs(500);
    player.setRate(0.5);
    player.setCurrentPosition(player.duration() - 2);
    sleepMs(1000);
    std::printf("%ld\n", peakRssKb());
    return 0;
}

} // namespace pocko::bench
