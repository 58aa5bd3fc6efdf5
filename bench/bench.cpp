// pocko_bench: measures the player back end on MP3s it makes itself with lame, and prints a table.
// Sound goes to SDL's disk driver (paced like a sound card), into /dev/null or a capture file; the
// play latency is also measured through a private PulseAudio server and a private PipeWire, and
// the start-up of the real program under a private Xvfb, when those are installed. `--latency`
// measures only the latency.

#include "platform/folder.h"
#include "platform/midiinput.h"
#include "player/audioblock.h"
#include "player/buffersteps.h"
#include "player/deckplayer.h"
#include "player/songdecoder.h"

#include <QCoreApplication>
#include <QThread>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

using namespace pocko;

namespace {

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Row
{
    QString what;
    QString ours;
    QString reference;
    QString target;
};

std::vector<Row> g_rows;

void addRow(const QString &what, const QString &ours, const QString &target = QStringLiteral("-"),
            const QString &reference = QStringLiteral("-"))
{
    g_rows.push_back({ what, ours, reference, target });
    std::fprintf(stderr, "  %s: %s\n", qPrintable(what), qPrintable(ours));
}

void printTable()
{
    const Row head { QStringLiteral("measure"), QStringLiteral("PockoMP3"),
                     QStringLiteral("mpg123"), QStringLiteral("target") };
    const auto cells = [](const Row &row) {
        return std::array { &row.what, &row.ours, &row.reference, &row.target };
    };
    std::array<qsizetype, 4> widths {};
    for (std::size_t i = 0; i < 4; ++i)
        widths[i] = cells(head)[i]->size();
    for (const Row &row : g_rows) {
        for (std::size_t i = 0; i < 4; ++i)
            widths[i] = std::max(widths[i], cells(row)[i]->size());
    }
    const auto print = [&widths, &cells](const Row &row) {
        std::printf("|");
        for (std::size_t i = 0; i < 4; ++i)
            std::printf(" %s |", qPrintable(cells(row)[i]->leftJustified(widths[i])));
        std::printf("\n");
    };
    print(head);
    const auto dashes = [&widths](std::size_t i) { return QString(widths[i], QLatin1Char('-')); };
    print({ dashes(0), dashes(1), dashes(2), dashes(3) });
    for (const Row &row : g_rows)
        print(row);
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The seconds one call of `body` takes.
template<typename Body> double seconds(Body &&body)
{
    QElapsedTimer timer;
    timer.start();
    body();
    return double(timer.nsecsElapsed()) / 1e9;
}

// `runs` timings; a run whose body returns no time (it failed) is left out.
template<typename Body> std::vector<double> timings(int runs, Body &&body)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        if (const std::optional<double> time = body(i))
            times.push_back(*time);
    }
    return times;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QString ms(double seconds)
{
    return QStringLiteral("%1 ms").arg(seconds * 1000, 0, 'f', 2);
}

QString medianAndMax(const std::vector<double> &times)
{
    if (times.empty())
        return QStringLiteral("failed");
    return QStringLiteral("%1 / %2").arg(ms(median(times)),
                                         ms(*std::max_element(times.begin(), times.end())));
}

bool installed(const char *program)
{
    return !QStandardPaths::findExecutable(QLatin1String(program)).isEmpty();
}

void useDiskDriver(const QString &file)
{
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(file));
}

// Ends a helper process, politely first.
void stop(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

// A capture of SDL's disk driver: float32 stereo frames.
struct Capture
{
    explicit Capture(const QString &path)
    {
        QFile in(path);
        in.open(QIODevice::ReadOnly);
        bytes = in.readAll();
    }
    qint64 frames() const { return bytes.size() / 8; }
    bool silent(qint64 i) const
    {
        const auto *f = reinterpret_cast<const float *>(bytes.constData());
        return f[i * 2] == 0.0f && f[i * 2 + 1] == 0.0f;
    }
    QByteArray bytes;
};

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
        const double tone
            = 0.3 * std::sin(2 * M_PI * f * t) + 0.15 * std::sin(2 * M_PI * f * 1.5 * t);
        const double tick = t * 2 - beat < 0.05 ? 0.3 * hat(noise) : 0.0;
        s[i * 2] = qint16(12000 * (tone + tick));
        s[i * 2 + 1] = qint16(12000 * (0.8 * tone + tick));
    }
    // The canonical 44-byte header: PCM, 2 channels, 16 bits.
    const quint32 header[] = { 0x46464952,
                               quint32(36 + data.size()),
                               0x45564157,
                               0x20746d66,
                               16,
                               0x00020001,
                               quint32(rate),
                               quint32(rate * 4),
                               0x00100004,
                               0x61746164,
                               quint32(data.size()) };
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(reinterpret_cast<const char *>(header), sizeof header);
    file.write(data);
    return true;
}

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

