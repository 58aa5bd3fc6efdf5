#include "measures.h"
#include "processes.h"
#include "table.h"
#include "timing.h"

#include "player/summarymaker.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <unistd.h>

namespace pocko::bench {

namespace {

// The 5-minute song again at 192 kbit/s: the minute encoded once more, five times over.
QString fiveMinutesAt192(const Songs &songs)
{
    const QString minute = songs.folder + QStringLiteral("/minute192.mp3");
    const QString path = songs.folder + QStringLiteral("/5min192.mp3");
    QProcess lame;
    lame.start(QStringLiteral("lame"),
               { QStringLiteral("--quiet"), QStringLiteral("-t"), QStringLiteral("-b"),
                 QStringLiteral("192"), songs.folder + QStringLiteral("/minute.wav"), minute });
    QFile in(minute);
    QFile out(path);
    if (!lame.waitForFinished(120000) || lame.exitCode() != 0 || !in.open(QIODevice::ReadOnly)
        || !out.open(QIODevice::WriteOnly))
        return {};
    const QByteArray bytes = in.readAll();
    for (int i = 0; i < 5; ++i)
        out.write(bytes);
    return path;
}

// From open() to the first column ready and to the whole summary, in seconds.
std::optional<std::pair<double, double>> summaryTimes(const QString &song)
{
    SummaryMaker summary;
    QElapsedTimer timer;
    timer.start();
    summary.open(song);
    double first = 0;
    while (!summary.idle()) {
        if (first == 0 && summary.ready() > 0)
            first = double(timer.nsecsElapsed()) / 1e9;
        QThread::usleep(200);
    }
    if (summary.ready() != SongSummary::Columns)
        return std::nullopt;
    return std::pair { first, double(timer.nsecsElapsed()) / 1e9 };
}

// The CPU seconds a process has used, from /proc.
double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

// The real program under a private Xvfb playing the song named at start, sound to the disk
// driver: its CPU share over 10 s, after 3 s in which the summary is done.
QString deckCpu(const Songs &songs, const QString &display, bool waveform)
{
    const QString exe = QCoreApplication::applicationDirPath() + QStringLiteral("/PockoMP3Player");
    QProcessEnvironment env = headlessDeck(display);
    env.insert(QStringLiteral("POCKO_WAVEFORM"), QLatin1String(waveform ? "1" : "0"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setStandardErrorFile(QProcess::nullDevice());
    program.start(exe, { songs.fiveMinutes });
    if (!program.waitForStarted(5000))
        return QStringLiteral("failed");
    sleepMs(3000);
    const double cpu0 = processCpuSeconds(program.processId());
    const qint64 t0 = steadyNs();
    sleepMs(10000);
    const double share
        = (processCpuSeconds(program.processId()) - cpu0) / (double(steadyNs() - t0) / 1e9);
    const bool running = program.state() == QProcess::Running;
    program.kill();
    program.waitForFinished(5000);
    return running ? QStringLiteral("%1 %").arg(share * 100, 0, 'f', 2) : QStringLiteral("failed");
}

} // namespace

void measureWaveform(const Songs &songs)
{
    const QString song = fiveMinutesAt192(songs);
    std::vector<double> first, whole;
    for (int i = 0; i < 5 && !song.isEmpty(); ++i) {
        if (const auto times = summaryTimes(song)) {
            first.push_back(times->first);
            whole.push_back(times->second);
        }
    }
    addRow(QStringLiteral("track-bar summary of a 5-minute 192 kbit/s song, whole (median / max "
                          "of 5)"),
           medianAndMax(whole), QStringLiteral("<= 400 ms"));
    addRow(QStringLiteral("track-bar summary of it, first column ready (median / max of 5)"),
           medianAndMax(first), QStringLiteral("<= 100 ms"));
    const auto hour = summaryTimes(songs.sixtyMinutes);
    addRow(QStringLiteral("track-bar summary of a 60-minute 128 kbit/s song, whole"),
           hour ? ms(hour->second) : QStringLiteral("failed"), QStringLiteral("<= 6 s"));

    const std::vector<double> cancels = timings(5, [&](int i) -> std::optional<double> {
        SummaryMaker summary;
        summary.open(songs.sixtyMinutes);
        sleepMs(20 + 40 * i); // in the length scan, then in the decoding
        return seconds([&] { summary.cancel(); });
    });
    addRow(QStringLiteral("track-bar summary of the 60-minute song stopped under way (median / max "
                          "of 5)"),
           medianAndMax(cancels), QStringLiteral("<= 10 ms"));

    const QString what = QStringLiteral("the deck's CPU under Xvfb playing a 5-minute song, "
                                        "waveform on / off (10 s)");
    QProcess x;
    const QString display = installed("Xvfb") ? startDisplay(x) : QString();
    if (display.isEmpty()) {
        addRow(what, QStringLiteral("not measured"));
        return;
    }
    const QString on = deckCpu(songs, display, true);
    const QString off = deckCpu(songs, display, false);
    stop(x);
    addRow(what, on + QStringLiteral(" / ") + off, QStringLiteral("difference <= 1 %"));
}

} // namespace pocko::bench
