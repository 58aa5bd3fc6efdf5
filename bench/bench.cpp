// pocko_bench: measures the player back end on MP3s it makes itself with lame, and prints a table.
// Sound goes to SDL's disk driver (paced like a sound card), into /dev/null or a capture file.

#include "player/audioblock.h"
#include "player/sdlplayer.h"
#include "player/songdecoder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace pocko;

namespace {

struct Row
{
    QString what;
    QString ours;
    QString reference;
    QString target;
};

std::vector<Row> g_rows;

void addRow(const QString &what, const QString &ours, const QString &reference,
            const QString &target)
{
    g_rows.push_back({ what, ours, reference, target });
    std::fprintf(stderr, "  %s: %s\n", qPrintable(what), qPrintable(ours));
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void useDiskDriver(const QString &file)
{
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(file));
}

// One minute of something like music: a chord that changes every beat, a noise hi-hat.
bool writeMinuteWav(const QString &path)
{
    const int rate = 44100;
    const qint64 frames = 60LL * rate;
    QByteArray data(frames * 4, Qt::Uninitialized);
    auto *s = reinterpret_cast<qint16 *>(data.data());
    std::mt19937 noise(7);
    std::uniform_real_distribution<double> hat(-1, 1);
    for (qint64 i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const int beat = int(t * 2);
        const double f = 110.0 * std::pow(2.0, (beat % 8) / 12.0);
        const double beatPhase = t * 2 - beat;
        const double tone
            = 0.3 * std::sin(2 * M_PI * f * t) + 0.15 * std::sin(2 * M_PI * f * 1.5 * t);
        const double tick = beatPhase < 0.05 ? 0.3 * hat(noise) : 0.0;
        s[i * 2] = qint16(12000 * (tone + tick));
        s[i * 2 + 1] = qint16(12000 * (0.8 * tone + tick));
    }
    QByteArray header("RIFF");
    const auto put32
        = [&header](quint32 v) { header.append(reinterpret_cast<const char *>(&v), 4); };
    const auto put16
        = [&header](quint16 v) { header.append(reinterpret_cast<const char *>(&v), 2); };
    put32(quint32(36 + data.size()));
    header.append("WAVEfmt ");
    put32(16);
    put16(1);
    put16(2);
    put32(rate);
    put32(rate * 4);
    put16(4);
    put16(16);
    header.append("data");
    put32(quint32(data.size()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(header);
    file.write(data);
    return true;
}

// MP3 frames of separate encodes (without the info tag) simply follow one another.
bool concatenate(const QString &minute, int copies, const QString &path)
{
    QFile in(minute);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = in.readAll();
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    for (int i = 0; i < copies; ++i)
        out.write(bytes);
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

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

QString ms(double seconds)
{
    return QStringLiteral("%1 ms").arg(seconds * 1000, 0, 'f', 2);
}

void measureOpen(const QString &file, const QString &label, const QString &target)
{
    SdlPlayer player;
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        player.setFileName(file);
        times.push_back(double(timer.nsecsElapsed()) / 1e9);
        player.stop();
        try {
            player.setFileName(QString()); // refused: closes the song, so the next open scans again
        } catch (const PlayerFailure &) {
        }
    }
    addRow(QStringLiteral("open + exact length, %1 (median of 5)").arg(label), ms(median(times)),
           QStringLiteral("-"), target);
}

void measureSeek(const QString &file)
{
    SdlPlayer player;
    player.setFileName(file);
    player.pause();
    std::mt19937 random(3);
    std::uniform_real_distribution<double> where(0, player.duration() - 1);
    std::vector<double> times;
    for (int i = 0; i < 50; ++i) {
        sleepMs(20); // one seek per click, not a flood within one device buffer
        QElapsedTimer timer;
        timer.start();
        player.setCurrentPosition(where(random));
        player.waitForStream(1000);
        times.push_back(double(timer.nsecsElapsed()) / 1e9);
    }
    addRow(QStringLiteral("seek + first 512-frame block ready (median / max of 50)"),
           QStringLiteral("%1 / %2").arg(ms(median(times)),
                                         ms(*std::max_element(times.begin(), times.end()))),
           QStringLiteral("-"), QStringLiteral("-"));
}

// Plays a burst train into a capture file and measures what came out: the sound between the
// silences before and after it, and the silent frames inside it.
void measureBursts(const QString &file, const QString &folder, double rate)
{
    const QString capture = folder + QStringLiteral("/bursts.raw");
    const int count = 3;
    const double heard = 0.5;
    const qint64 expected = std::llround(heard * OutputRate);
    {
        useDiskDriver(capture);
        SdlPlayer player;
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
    QFile in(capture);
    in.open(QIODevice::ReadOnly);
    const QByteArray bytes = in.readAll();
    const auto *f = reinterpret_cast<const float *>(bytes.constData());
    const qint64 frames = bytes.size() / 8;
    const auto silent = [f](qint64 i) { return f[i * 2] == 0.0f && f[i * 2 + 1] == 0.0f; };
    qint64 end = frames;
    while (end > 0 && silent(end - 1))
        --end;
    // The train is the last sound; before it, at least 50 ms of the pause's silence.
    qint64 begin = end;
    qint64 quiet = 0;
    qint64 gapFrames = 0;
    for (qint64 i = end - 1; i >= 0 && quiet < 2205; --i) {
        if (silent(i)) {
            ++quiet;
        } else {
            gapFrames += quiet;
            quiet = 0;
            begin = i;
        }
    }
    const qint64 length = end - begin;
    const double error = double(length) / count - double(expected);
    addRow(QStringLiteral("burst train %1 x %2 ms at rate %3: frames per burst off / gap frames")
               .arg(count)
               .arg(heard * 1000)
               .arg(rate),
           QStringLiteral("%1 / %2").arg(error).arg(gapFrames), QStringLiteral("-"),
           QStringLiteral("0 / 0"));
}

void measureDecodeSpeed(const QString &file, double rate, double mpg123Speed)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY);
    SongDecoder decoder(fd);
    StreamPlan plan;
    plan.generation = 1;
    plan.active = true;
    plan.selectionEnd = decoder.length();
    plan.rate = rate;
    decoder.begin(plan);
    auto block = std::make_unique<AudioBlock>();
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        decoder.fill(*block, false);
        if (block->end != BlockEnd::None)
            break;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const double songSeconds = double(decoder.length()) / decoder.fileRate();
    addRow(QStringLiteral("decode speed at rate %1 (x real time of the song)").arg(rate),
           QStringLiteral("%1x").arg(songSeconds / seconds, 0, 'f', 0),
           rate == 1.0 ? QStringLiteral("%1x (mpg123 -t)").arg(mpg123Speed, 0, 'f', 0)
                       : QStringLiteral("-"),
           QStringLiteral("-"));
}

double mpg123Speed(const QString &file, double songSeconds)
{
    QElapsedTimer timer;
    timer.start();
    QProcess mpg123;
    mpg123.start(QStringLiteral("mpg123"), { QStringLiteral("-q"), QStringLiteral("-t"), file });
    mpg123.waitForFinished(600000);
    return songSeconds / (double(timer.nsecsElapsed()) / 1e9);
}

void measureCpu(const QString &file)
{
    SdlPlayer player;
    player.setFileName(file);
    for (const double rate : { 1.0, 0.5 }) {
        player.setRate(rate);
        sleepMs(300);
        const double cpu0 = cpuSeconds();
        QElapsedTimer timer;
        timer.start();
        const quint64 underruns0 = player.underruns();
        sleepMs(5000);
        const double share = (cpuSeconds() - cpu0) / (double(timer.nsecsElapsed()) / 1e9);
        addRow(QStringLiteral("CPU share of one core playing at rate %1 (underruns)").arg(rate),
               QStringLiteral("%1 % (%2)")
                   .arg(share * 100, 0, 'f', 2)
                   .arg(player.underruns() - underruns0),
               QStringLiteral("-"),
               rate == 1.0 ? QStringLiteral("<= 2 %") : QStringLiteral("<= 5 %"));
    }
}

// Child mode: plays the file a little, at its start and near its end, and prints its peak RSS.
int rssChild(const QString &file)
{
    useDiskDriver(QStringLiteral("/dev/null"));
    SdlPlayer player;
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

long rssOf(const QString &file)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--rss"), file });
    child.waitForFinished(120000);
    return child.readAllStandardOutput().trimmed().toLong();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("--rss"))
        return rssChild(args[2]);

    QTemporaryDir dir;
    const QString folder = dir.path();
    const auto at
        = [&folder](const char *name) { return folder + QLatin1Char('/') + QLatin1String(name); };
    useDiskDriver(QStringLiteral("/dev/null"));

    std::fprintf(stderr, "making test songs with lame...\n");
    if (!writeMinuteWav(at("minute.wav")))
        return 1;
    QProcess lame;
    lame.start(QStringLiteral("lame"),
               { QStringLiteral("--quiet"), QStringLiteral("-t"), QStringLiteral("-b"),
                 QStringLiteral("128"), at("minute.wav"), at("1min.mp3") });
    if (!lame.waitForFinished(120000) || lame.exitCode() != 0) {
        std::fprintf(stderr, "lame failed\n");
        return 1;
    }
    concatenate(at("1min.mp3"), 5, at("5min.mp3"));
    concatenate(at("1min.mp3"), 60, at("60min.mp3"));
    concatenate(at("1min.mp3"), 120, at("120min.mp3"));

    std::fprintf(stderr, "measuring...\n");
    measureOpen(at("5min.mp3"), QStringLiteral("5-minute file"), QStringLiteral("<= 10 ms"));
    measureOpen(at("60min.mp3"), QStringLiteral("60-minute file"), QStringLiteral("<= 100 ms"));
    measureSeek(at("60min.mp3"));
    measureBursts(at("5min.mp3"), folder, 1.0);
    measureBursts(at("5min.mp3"), folder, 0.5);
    const double reference = mpg123Speed(at("5min.mp3"), 300.0);
    measureDecodeSpeed(at("5min.mp3"), 1.0, reference);
    measureDecodeSpeed(at("5min.mp3"), 0.5, reference);
    measureCpu(at("5min.mp3"));
    const long small = rssOf(at("1min.mp3"));
    const long large = rssOf(at("120min.mp3"));
    addRow(
        QStringLiteral("peak RSS playing a 1-minute / 2-hour file"),
        QStringLiteral("%1 / %2 MB").arg(small / 1024.0, 0, 'f', 1).arg(large / 1024.0, 0, 'f', 1),
        QStringLiteral("-"), QStringLiteral("-"));
    addRow(QStringLiteral("RSS growth, 1 minute -> 2 hours"),
           QStringLiteral("%1 MB").arg((large - small) / 1024.0, 0, 'f', 1), QStringLiteral("-"),
           QStringLiteral("<= 16 MB"));

    int widths[4] = { 7, 9, 9, 6 };
    for (const Row &row : g_rows) {
        widths[0] = std::max(widths[0], int(row.what.size()));
        widths[1] = std::max(widths[1], int(row.ours.size()));
        widths[2] = std::max(widths[2], int(row.reference.size()));
        widths[3] = std::max(widths[3], int(row.target.size()));
    }
    const auto line = [&widths](const QString &a, const QString &b, const QString &c,
                                const QString &d) {
        std::printf("| %s | %s | %s | %s |\n", qPrintable(a.leftJustified(widths[0])),
                    qPrintable(b.leftJustified(widths[1])), qPrintable(c.leftJustified(widths[2])),
                    qPrintable(d.leftJustified(widths[3])));
    };
    line(QStringLiteral("measure"), QStringLiteral("PockoMP3"), QStringLiteral("mpg123"),
         QStringLiteral("target"));
    line(QString(widths[0], QLatin1Char('-')), QString(widths[1], QLatin1Char('-')),
         QString(widths[2], QLatin1Char('-')), QString(widths[3], QLatin1Char('-')));
    for (const Row &row : g_rows)
        line(row.what, row.ours, row.reference, row.target);
    return 0;
}
