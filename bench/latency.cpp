#include "deckoutput.h"
#include "measures.h"
#include "privatesound.h"
#include "processes.h"
#include "table.h"
#include "timing.h"
#include "toneclient.h"

#include "player/deckplayer.h"

#include <QFile>
#include <QProcess>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace pocko::bench {

namespace {

// Play latency through the disk driver: from a play() call (paused at a spot inside the song) to
// the moment the first frame of sound is written to the capture file. SDL's disk driver writes
// each buffer right after the callback filled it and then sleeps one buffer's time, as a card
// would ask for the next one, so this is the player's own part of the latency: the wait for the
// next callback and the start of the stream, without any sound server's or card's buffer.
void measureLatencyDiskAt(const QString &file, const QString &folder, int frames)
{
    const QString capture = folder + QStringLiteral("/latency.raw");
    useDiskDriver(capture);
    const PinnedAudioFrames pin(frames);
    std::vector<double> times;
    {
        DeckPlayer player;
        player.setFileName(file);
        player.pause();
        const int fd = ::open(QFile::encodeName(capture).constData(), O_RDONLY);
        std::vector<float> chunk(1 << 16);
        times = timings(fd >= 0 ? 20 : 0, [&](int i) -> std::optional<double> {
            player.setCurrentPosition(10.0 + 7.0 * i);
            player.waitForStream(1000);
            sleepMs(60 + 7 * i); // a different phase of the device's period each time
            off_t offset = ::lseek(fd, 0, SEEK_END);
            QElapsedTimer timer;
            timer.start();
            player.play();
            std::optional<double> heard;
            while (!heard && timer.elapsed() < 1000) {
                const ssize_t got = ::pread(fd, chunk.data(), chunk.size() * sizeof(float), offset);
                const auto end
                    = chunk.begin() + std::max<ssize_t>(got, 0) / qsizetype(sizeof(float));
                offset += std::max<ssize_t>(got, 0);
                if (std::any_of(chunk.begin(), end, [](float v) { return v != 0.0f; }))
                    heard = double(timer.nsecsElapsed()) / 1e9;
                else if (got <= 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            player.pause();
            return heard;
        });
        if (fd >= 0)
            ::close(fd);
    }
    useDiskDriver(QStringLiteral("/dev/null"));
    addRow(QStringLiteral("play() to first sound out, SDL disk driver, %1 frames (median / max of "
                          "20)")
               .arg(frames),
           medianAndMax(times));
}

// How the deck reaches the server: PipeWire's own stream, or libpulse (on PipeWire, through its
// PulseAudio service).
enum class Route { Native, Pulse };

// Play latency through a sound server: from a play() call to the first sound in the recording of
// the null sink's monitor. An upper bound of what a listener hears: it adds the recorder's own
// 10 ms fragments to the player's stream buffer and the server's mixing.
void measureLatencyServerAt(const QString &file, const QString &folder, int frames,
                            SoundServer server, Route route = Route::Pulse)
{
    // 0 frames: what the deck chooses itself (through libpulse a long queue, rewritten at every
    // command; natively the graph's cycle).
    const QString size
        = frames > 0 ? QStringLiteral("%1 frames").arg(frames) : QStringLiteral("its own buffer");
    const QString way = route == Route::Native ? QStringLiteral("native stream, ") : QString();
    const QString what = QStringLiteral("play() to first sound in a %1 recording, %2%3 "
                                        "(median / max of 20)")
                             .arg(serverName(server), way, size);
    QString target = QStringLiteral("-");
    if (frames == 0 && route == Route::Native)
        target = QStringLiteral("<= 12 ms, within 2 ms of the minimal client");
    else if (frames == 0 && server == SoundServer::PipeWire)
        target = QStringLiteral("<= 12 ms or 64 frames + 3 ms");
    else if (frames == 0)
        target = QStringLiteral("<= 12 ms");
    if (!serverInstalled(server)) {
        addRow(what, QStringLiteral("not measured (no %1)").arg(serverName(server)), target);
        return;
    }
    const PinnedAudioFrames pin(frames);
    std::vector<double> times;
    {
        PrivateSound sound(folder, server);
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
        qputenv("PULSE_SERVER", sound.server().toLocal8Bit());
        qputenv("POCKO_AUDIO_OUTPUT", route == Route::Native ? "pipewire" : "pulse");
        qputenv("PIPEWIRE_REMOTE", sound.graph().toLocal8Bit());
        DeckPlayer player;
        if (sound.ready() && player.soundDeviceEnabled()) {
            player.setFileName(file);
            player.pause();
            times = timings(20, [&](int i) -> std::optional<double> {
                player.setCurrentPosition(10.0 + 7.0 * i);
                player.waitForStream(1000);
                sound.drain(150 + 7 * i);
                QElapsedTimer timer;
                timer.start();
                player.play();
                const bool heard = sound.waitForSound(1000, 8);
                const double time = double(timer.nsecsElapsed()) / 1e9;
                player.pause();
                return heard ? std::optional(time) : std::nullopt;
            });
        }
    }
    qunsetenv("PULSE_SERVER");
    qunsetenv("POCKO_AUDIO_OUTPUT");
    qunsetenv("PIPEWIRE_REMOTE");
    useDiskDriver(QStringLiteral("/dev/null"));
    addRow(what, medianAndMax(times), target);
}

// The floor of a native stream: the bench's own minimal PipeWire client, its tone turned on,
// timed from there to the first sound in the recording.
void measureLatencyNativeFloor(const QString &folder)
{
    const QString what = QStringLiteral("minimal PipeWire client (256 frames), tone on to first "
                                        "sound in a PipeWire recording (median / max of 20)");
    if (!serverInstalled(SoundServer::PipeWire)) {
        addRow(what, QStringLiteral("not measured (no PipeWire)"));
        return;
    }
    std::vector<double> times;
    {
        PrivateSound sound(folder, SoundServer::PipeWire);
        ToneClient client(sound.graph());
        if (sound.ready() && client.ready()) {
            sound.drain(500);
            times = timings(20, [&](int i) -> std::optional<double> {
                sound.drain(150 + 7 * i);
                QElapsedTimer timer;
                timer.start();
                client.tone(true);
                const bool heard = sound.waitForSound(1000, 8);
                const double time = double(timer.nsecsElapsed()) / 1e9;
                client.tone(false);
                return heard ? std::optional(time) : std::nullopt;
            });
        }
    }
    addRow(what, medianAndMax(times));
}

// The floor of the same path: pacat at its lowest latency, fed nothing (so its stream runs dry)
// and then 50 ms of a square wave, timed from the write to the first sound in the recording.
void measureLatencyFloor(const QString &folder, SoundServer server)
{
    const QString what = QStringLiteral("pacat --latency-msec=1, write to first sound in a %1 "
                                        "recording (median / max of 20)")
                             .arg(serverName(server));
    if (!serverInstalled(server) || !installed("pacat")) {
        addRow(what, QStringLiteral("not measured (no %1)").arg(serverName(server)));
        return;
    }
    std::vector<double> times;
    {
        PrivateSound sound(folder, server);
        QProcess pacat;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PULSE_SERVER"), sound.server());
        pacat.setProcessEnvironment(env);
        pacat.setStandardOutputFile(QProcess::nullDevice());
        pacat.setStandardErrorFile(QProcess::nullDevice());
        pacat.start(QStringLiteral("pacat"),
                    { QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                      QStringLiteral("--rate=44100"), QStringLiteral("--channels=2"),
                      QStringLiteral("--latency-msec=1") });
        std::vector<qint16> wave(2 * 2205);
        for (size_t i = 0; i < wave.size(); ++i)
            wave[i] = (i / 2) % 100 < 50 ? 8000 : -8000;
        if (sound.ready() && pacat.waitForStarted(5000)) {
            sound.drain(500);
            times = timings(20, [&](int i) -> std::optional<double> {
                sound.drain(300 + 7 * i);
                QElapsedTimer timer;
                timer.start();
                pacat.write(reinterpret_cast<const char *>(wave.data()),
                            qint64(wave.size() * sizeof(qint16)));
                pacat.waitForBytesWritten(100);
                const bool heard = sound.waitForSound(1000, 8);
                return heard ? std::optional(double(timer.nsecsElapsed()) / 1e9) : std::nullopt;
            });
        }
        stop(pacat);
    }
    addRow(what, medianAndMax(times));
}

} // namespace

void measureLatencyDisk(const Songs &songs)
{
    for (const int frames : { 256, 512, 1024, 2048 })
        measureLatencyDiskAt(songs.fiveMinutes, songs.folder, frames);
}

void measureLatencyPulseAudio(const Songs &songs)
{
    // 0 frames: the deck's own long queue, rewritten on every command.
    for (const int frames : { 0, 256, 512, 1024, 2048 })
        measureLatencyServerAt(songs.fiveMinutes, songs.folder, frames, SoundServer::PulseAudio);
    measureLatencyFloor(songs.folder, SoundServer::PulseAudio);
}

void measureLatencyPipeWire(const Songs &songs)
{
    // The native stream beside its floor, the minimal client, in the same minute.
    for (const int frames : { 0, 64 })
        measureLatencyServerAt(songs.fiveMinutes, songs.folder, frames, SoundServer::PipeWire,
                               Route::Native);
    measureLatencyNativeFloor(songs.folder);
    // Through the PulseAudio service. 64 frames: the smallest buffer the graph accepts, that
    // path's floor.
    for (const int frames : { 64, 0, 256, 512, 1024, 2048 })
        measureLatencyServerAt(songs.fiveMinutes, songs.folder, frames, SoundServer::PipeWire);
    measureLatencyFloor(songs.folder, SoundServer::PipeWire);
}

} // namespace pocko::bench
