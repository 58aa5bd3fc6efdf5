#pragma once

// The bench's own sound server (PulseAudio or PipeWire), started for one measure, with a recorder
// that tells when the deck's sound arrives in it.

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

namespace pocko::bench {

enum class SoundServer { PulseAudio, PipeWire };

QString serverName(SoundServer server);

// True when the server and the tools a PrivateSound needs with it are installed.
bool serverInstalled(SoundServer server);

// A private sound server with a null sink "deck", and a recorder on the sink's monitor: PulseAudio,
// or PipeWire with its session manager and PulseAudio service (on a private session bus, with the
// end-to-end tests' drop-ins over the packaged configuration). The player's socket opens last: an
// idle PulseAudio null sink renders far ahead and stalls the first stream, so the recorder (on a
// socket of its own) settles first. pipewire-pulse serves one socket; the player's path becomes a
// link to it then. Used from the bench's main thread only.
class PrivateSound
{
public:
    explicit PrivateSound(const QString &folder, SoundServer server = SoundServer::PulseAudio);
    ~PrivateSound();
    PrivateSound(const PrivateSound &) = delete;
    PrivateSound &operator=(const PrivateSound &) = delete;

    bool ready() const { return m_ready; }
    QString server() const { return QStringLiteral("unix:") + m_socket; }
    // PipeWire's own socket (for PIPEWIRE_REMOTE); empty on PulseAudio.
    QString graph() const { return m_graph; }

    // Reads and drops what the recorder delivers for this long.
    void drain(int milliseconds);
    // The recording's time line starts afresh: an idle null sink delivers ahead of time.
    void restartTimeLine() { m_baseNs = 0; }

    // Reads what the recorder delivers for up to timeoutMs, calling `poll` between reads; true
    // once a sample louder than the threshold arrived. `loudNs` gets that sample's steady-clock
    // time as the recording's own pace places it: its frames evenly spaced from the earliest
    // arrival seen, so that the recorder's fragments do not blur it.
    bool waitForSound(int timeoutMs, int threshold, qint64 *loudNs = nullptr,
                      const std::function<void()> &poll = {});

private:
    static QString socketModule(const QString &path);
    QProcess &spawn(const QString &program, const QStringList &args,
                    const QProcessEnvironment &env);
    // Starts the server; returns the socket of the recorder (and pactl), now in `env`.
    QString startPulseAudio(const QString &folder, QProcessEnvironment &env);
    QString startPipeWire(const QString &folder, const QString &run, QProcessEnvironment &env);

    const QString m_socket;
    QString m_graph;
    std::vector<std::unique_ptr<QProcess>> m_servers;
    QProcess m_recorder;
    QByteArray m_carry;
    qint64 m_frames = 0; // recorded so far
    qint64 m_baseNs = 0; // when frame 0 was recorded, at the earliest
    bool m_ready = false;
};

} // namespace pocko::bench
