#include "privatesound.h"

#include "processes.h"
#include "timing.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace pocko::bench {

QString serverName(SoundServer server)
{
    return server == SoundServer::PipeWire ? QStringLiteral("PipeWire")
                                           : QStringLiteral("PulseAudio");
}

bool serverInstalled(SoundServer server)
{
    const bool tools = installed("parec") && installed("pactl");
    if (server == SoundServer::PipeWire)
        return tools && installed("pipewire") && installed("wireplumber")
            && installed("pipewire-pulse") && installed("dbus-daemon");
    return tools && installed("pulseaudio");
}

PrivateSound::PrivateSound(const QString &folder, SoundServer server)
    : m_socket(folder + QStringLiteral("/pulse-native"))
{
    const QString run = folder + QStringLiteral("/pulse-run");
    QDir().mkpath(run);
    QFile::setPermissions(run, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir().mkpath(folder + QStringLiteral("/pulse-home"));
    QFile::remove(m_socket);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run);
    env.insert(QStringLiteral("HOME"), folder + QStringLiteral("/pulse-home"));
    const auto pactl = [&env](const QStringList &args) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral("pactl"), args);
        return process.waitForFinished(5000) && process.exitCode() == 0;
    };
    const QString recorder = server == SoundServer::PipeWire ? startPipeWire(folder, run, env)
                                                             : startPulseAudio(folder, env);
    for (int i = 0; i < 100 && !m_ready && !recorder.isEmpty(); ++i) {
        sleepMs(100);
        m_ready = pactl({ QStringLiteral("info") });
    }
    if (m_ready && server == SoundServer::PipeWire)
        m_ready = pactl({ QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                          QStringLiteral("sink_name=deck"), QStringLiteral("rate=44100"),
                          QStringLiteral("channels=2") })
            && pactl({ QStringLiteral("set-default-sink"), QStringLiteral("deck") });
    if (!m_ready)
        return;
    // PipeWire runs its graph at the shortest cycle a stream asks for: a recorder of 2 ms
    // would hold it at 256 frames whatever the player asks; 12 ms leaves the player's choice.
    m_recorder.setProcessEnvironment(env);
    m_recorder.start(QStringLiteral("parec"),
                     { QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                       QStringLiteral("--rate=44100"), QStringLiteral("--channels=2"),
                       QStringLiteral("-d"), QStringLiteral("deck.monitor"),
                       server == SoundServer::PipeWire ? QStringLiteral("--latency-msec=12")
                                                       : QStringLiteral("--latency-msec=2") });
    m_ready = m_recorder.waitForStarted(5000);
    drain(server == SoundServer::PipeWire ? 1000 : 2500);
    m_ready = m_ready
        && (server == SoundServer::PipeWire
                ? QFile::link(recorder, m_socket)
                : pactl(QStringList { QStringLiteral("load-module") }
                        + socketModule(m_socket).split(QLatin1Char(' '))));
}

PrivateSound::~PrivateSound()
{
    QFile::remove(m_socket);
    stop(m_recorder);
    for (auto it = m_servers.rbegin(); it != m_servers.rend(); ++it)
        stop(**it);
}

void PrivateSound::drain(int milliseconds)
{
    waitForSound(milliseconds, INT_MAX);
}

bool PrivateSound::waitForSound(int timeoutMs, int threshold, qint64 *loudNs,
                                const std::function<void()> &poll)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (poll)
            poll();
        m_recorder.waitForReadyRead(1);
        m_carry += m_recorder.readAllStandardOutput();
        const qint64 now = steadyNs();
        const qint64 frames = m_carry.size() / 4;
        m_frames += frames;
        const qint64 base = now - m_frames * 1000000000 / 44100;
        m_baseNs = m_baseNs == 0 ? base : std::min(m_baseNs, base);
        const auto *s = reinterpret_cast<const qint16 *>(m_carry.constData());
        const auto *loud = std::find_if(s, s + frames * 2,
                                        [threshold](qint16 v) { return std::abs(v) > threshold; });
        if (loudNs && loud != s + frames * 2)
            *loudNs = m_baseNs + (m_frames - frames + (loud - s) / 2) * 1000000000 / 44100;
        m_carry = m_carry.right(m_carry.size() % 4);
        if (loud != s + frames * 2)
            return true;
    }
    return false;
}

QString PrivateSound::socketModule(const QString &path)
{
    return QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(path);
}

QProcess &PrivateSound::spawn(const QString &program, const QStringList &args,
                              const QProcessEnvironment &env)
{
    m_servers.push_back(std::make_unique<QProcess>());
    QProcess &process = *m_servers.back();
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, args);
    return process;
}

QString PrivateSound::startPulseAudio(const QString &folder, QProcessEnvironment &env)
{
    const QString recorder = folder + QStringLiteral("/pulse-recorder");
    env.insert(QStringLiteral("PULSE_SERVER"), QStringLiteral("unix:") + recorder);
    spawn(QStringLiteral("pulseaudio"),
          { QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
            QStringLiteral("--exit-idle-time=-1"), QStringLiteral("--use-pid-file=no"),
            QStringLiteral("--system=no"), QStringLiteral("--realtime=no"),
            QStringLiteral("--high-priority=no"), QStringLiteral("-L"),
            QStringLiteral("module-null-sink sink_name=deck rate=44100 channels=2"),
            QStringLiteral("-L"), socketModule(recorder) },
          env);
    return recorder;
}

QString PrivateSound::startPipeWire(const QString &folder, const QString &run,
                                    QProcessEnvironment &env)
{
    const QString bus = folder + QStringLiteral("/pulse-bus");
    const QString graph = run + QStringLiteral("/pipewire-0");
    QFile::remove(bus);
    QFile::remove(graph);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=") + bus);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral(POCKO_PIPEWIRE_CONFIG));
    env.insert(QStringLiteral("PULSE_SERVER"),
               QStringLiteral("unix:") + run + QStringLiteral("/pulse/native"));
    spawn(QStringLiteral("dbus-daemon"),
          { QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
            QStringLiteral("--address=unix:path=") + bus },
          env);
    for (int i = 0; i < 100 && !QFileInfo::exists(bus); ++i)
        sleepMs(20);
    spawn(QStringLiteral("pipewire"), {}, env);
    for (int i = 0; i < 100 && !QFileInfo::exists(graph); ++i)
        sleepMs(20);
    spawn(QStringLiteral("wireplumber"), {}, env);
    spawn(QStringLiteral("pipewire-pulse"), {}, env);
    if (!QFileInfo::exists(graph))
        return QString();
    m_graph = graph;
    return run + QStringLiteral("/pulse/native");
}

} // namespace pocko::bench