void measureOpen(const QString &file, const QString &label, const QString &target,
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

void measureSeek(const QString &file)
{
    DeckPlayer player;
    player.setFileName(file);
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

// Plays a burst train into a capture file and measures what came out: the sound between the
// silences before and after it, and the silent frames inside it.
void measureBursts(const QString &file, const QString &folder, double rate)
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

// Plays while the stream is changed under way, as a DJ does: half speed on and off, jumps, the
// same song loaded again. Every change keeps the deck playing, so any run of digital silence in
// the capture is a hole the listener hears.
void measureStreamChanges(const QString &file, const QString &folder)
{
    const QString path = folder + QStringLiteral("/changes.raw");
    const int changes = 400;
    quint64 underruns = 0;
    {
        useDiskDriver(path);
        DeckPlayer player;
        player.setFileName(file);
        std::mt19937 random(11);
        std::uniform_int_distribution<int> pause(15, 90);
        std::uniform_int_distribution<int> action(0, 2);
        std::uniform_real_distribution<double> where(0, player.duration() - 5);
        double rate = 1.0;
        for (int i = 0; i < changes; ++i) {
            sleepMs(pause(random));
            switch (action(random)) {
            case 0:
                rate = rate == 1.0 ? 0.5 : 1.0;
                player.setRate(rate);
                break;
            case 1:
                player.setCurrentPosition(where(random));
                break;
            default:
                player.setFileName(file);
                break;
            }
        }
        sleepMs(100);
        underruns = player.underruns();
    }
    useDiskDriver(QStringLiteral("/dev/null"));
    const Capture capture(path);
    QFile::remove(path);
    qint64 i = 0;
    while (i < capture.frames() && capture.silent(i))
        ++i; // the start of play
    int holes = 0;
    qint64 longest = 0;
    for (qint64 run = 0; i < capture.frames(); ++i) {
        if (capture.silent(i)) {
            ++run;
            continue;
        }
        if (run >= 32) {
            ++holes;
            longest = std::max(longest, run);
        }
        run = 0;
    }
    addRow(
        QStringLiteral("%1 stream changes while playing: holes (longest) / underruns").arg(changes),
        QStringLiteral("%1 (%2) / %3")
            .arg(holes)
            .arg(ms(double(longest) / OutputRate))
            .arg(underruns),
        QStringLiteral("0 / 0"));
}

void measureDecodeSpeed(const QString &file, double rate, double mpg123Speed)
{
    SongDecoder decoder(::open(QFile::encodeName(file).constData(), O_RDONLY));
    StreamPlan plan;
    plan.generation = 1;
    plan.active = true;
    plan.selectionEnd = decoder.length();
    plan.rate = rate;
    decoder.begin(plan);
    auto block = std::make_unique<AudioBlock>();
    const double time = seconds([&] {
        do
            decoder.fill(*block, false);
        while (block->end == BlockEnd::None);
    });
    const double songSeconds = double(decoder.length()) / decoder.fileRate();
    addRow(QStringLiteral("decode speed at rate %1 (x real time of the song)").arg(rate),
           QStringLiteral("%1x").arg(songSeconds / time, 0, 'f', 0), QStringLiteral("-"),
           rate == 1.0 ? QStringLiteral("%1x (mpg123 -t)").arg(mpg123Speed, 0, 'f', 0)
                       : QStringLiteral("-"));
}

// mpg123 on the same file: the whole process, `extra` options before the file.
double mpg123Seconds(const QStringList &extra, const QString &file)
{
    return seconds([&] {
        QProcess mpg123;
        mpg123.start(QStringLiteral("mpg123"),
                     QStringList { QStringLiteral("-q"), QStringLiteral("-t") } + extra
                         + QStringList { file });
        mpg123.waitForFinished(600000);
    });
}

void measureCpu(const QString &file)
{
    DeckPlayer player;
    player.setFileName(file);
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

long rssOf(const QString &file)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--rss"), file });
    child.waitForFinished(120000);
    return child.readAllStandardOutput().trimmed().toLong();
}

// Play latency through the disk driver: from a play() call (paused at a spot inside the song) to
// the moment the first frame of sound is written to the capture file. SDL's disk driver writes
// each buffer right after the callback filled it and then sleeps one buffer's time, as a card
// would ask for the next one, so this is the player's own part of the latency: the wait for the
// next callback and the start of the stream, without any sound server's or card's buffer.
void measureLatencyDisk(const QString &file, const QString &folder, int frames)
{
    const QString capture = folder + QStringLiteral("/latency.raw");
    useDiskDriver(capture);
    qputenv("POCKO_AUDIO_FRAMES", QByteArray::number(frames));
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

enum class SoundServer { PulseAudio, PipeWire };

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

// A private sound server with a null sink "deck", and a recorder on the sink's monitor: PulseAudio,
// or PipeWire with its session manager and PulseAudio service (on a private session bus, with the
// end-to-end tests' drop-ins over the packaged configuration). The player's socket opens last: an
// idle PulseAudio null sink renders far ahead and stalls the first stream, so the recorder (on a
// socket of its own) settles first. pipewire-pulse serves one socket; the player's path becomes a
// link to it then.
class PrivateSound
{
public:
    explicit PrivateSound(const QString &folder, SoundServer server = SoundServer::PulseAudio)
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
    ~PrivateSound()
    {
        QFile::remove(m_socket);
        stop(m_recorder);
        for (auto it = m_servers.rbegin(); it != m_servers.rend(); ++it)
            stop(**it);
    }
    PrivateSound(const PrivateSound &) = delete;
    PrivateSound &operator=(const PrivateSound &) = delete;

    bool ready() const { return m_ready; }
    QString server() const { return QStringLiteral("unix:") + m_socket; }

    // Reads and drops what the recorder delivers for this long.
    void drain(int milliseconds) { waitForSound(milliseconds, INT_MAX); }
    // The recording's time line starts afresh: an idle null sink delivers ahead of time.
    void restartTimeLine() { m_baseNs = 0; }

    // Reads what the recorder delivers for up to timeoutMs, calling `poll` between reads; true
    // once a sample louder than the threshold arrived. `loudNs` gets that sample's steady-clock
    // time as the recording's own pace places it: its frames evenly spaced from the earliest
    // arrival seen, so that the recorder's fragments do not blur it.
    bool waitForSound(int timeoutMs, int threshold, qint64 *loudNs = nullptr,
                      const std::function<void()> &poll = {})
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
            const auto *loud = std::find_if(s, s + frames * 2, [threshold](qint16 v) {
                return std::abs(v) > threshold;
            });
            if (loudNs && loud != s + frames * 2)
                *loudNs = m_baseNs + (m_frames - frames + (loud - s) / 2) * 1000000000 / 44100;
            m_carry = m_carry.right(m_carry.size() % 4);
            if (loud != s + frames * 2)
                return true;
        }
        return false;
    }

private:
    static QString socketModule(const QString &path)
    {
        return QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(path);
    }

    QProcess &spawn(const QString &program, const QStringList &args, const QProcessEnvironment &env)
    {
        m_servers.push_back(std::make_unique<QProcess>());
        QProcess &process = *m_servers.back();
        process.setProcessEnvironment(env);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(program, args);
        return process;
    }

    // Starts the server; returns the socket of the recorder (and pactl), now in `env`.
    QString startPulseAudio(const QString &folder, QProcessEnvironment &env)
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

    QString startPipeWire(const QString &folder, const QString &run, QProcessEnvironment &env)
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
              { QStringLiteral("--session"), QStringLiteral("--nofork"),
                QStringLiteral("--nopidfile"), QStringLiteral("--address=unix:path=") + bus },
              env);
        for (int i = 0; i < 100 && !QFileInfo::exists(bus); ++i)
            sleepMs(20);
        spawn(QStringLiteral("pipewire"), {}, env);
        for (int i = 0; i < 100 && !QFileInfo::exists(graph); ++i)
            sleepMs(20);
        spawn(QStringLiteral("wireplumber"), {}, env);
        spawn(QStringLiteral("pipewire-pulse"), {}, env);
        return QFileInfo::exists(graph) ? run + QStringLiteral("/pulse/native") : QString();
    }

    const QString m_socket;
    std::vector<std::unique_ptr<QProcess>> m_servers;
    QProcess m_recorder;
    QByteArray m_carry;
    qint64 m_frames = 0; // recorded so far
    qint64 m_baseNs = 0; // when frame 0 was recorded, at the earliest
    bool m_ready = false;
};

