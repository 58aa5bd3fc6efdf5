#include "songs.h"

#include "wavsynthesis.h"

#include <QFile>
#include <QProcess>

#include <cstdio>

namespace pocko::bench {

namespace {

// MP3 frames of separate encodes (without the info tag) simply follow one another.
bool concatenate(const QString &minute, int copies, const QString &path)
{
    QFile in(minute);
    QFile out(path);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = in.readAll();
    for (int i = 0; i < copies; ++i)
        out.write(bytes);
    return true;
}

} // namespace

std::optional<Songs> makeSongs(const QString &folder)
{
    const auto at
        = [&folder](const char *name) { return folder + QLatin1Char('/') + QLatin1String(name); };
    const Songs songs { folder, at("1min.mp3"), at("5min.mp3"), at("60min.mp3"), at("120min.mp3") };
    std::fprintf(stderr, "making test songs with lame...\n");
    QProcess lame;
    if (writeMinuteWav(at("minute.wav")))
        lame.start(QStringLiteral("lame"),
                   { QStringLiteral("--quiet"), QStringLiteral("-t"), QStringLiteral("-b"),
                     QStringLiteral("128"), at("minute.wav"), songs.oneMinute });
    if (!lame.waitForFinished(120000) || lame.exitCode() != 0) {
        std::fprintf(stderr, "lame failed\n");
        return std::nullopt;
    }
    concatenate(songs.oneMinute, 5, songs.fiveMinutes);
    concatenate(songs.oneMinute, 60, songs.sixtyMinutes);
    concatenate(songs.oneMinute, 120, songs.twoHours);
    return songs;
}

} // namespace pocko::bench
