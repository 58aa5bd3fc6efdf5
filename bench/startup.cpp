#include "measures.h"
#include "processes.h"
#include "table.h"
#include "timing.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace pocko::bench {

// Start-up of the real program: from starting the process (a copy of the executable in a folder
// with a song, as a user has it) until the X server shows its deck window mapped, found by
// polling `xdotool search --onlyvisible --pid`. Sound goes to the disk driver, and the session
// bus is absent, so neither a sound server nor the accessibility bus is in the figure.
void measureStartup(const Songs &songs)
{
    const QString &folder = songs.folder;
    const QString what = QStringLiteral("start-up of PockoMP3Player to its window shown, Xvfb "
                                        "(median / max of 5)");
    const QString exe = QCoreApplication::applicationDirPath() + QStringLiteral("/PockoMP3Player");
    QProcess x;
    const QString display = QFileInfo::exists(exe) && installed("Xvfb") && installed("xdotool")
        ? startDisplay(x)
        : QString();
    if (display.isEmpty()) {
        addRow(what, QStringLiteral("not measured"));
        return;
    }
    const QString app = folder + QStringLiteral("/app");
    QDir().mkpath(app);
    QFile::copy(exe, app + QStringLiteral("/PockoMP3Player"));
    QFile::copy(songs.fiveMinutes, app + QStringLiteral("/Song.mp3"));
    QProcessEnvironment env = headlessDeck(display);
    std::vector<double> times = timings(6, [&](int) -> std::optional<double> {
        QProcess program;
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(folder);
        program.setStandardOutputFile(QProcess::nullDevice());
        program.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer timer;
        timer.start();
        program.start(app + QStringLiteral("/PockoMP3Player"), QStringList());
        bool shown = false;
        while (program.waitForStarted(5000) && !shown && timer.elapsed() < 20000
               && program.state() == QProcess::Running) {
            QProcess search;
            search.setProcessEnvironment(env);
            search.start(QStringLiteral("xdotool"),
                         { QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                           QStringLiteral("--pid"), QString::number(program.processId()),
                           QStringLiteral("--name"), QStringLiteral("^Pocko MP3 DJ Player") });
            search.waitForFinished(5000);
            shown = !search.readAllStandardOutput().trimmed().isEmpty();
        }
        const double time = double(timer.nsecsElapsed()) / 1e9;
        program.kill();
        program.waitForFinished(5000);
        return shown ? std::optional(time) : std::nullopt;
    });
    if (!times.empty())
        times.erase(times.begin()); // the first run warms the caches and does not count
    stop(x);
    addRow(what, medianAndMax(times));
}

} // namespace pocko::bench