// Play latency through a sound server: from a play() call to the first sound in the recording of
// the null sink's monitor. An upper bound of what a listener hears: it adds the recorder's own
// 10 ms fragments to the player's stream buffer and the server's mixing.
void measureLatencyPulse(const QString &file, const QString &folder, int frames,
                         SoundServer server = SoundServer::PulseAudio)
{
    // 0 frames: what the deck chooses itself (a long queue, rewritten at every command).
    const QString size = frames > 0 ? QStringLiteral("%1 frames").arg(frames)
                                    : QStringLiteral("its own buffer");
    const QString what = QStringLiteral("play() to first sound in a %1 recording, %2 "
                                        "(median / max of 20)")
                             .arg(serverName(server), size);
    QString target = QStringLiteral("-");
    if (frames == 0 && server == SoundServer::PipeWire)
        target = QStringLiteral("<= 12 ms or 64 frames + 3 ms");
    else if (frames == 0)
        target = QStringLiteral("<= 12 ms");
    if (!serverInstalled(server)) {
        addRow(what, QStringLiteral("not measured (no %1)").arg(serverName(server)), target);
        return;
    }
    qputenv("POCKO_AUDIO_FRAMES", frames > 0 ? QByteArray::number(frames) : QByteArray());
    std::vector<double> times;
    {
        PrivateSound sound(folder, server);
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
        qputenv("PULSE_SERVER", sound.server().toLocal8Bit());
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
    useDiskDriver(QStringLiteral("/dev/null"));
    addRow(what, medianAndMax(times), target);
}

// A pad on a JACK MIDI output: a note-on written at the start of a JACK cycle, stamped then.
class JackPad
{
public:
    JackPad()
    {
        m_client = jack_client_open("pocko bench pad", JackNoStartServer, nullptr);
        if (!m_client)
            return;
        m_port = jack_port_register(m_client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(m_client, &JackPad::process, this);
        if (!m_port || jack_activate(m_client) != 0) {
            jack_client_close(m_client);
            m_client = nullptr;
        }
    }
    ~JackPad()
    {
        if (m_client)
            jack_client_close(m_client);
    }
    bool ready() const { return m_client != nullptr; }
    // Any thread: asks for a hit in the next cycle.
    void hit() { m_pending.store(true); }
    // When the last hit went out (steady clock, ns); 0 until then.
    qint64 sentNs() const { return m_sentNs.load(); }

private:
    static int process(jack_nframes_t frames, void *user)
    {
        auto *self = static_cast<JackPad *>(user);
        void *buffer = jack_port_get_buffer(self->m_port, frames);
        jack_midi_clear_buffer(buffer);
        if (self->m_pending.exchange(false)) {
            const jack_midi_data_t note[3] = { 0x90, 36, 100 };
            jack_midi_event_write(buffer, 0, note, 3);
            self->m_sentNs.store(steadyNs());
        }
        return 0;
    }
    jack_client_t *m_client = nullptr;
    jack_port_t *m_port = nullptr;
    std::atomic<bool> m_pending { false };
    std::atomic<qint64> m_sentNs { 0 };
};

// Pad hit to first sound: 50 note-ons at random phases from a JACK MIDI output (JACK's dummy
// driver, a private server), through the deck's MIDI input, into play() on a private PulseAudio,
// timed from the note's cycle to its first sound in the recording. Once with the hit's stamp
// carried to the player (its fixed delay), once started at the callback's next frame.
void measureMidi(const QString &file, const QString &folder, int frames)
{
    // 0 frames: the deck's long queue, where an untimed hit is heard at the next rewrite.
    const QString size = frames > 0 ? QStringLiteral("%1 frames").arg(frames)
                                    : QStringLiteral("its own buffer");
    const QStringList what
        = { QStringLiteral("pad hit to first sound, timed from the stamp, %1 (median / spread "
                           "of 50)")
                .arg(size),
            QStringLiteral("pad hit to first sound, %1, %2 (median / spread of 50)")
                .arg(frames > 0 ? QStringLiteral("at the next callback") : QStringLiteral("at once"),
                     size) };
    if (!serverInstalled(SoundServer::PulseAudio) || !installed("jackd")) {
        for (const QString &row : what)
            addRow(row, QStringLiteral("not measured (no jackd or pulseaudio)"));
        return;
    }
    const QByteArray server = "pocko-bench-" + QByteArray::number(QCoreApplication::applicationPid());
    QProcess jackd;
    jackd.setStandardOutputFile(QProcess::nullDevice());
    jackd.setStandardErrorFile(QProcess::nullDevice());
    jackd.start(QStringLiteral("jackd"),
                { QStringLiteral("-r"), QStringLiteral("-n"), QString::fromLatin1(server),
                  QStringLiteral("-d"), QStringLiteral("dummy"), QStringLiteral("-r"),
                  QStringLiteral("44100"), QStringLiteral("-p"), QStringLiteral("256") });
    qputenv("JACK_DEFAULT_SERVER", server);
    sleepMs(1000);
    qputenv("POCKO_AUDIO_FRAMES", frames > 0 ? QByteArray::number(frames) : QByteArray());
    std::vector<std::vector<double>> rows(2);
    quint64 late = 0;
    qint64 delayNs = 0;
    {
        PrivateSound sound(folder);
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
        qputenv("PULSE_SERVER", sound.server().toLocal8Bit());
        DeckPlayer player;
        JackPad pad;
        MidiInput midi(QStringLiteral("PockoMP3 deck 1"), QStringLiteral("pocko bench pad"));
        QString error;
        std::mt19937 random(7);
        if (sound.ready() && pad.ready() && midi.open(&error) && player.soundDeviceEnabled()) {
            for (int i = 0; i < 20; ++i) { // the input connects from its timer
                QCoreApplication::processEvents();
                sleepMs(50);
            }
            player.setFileName(file);
            player.pause();
            sound.drain(500);
            sound.restartTimeLine();
            for (int i = 0; i < 100; ++i) {
                const bool timed = i % 2 == 0;
                player.setCurrentPosition(10.0 + 2.0 * i);
                player.waitForStream(1000);
                sound.drain(150 + int(random() % 100));
                // A random phase against the device's buffers and JACK's cycles.
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
                pad.hit();
                bool played = false;
                qint64 heardNs = 0;
                const bool heard = sound.waitForSound(1000, 8, &heardNs, [&] {
                    MidiHit hit;
                    while (!played && midi.take(hit)) {
                        player.setStartTime(timed ? hit.arrivedNs : 0);
                        player.play();
                        player.setStartTime(0);
                        played = true;
                    }
                });
                player.pause();
                if (heard && played && pad.sentNs() != 0)
                    rows[timed ? 0 : 1].push_back(double(heardNs - pad.sentNs()) / 1e9);
            }
            late = player.lateStarts();
            delayNs = player.startDelayNs();
        }
    }
    stop(jackd);
    qunsetenv("JACK_DEFAULT_SERVER");
    qunsetenv("PULSE_SERVER");
    useDiskDriver(QStringLiteral("/dev/null"));
    for (int r = 0; r < 2; ++r) {
        const std::vector<double> &times = rows[size_t(r)];
        QString result = QStringLiteral("failed");
        if (!times.empty()) {
            const auto [low, high] = std::minmax_element(times.begin(), times.end());
            result = QStringLiteral("%1 / %2").arg(ms(median(times)), ms(*high - *low));
            if (r == 0)
                result += QStringLiteral(" (%1 heard, fixed delay %2, %3 late)")
                              .arg(times.size())
                              .arg(ms(double(delayNs) / 1e9))
                              .arg(late);
        }
        addRow(what[r], result,
               r == 0 ? QStringLiteral("<= 10 ms / <= 2 ms") : QStringLiteral("-"));
    }
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

// The sound server killed under a playing deck and started again: how long the deck's calls take
// while it is gone (they must never wait for it), and how long after its return the song sounds.
void measureOutage(const QString &file, const QString &folder)
{
    const QString what
        = QStringLiteral("sound server gone: longest call of 200 / sound again after "
                         "its return (median / max of 5)");
    if (!installed("pulseaudio") || !installed("parec") || !installed("pactl")) {
        addRow(what, QStringLiteral("not measured (no pulseaudio)"));
        return;
    }
    auto sound = std::make_unique<PrivateSound>(folder);
    qputenv("SDL_AUDIODRIVER", "pulseaudio");
    qputenv("PULSE_SERVER", sound->server().toLocal8Bit());
    DeckPlayer player;
    player.setFileName(file);
    std::mt19937 random(5);
    double longest = 0;
    const std::vector<double> returns = timings(5, [&](int) -> std::optional<double> {
        sound.reset();
        for (int i = 0; i < 40; ++i) {
            longest = std::max(longest, seconds([&] {
                                   switch (random() % 4) {
                                   case 0:
                                       player.pause();
                                       break;
                                   case 1:
                                       player.setCurrentPosition(10.0 + random() % 100);
                                       break;
                                   case 2:
                                       player.setRate(random() % 2 ? 0.5 : 1.0);
                                       break;
                                   default:
                                       player.play();
                                   }
                               }));
            sleepMs(10);
        }
        player.play();
        sound = std::make_unique<PrivateSound>(folder);
        QElapsedTimer timer;
        timer.start();
        const bool heard = sound->waitForSound(3000, 8);
        return heard ? std::optional(double(timer.nsecsElapsed()) / 1e9) : std::nullopt;
    });
    sound.reset();
    qunsetenv("PULSE_SERVER");
    useDiskDriver(QStringLiteral("/dev/null"));
    addRow(what, QStringLiteral("%1 / %2").arg(ms(longest), medianAndMax(returns)),
           QStringLiteral("<= 20 ms / <= 500 ms"));
}

// The folder listing the playlist runs: first() and next() until "" over 10,000 files.
void measureListing(const QString &folder)
{
    const QString dir = folder + QStringLiteral("/many");
    QDir().mkpath(dir);
    for (int i = 0; i < 10000; ++i) {
        QFile song(dir + QStringLiteral("/Song %1.mp3").arg(i, 5, 10, QLatin1Char('0')));
        song.open(QIODevice::WriteOnly);
    }
    DiskFolder listing;
    int count = 0;
    const std::vector<double> times = timings(5, [&](int) {
        return std::optional(seconds([&] {
            count = 0;
            for (QString name = listing.first(dir + QStringLiteral("/*.mp3")); !name.isEmpty();
                 name = listing.next())
                ++count;
        }));
    });
    addRow(QStringLiteral("folder listing of 10,000 MP3s, first() + next() (median of 5)"),
           count == 10000 ? ms(median(times)) : QStringLiteral("listed %1").arg(count));
}

// A private X server, its display number read from -displayfd; empty when it did not start.
QString startDisplay(QProcess &server)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    server.setStandardOutputFile(QProcess::nullDevice());
    server.setStandardErrorFile(QProcess::nullDevice());
    server.start(QStringLiteral("Xvfb"),
                 { QStringLiteral("-displayfd"), QString::number(fds[1]), QStringLiteral("-screen"),
                   QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                   QStringLiteral("tcp"), QStringLiteral("-noreset") });
    ::close(fds[1]);
    QByteArray number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n')
        number.append(c);
    ::close(fds[0]);
    return number.isEmpty() ? QString() : QStringLiteral(":") + QString::fromLatin1(number);
}

// Start-up of the real program: from starting the process (a copy of the executable in a folder
// with a song, as a user has it) until the X server shows its deck window mapped, found by
// polling `xdotool search --onlyvisible --pid`. Sound goes to the disk driver, and the session
// bus is absent, so neither a sound server nor the accessibility bus is in the figure.
void measureStartup(const QString &folder)
{
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
    QFile::copy(folder + QStringLiteral("/5min.mp3"), app + QStringLiteral("/Song.mp3"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("disk"));
    env.insert(QStringLiteral("SDL_DISKAUDIOFILE"), QStringLiteral("/dev/null"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               QStringLiteral("unix:path=/nonexistent"));
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"))) {
        std::printf("Usage: pocko_bench [--latency | --midi]\n"
                    "Measures the player on MP3s it makes with lame and prints a table.\n"
                    "  --latency  only the rows from play() to the first sound\n"
                    "  --midi     only the rows from a pad hit (JACK MIDI) to the first sound\n"
                    "  --help     this text\n");
        return 0;
    }
    if (args.size() == 3 && args[1] == QLatin1String("--rss"))
        return rssChild(args[2]);
    const bool latencyOnly = args.contains(QLatin1String("--latency"));
    const bool midiOnly = args.contains(QLatin1String("--midi"));

    QTemporaryDir dir;
    const QString folder = dir.path();
    const auto at
        = [&folder](const char *name) { return folder + QLatin1Char('/') + QLatin1String(name); };
    useDiskDriver(QStringLiteral("/dev/null"));
    // The size a deck starts with, pinned: a disk driver on a busy machine must not step it up.
    qputenv("POCKO_AUDIO_FRAMES", "256");

    std::fprintf(stderr, "making test songs with lame...\n");
    QProcess lame;
    if (writeMinuteWav(at("minute.wav")))
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
    if (midiOnly) {
        measureMidi(at("5min.mp3"), folder, 0);
        measureMidi(at("5min.mp3"), folder, 256);
        printTable();
        return 0;
    }
    if (!latencyOnly) {
        measureOpen(at("5min.mp3"), QStringLiteral("5-minute file"), QStringLiteral("<= 10 ms"));
        // 128 kbit/s at 44.1 kHz: 417.96 bytes a frame. mpg123 walks to the last frame (-k, skip
        // frames) and decodes one: it has no "length only" mode.
        const int frames60 = int(QFileInfo(at("60min.mp3")).size() / 417.96);
        const QStringList walk { QStringLiteral("-k"), QString::number(frames60 - 2),
                                 QStringLiteral("-n"), QStringLiteral("1") };
        const std::vector<double> walks
            = timings(5, [&](int) { return std::optional(mpg123Seconds(walk, at("60min.mp3"))); });
        measureOpen(at("60min.mp3"), QStringLiteral("60-minute file"), QStringLiteral("<= 100 ms"),
                    QStringLiteral("%1 (mpg123 -t -k %2 -n 1, whole process)")
                        .arg(ms(median(walks)))
                        .arg(frames60 - 2));
        measureSeek(at("60min.mp3"));
        measureBursts(at("5min.mp3"), folder, 1.0);
        measureBursts(at("5min.mp3"), folder, 0.5);
        measureStreamChanges(at("5min.mp3"), folder);
        const double reference = 300.0 / mpg123Seconds({}, at("5min.mp3"));
        measureDecodeSpeed(at("5min.mp3"), 1.0, reference);
        measureDecodeSpeed(at("5min.mp3"), 0.5, reference);
        measureCpu(at("5min.mp3"));
        const long small = rssOf(at("1min.mp3"));
        const long large = rssOf(at("120min.mp3"));
        addRow(QStringLiteral("peak RSS playing a 1-minute / 2-hour file"),
               QStringLiteral("%1 / %2 MB")
                   .arg(small / 1024.0, 0, 'f', 1)
                   .arg(large / 1024.0, 0, 'f', 1));
        addRow(QStringLiteral("RSS growth, 1 minute -> 2 hours"),
               QStringLiteral("%1 MB").arg((large - small) / 1024.0, 0, 'f', 1),
               QStringLiteral("<= 16 MB"));
    }
    for (const int frames : { 256, 512, 1024, 2048 })
        measureLatencyDisk(at("5min.mp3"), folder, frames);
    // 0 frames: the deck's own long queue, rewritten on every command.
    for (const int frames : { 0, 256, 512, 1024, 2048 })
        measureLatencyPulse(at("5min.mp3"), folder, frames);
    measureLatencyFloor(folder, SoundServer::PulseAudio);
    // 64 frames: the smallest buffer the graph accepts, the floor of the player on PipeWire.
    for (const int frames : { 64, 0, 256, 512, 1024, 2048 })
        measureLatencyPulse(at("5min.mp3"), folder, frames, SoundServer::PipeWire);
    measureLatencyFloor(folder, SoundServer::PipeWire);
    measureMidi(at("5min.mp3"), folder, 0);
    measureMidi(at("5min.mp3"), folder, 256);
    qputenv("POCKO_AUDIO_FRAMES", "256");
    if (!latencyOnly) {
        measureOutage(at("5min.mp3"), folder);
        measureListing(folder);
        measureStartup(folder);
    }
    printTable();
    return 0;
}
