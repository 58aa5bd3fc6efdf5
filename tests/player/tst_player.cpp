#include "fakes/fakeoutput.h"
#include "fakes/testwindows.h"
#include "platform/filenames.h"
#include "player/audioblock.h"
#include "player/buffersteps.h"
#include "player/sdlplayer.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <mpg123.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace pocko;

namespace {

using Frames = std::vector<float>; // interleaved stereo

// A signal no two frames of which decode alike: two tones under a deterministic noise.
void writeWav(const QString &path, int rate, qint64 frames)
{
    QByteArray data;
    data.resize(frames * 4);
    std::mt19937 noise(12345);
    std::uniform_int_distribution<int> spread(-3000, 3000);
    auto *samples = reinterpret_cast<qint16 *>(data.data());
    for (qint64 i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        samples[i * 2] = qint16(9000 * std::sin(2 * M_PI * 440 * t) + spread(noise));
        samples[i * 2 + 1] = qint16(9000 * std::sin(2 * M_PI * 587 * t) + spread(noise));
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
    put32(quint32(rate));
    put32(quint32(rate * 4));
    put16(4);
    put16(16);
    header.append("data");
    put32(quint32(data.size()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(header);
    file.write(data);
}

void encode(const QString &wav, const QString &mp3, const QStringList &options)
{
    QProcess lame;
    lame.start(QStringLiteral("lame"),
               QStringList { QStringLiteral("--quiet") } + options + QStringList { wav, mp3 });
    QVERIFY(lame.waitForFinished(60000));
    QCOMPARE(lame.exitCode(), 0);
}

// What libmpg123 makes of the file, read straight through: the reference for every comparison.
Frames straightDecode(const QString &path, long *rate = nullptr)
{
    mpg123_init();
    mpg123_handle *handle = mpg123_new(nullptr, nullptr);
    mpg123_param(handle, MPG123_FLAGS,
                 MPG123_GAPLESS | MPG123_QUIET | MPG123_FORCE_STEREO | MPG123_FORCE_FLOAT, 0);
    mpg123_format_none(handle);
    const long *rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    for (size_t i = 0; i < count; ++i)
        mpg123_format(handle, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);
    Frames frames;
    if (mpg123_open(handle, encodeFileName(path).constData()) == MPG123_OK) {
        long r = 0;
        int channels = 0;
        int encoding = 0;
        mpg123_getformat(handle, &r, &channels, &encoding);
        // As the player does. (On a truncated file the scan also turns off the gapless trim.)
        mpg123_scan(handle);
        if (rate)
            *rate = r;
        std::vector<unsigned char> buffer(1 << 16);
        for (;;) {
            size_t done = 0;
            const int result = mpg123_read(handle, buffer.data(), buffer.size(), &done);
            const auto *f = reinterpret_cast<const float *>(buffer.data());
            frames.insert(frames.end(), f, f + done / sizeof(float));
            if (result != MPG123_OK && result != MPG123_NEW_FORMAT)
                break;
        }
        mpg123_close(handle);
    }
    mpg123_delete(handle);
    return frames;
}

qint64 frameCount(const Frames &frames)
{
    return qint64(frames.size() / 2);
}

bool silent(const Frames &f, qint64 frame)
{
    return f[frame * 2] == 0.0f && f[frame * 2 + 1] == 0.0f;
}

// First frame of `haystack` (from `from` on) where `length` frames equal needle[at...], or -1.
qint64 find(const Frames &haystack, const Frames &needle, qint64 at, qint64 length, qint64 from = 0)
{
    const qint64 last = frameCount(haystack) - length;
    for (qint64 k = from; k <= last; ++k) {
        if (haystack[k * 2] != needle[at * 2] || haystack[k * 2 + 1] != needle[at * 2 + 1])
            continue;
        if (std::equal(needle.begin() + at * 2, needle.begin() + (at + length) * 2,
                       haystack.begin() + k * 2))
            return k;
    }
    return -1;
}

// Where the last stretch of sound in the capture begins, and how many frames it lasts.
std::pair<qint64, qint64> lastSound(const Frames &f)
{
    qint64 end = frameCount(f);
    while (end > 0 && silent(f, end - 1))
        --end;
    qint64 begin = end;
    while (begin > 0 && !silent(f, begin - 1))
        --begin;
    return { begin, end - begin };
}

// Lets the player's callback run for a while of real time (the disk driver paces itself).
void runFor(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Waits for a condition of the player, not for a time: a loaded machine only makes it slower.
template<typename Condition> bool waitFor(Condition condition, int ms = 5000)
{
    for (int waited = 0; waited < ms; waited += 5) {
        if (condition())
            return true;
        runFor(5);
    }
    return false;
}

bool waitUntilStopped(const SdlPlayer &player, int ms)
{
    return waitFor([&player] { return player.playState() == 0; }, ms);
}

// Sound must come back in `captured` after `from` with a fade-in from song frame `frame` and go
// on exactly from there, with only silence before it.
void expectBackAt(const Frames &captured, qint64 from, const Frames &reference, qint64 frame)
{
    Frames fadeIn;
    for (qint64 k = 0; k < FadeFrames; ++k) {
        fadeIn.push_back(reference[(frame + k) * 2] * rampGain(k));
        fadeIn.push_back(reference[(frame + k) * 2 + 1] * rampGain(k));
    }
    const qint64 in = find(captured, fadeIn, 0, FadeFrames, from);
    QVERIFY2(in >= from, "no fade-in from the frame where the sound stopped");
    for (qint64 i = from; i < in; ++i)
        QVERIFY2(silent(captured, i), "sound before the fade-in");
    QCOMPARE(find(captured, reference, frame + FadeFrames, 2000, in), in + FadeFrames);
}

// The song frame after the last one heard exactly, before capture frame `end`.
qint64 frameAfter(const Frames &reference, const Frames &captured, qint64 end)
{
    return find(reference, captured, end - 1000, 1000) + 1000;
}

// Pins the device buffer for one test; the disk driver's tests run pinned (CMakeLists.txt), so
// that a busy machine's late buffers never step the buffer up in the middle of a capture.
struct PinFrames
{
    explicit PinFrames(const QByteArray &frames) { qputenv("POCKO_AUDIO_FRAMES", frames); }
    ~PinFrames() { qputenv("POCKO_AUDIO_FRAMES", m_old); }
    QByteArray m_old = qgetenv("POCKO_AUDIO_FRAMES");
};

// A device thread's turn: one buffer, then a short wait (faster than real time; the decoder's
// lead rides it out).
void pumpFor(FakeOutput::Device &device, Frames &heard, int buffers)
{
    for (int i = 0; i < buffers; ++i) {
        device.pump(heard);
        runFor(1);
    }
}

} // namespace

// The real back end playing into SDL's disk driver: every frame the callback produced is read back
// from the file and compared with a straight decode of the same MP3.
class TestPlayer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_cbr; // 6 s, 44.1 kHz, 128 kbit/s
    QString m_vbr;
    QString m_mono22; // MPEG-2 mono at 22.05 kHz (VBR: only then does lame write the gapless tag)
    QString m_mono8; // MPEG-2.5 mono at 8 kHz
    QString m_stereo48; // MPEG-1 at 48 kHz: resampled even at rate 1
    qint64 m_sourceFrames = 6 * 44100 + 123;
    int m_captures = 0;

    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }

    // A fresh player writing to a fresh capture file.
    std::unique_ptr<SdlPlayer> makePlayer(QString *capture)
    {
        *capture = m_dir.filePath(QStringLiteral("capture%1.raw").arg(++m_captures));
        qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(*capture));
        auto player = std::make_unique<SdlPlayer>();
        if (!player->soundDeviceEnabled())
            return nullptr;
        return player;
    }

    static Frames readCapture(const QString &capture)
    {
        QFile file(capture);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        const QByteArray bytes = file.readAll();
        Frames frames(std::size_t(bytes.size()) / sizeof(float));
        std::memcpy(frames.data(), bytes.constData(), frames.size() * sizeof(float));
        return frames;
    }

private slots:
    void initTestCase();
    void lengthIsExact_data();
    void lengthIsExact();
    void seeksAreBitExact_data();
    void seeksAreBitExact();
    void pauseHoldsTheExactFrame();
    void selectionChangeWhilePlayingGoesOn_data();
    void selectionChangeWhilePlayingGoesOn();
    void streamChangesLeaveNoHole_data();
    void streamChangesLeaveNoHole();
    void burstTrainIsExact_data();
    void burstTrainIsExact();
    void burstTrainEndsPaused_data();
    void burstTrainEndsPaused();
    void selectionStopsAtItsEnd();
    void stretchLastsItsHeardTime_data();
    void stretchLastsItsHeardTime();
    void refusedFiles_data();
    void refusedFiles();
    void emptyNameClosesTheSong();
    void truncatedFilePlaysWhatItHas();
    void getsFollowPutsAtOnce();
    void reopeningRestarts();
    void commandFloodFromAnotherThread();
    void lostOutputHoldsThePlace_data();
    void lostOutputHoldsThePlace();
    void dropoutsStepTheBufferUp_data();
    void dropoutsStepTheBufferUp();
    void bufferSteps_data();
    void bufferSteps();
};

void TestPlayer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString wav = path("source.wav");
    writeWav(wav, 44100, m_sourceFrames);
    m_cbr = path("cbr.mp3");
    m_vbr = path("vbr.mp3");
    m_mono22 = path("mono22.mp3");
    encode(wav, m_cbr, { QStringLiteral("-b"), QStringLiteral("128") });
    encode(wav, m_vbr, { QStringLiteral("-V"), QStringLiteral("2") });
    m_stereo48 = path("stereo48.mp3");
    encode(wav, m_stereo48, { QStringLiteral("--resample"), QStringLiteral("48") });
    m_mono8 = path("mono8.mp3");
    encode(wav, m_mono8,
           { QStringLiteral("--resample"), QStringLiteral("8"), QStringLiteral("-m"),
             QStringLiteral("m"), QStringLiteral("-V"), QStringLiteral("2") });
    encode(wav, m_mono22,
           { QStringLiteral("--resample"), QStringLiteral("22.05"), QStringLiteral("-m"),
             QStringLiteral("m"), QStringLiteral("-V"), QStringLiteral("2") });
}

void TestPlayer::lengthIsExact_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("rate");
    QTest::newRow("CBR") << m_cbr << 44100;
    QTest::newRow("VBR") << m_vbr << 44100;
    QTest::newRow("MPEG-2 mono 22.05 kHz") << m_mono22 << 22050;
    QTest::newRow("MPEG-2.5 mono 8 kHz") << m_mono8 << 8000;
    QTest::newRow("48 kHz") << m_stereo48 << 48000;
}

void TestPlayer::lengthIsExact()
{
    QFETCH(QString, file);
    QFETCH(int, rate);
    long decodedRate = 0;
    const Frames reference = straightDecode(file, &decodedRate);
    QCOMPARE(decodedRate, long(rate));
    if (rate == 44100)
        QCOMPARE(frameCount(reference), m_sourceFrames); // gapless: delay and padding removed
    QString capture;
    auto player = makePlayer(&capture);
    QVERIFY(player);
    player->setFileName(file);
    QCOMPARE(player->fileName(), file);
    QCOMPARE(player->duration(), double(frameCount(reference)) / rate);
    QVERIFY(std::abs(player->duration() - double(m_sourceFrames) / 44100) < 0.001);
}

void TestPlayer::seeksAreBitExact_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("CBR") << m_cbr;
    QTest::newRow("VBR") << m_vbr;
}

void TestPlayer::seeksAreBitExact()
{
    QFETCH(QString, file);
    const Frames reference = straightDecode(file);
    const QList<qint64> targets { 123457, 1153, 200001 };
    QString capture;
    quint64 underruns = 0;
    {
        auto player = makePlayer(&capture);
        QVERIFY(player);
        player->setFileName(file);
        player->pause();
        for (const qint64 target : targets) {
            player->setCurrentPosition(double(target) / 44100);
            player->play();
            const double until = double(target + 4000) / 44100;
            QVERIFY(waitFor([&player, until] { return player->currentPosition() > until; }));
            player->pause();
        }
        underruns = player->underruns();
    }
    const Frames captured = readCapture(capture);
    qint64 from = 0;
    for (const qint64 target : targets) {
        // The first frames after a start carry the fade-in ramp; the rest is the song itself.
        const qint64 at = find(captured, reference, target + FadeFrames, 2000, from);
        QVERIFY2(
            at >= 0,
            qPrintable(
                QStringLiteral("seek to %1 not found (%2 underruns)").arg(target).arg(underruns)));
        from = at;
    }
}

void TestPlayer::pauseHoldsTheExactFrame()
{
    const Frames reference = straightDecode(m_cbr);
    QString capture;
    qint64 held = 0;
    {
        auto player = makePlayer(&capture);
        QVERIFY(player);
        player->setFileName(m_cbr);
        player->setCurrentPosition(1.0);
        QVERIFY(waitFor([&player] { return player->currentPosition() > 1.2; }));
        player->pause();
        held = std::llround(player->currentPosition() * 44100);
        QCOMPARE(double(held) / 44100, player->currentPosition());
        runFor(100);
        player->play();
        QVERIFY(waitFor([&player] { return player->currentPosition() > 1.5; }));
    }
    const Frames captured = readCapture(capture);
    // Sound fades out over the frames just after the held one, without consuming them ...
    Frames fadeOut;
    Frames fadeIn;
    for (qint64 k = 0; k < FadeFrames; ++k) {
        for (int channel = 0; channel < 2; ++channel) {
            const float sample = reference[(held + k) * 2 + channel];
            fadeOut.push_back(sample * rampGain(FadeFrames - 1 - k));
            fadeIn.push_back(sample * rampGain(k));
        }
    }
    const qint64 out = find(captured, fadeOut, 0, FadeFrames);
    QVERIFY(out > 0);
    QVERIFY(std::equal(reference.begin() + (held - 1000) * 2, reference.begin() + held * 2,
                       captured.begin() + (out - 1000) * 2));
    QVERIFY(silent(captured, out + FadeFrames));
    // ... and play() fades in from that very frame.
    const qint64 in = find(captured, fadeIn, 0, FadeFrames, out + FadeFrames);
    QVERIFY(in > out + FadeFrames);
    QVERIFY(silent(captured, in - 1));
    QCOMPARE(find(captured, reference, held + FadeFrames, 2000, in), in + FadeFrames);
}

void TestPlayer::selectionChangeWhilePlayingGoesOn_data()
{
    QTest::addColumn<bool>("changeStart");
    QTest::newRow("selection start") << true;
    QTest::newRow("selection end") << false;
}

void TestPlayer::selectionChangeWhilePlayingGoesOn()
{
    QFETCH(bool, changeStart);
    const Frames reference = straightDecode(m_cbr);
    QString capture;
    {
        auto player = makePlayer(&capture);
        QVERIFY(player);
        player->setFileName(m_cbr);
        player->setCurrentPosition(1.0);
        QVERIFY(waitFor([&player] { return player->currentPosition() > 1.3; }));
        if (changeStart)
            player->setSelectionStart(0.5);
        else
            player->setSelectionEnd(5.0);
        QCOMPARE(player->playState(), 2);
        QVERIFY(player->currentPosition() > 1.3);
        QVERIFY(waitFor([&player] { return player->currentPosition() > 1.6; }));
    }
    const Frames captured = readCapture(capture);
    // The song plays on to some frame, dips over 2 x 3 ms there, and goes on: nothing repeated,
    // nothing left out.
    const qint64 from = 48510; // 1.1 s
    const qint64 at = find(captured, reference, from, 1000);
    QVERIFY(at > 0);
    qint64 i = 0;
    while (captured[(at + i) * 2] == reference[(from + i) * 2]
           && captured[(at + i) * 2 + 1] == reference[(from + i) * 2 + 1])
        ++i;
    const qint64 junction = from + i;
    QVERIFY(junction > 1.3 * 44100);
    for (qint64 k = 0; k < 2 * FadeFrames; ++k) {
        const float gain = k < FadeFrames ? rampGain(FadeFrames - 1 - k) : rampGain(k - FadeFrames);
        QCOMPARE(captured[(at + i + k) * 2], reference[(junction + k) * 2] * gain);
    }
    QCOMPARE(find(captured, reference, junction + 2 * FadeFrames, 2000, at),
             at + i + 2 * FadeFrames);
}

void TestPlayer::streamChangesLeaveNoHole_data()
{
    QTest::addColumn<int>("change");
    QTest::newRow("jump") << 0;
    QTest::newRow("half speed on and off") << 1;
    QTest::newRow("selection start") << 2;
    QTest::newRow("selection end") << 3;
    QTest::newRow("same song again") << 4;
}

// The callback switches to a new stream only once the decoder has its start: switching earlier
// would play the first block and fall silent until the decoder woke up.
void TestPlayer::streamChangesLeaveNoHole()
{
    QFETCH(int, change);
    QString capture;
    {
        auto player = makePlayer(&capture);
        QVERIFY(player);
        player->setFileName(m_cbr);
        QVERIFY(waitFor([&player] { return player->currentPosition() > 0.1; }));
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pause(5, 40);
        for (int i = 0; i < 20; ++i) {
            switch (change) {
            case 0:
                player->setCurrentPosition(0.5 + 0.2 * i);
                break;
            case 1:
                player->setRate(i % 2 ? 1.0 : 0.5);
                break;
            case 2:
                player->setSelectionStart(0.01 * i);
                break;
            case 3:
                player->setSelectionEnd(5.9 - 0.01 * i);
                break;
            default:
                player->setFileName(m_cbr);
                break;
            }
            QVERIFY2(player->waitForStream(0), qPrintable(QStringLiteral("change %1").arg(i)));
            QCOMPARE(player->playState(), 2);
            runFor(pause(random));
        }
    }
    const Frames captured = readCapture(capture);
    qint64 i = 0;
    while (i < frameCount(captured) && silent(captured, i))
        ++i;
    qint64 run = 0;
    for (; i < frameCount(captured); ++i) {
        run = silent(captured, i) ? run + 1 : 0;
        QVERIFY2(run < 32, qPrintable(QStringLiteral("silence at frame %1").arg(i)));
    }
}

void TestPlayer::burstTrainIsExact_data()
{
    QTest::addColumn<bool>("throughDeck");
    QTest::newRow("player") << false;
    QTest::newRow("deck: M1 at 1 s, P1 with repeats 3 and 500 ms") << true;
}

void TestPlayer::burstTrainIsExact()
{
    QFETCH(bool, throughDeck);
    const Frames reference = straightDecode(m_cbr);
    const qint64 start = 44100;
    const qint64 burst = 22050;
    QString capture;
    {
        auto player = makePlayer(&capture);
        QVERIFY(player);
        if (throughDeck) {
            SteadyClock clock;
            FakeMessages messages;
            FakeLauncher launcher;
            FakeFolder folder;
            TestWindows windows(folder, messages);
            DeckController deck(*player, clock, messages, launcher, windows);
            windows.attach(deck);
            deck.Form_Load();
            deck.F.tag = m_cbr;
            deck.fload();
            deck.R_Click(); // paused
            runFor(50);
            deck.M111.toolTip = QStringLiteral("1");
            deck.P111.tag = QStringLiteral("3");
            deck.P111_Click(); // holds this thread for the three bursts
            QCOMPARE(int(deck.burstCount1), 3);
        } else {
            player->setFileName(m_cbr);
            player->pause();
            runFor(50);
            player->playBursts(1.0, 0.5, 3);
            QCOMPARE(player->playState(), 2);
        }
        QVERIFY(waitFor([&player] { return player->playState() == 1; }));
        QCOMPARE(player->currentPosition(), 1.5);
        runFor(100);
        QCOMPARE(player->currentPosition(), 1.5);
    }
    Frames expected;
    for (qint64 i = 0; i < burst; ++i) {
        const float gain = burstGain(i, burst);
        expected.push_back(reference[(start + i) * 2] * gain);
        expected.push_back(reference[(start + i) * 2 + 1] * gain);
    }
    const Frames captured = readCapture(capture);
    const qint64 first = find(captured, expected, 0, burst);
    QVERIFY(first > 0);
    QVERIFY(silent(captured, first - 1));
    for (int k = 1; k < 3; ++k)
        QCOMPARE(find(captured, expected, 0, burst, first + k * burst), first + k * burst);
    const qint64 after = first + 3 * burst;
    QVERIFY(frameCount(captured) > after + 2000);
    for (qint64 i = after; i < after + 2000; ++i)
        QVERIFY(silent(captured, i));
}

void TestPlayer::burstTrainEndsPaused_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("heard");
    QTest::addColumn<int>("count");
    QTest::addColumn<double>("pausedAt");
    const double end = double(m_sourceFrames) / 44100;
    // Heard time: at half speed 0.2 s of output covers 0.1 s of the song.
    QTest::newRow("half speed") << 0.5 << 2.0 << 0.2 << 2 << 2.1;
    QTest::newRow("past the song's end") << 1.0 << end - 0.1 << 0.3 << 2 << end;
    QTest::newRow("count 0 plays one") << 1.0 << 1.0 << 0.1 << 0 << 1.1;
    QTest::newRow("count -3 plays one") << 1.0 << 1.0 << 0.1 << -3 << 1.1;
}

void TestPlayer::burstTrainEndsPaused()
{
    QFETCH(double, rate);
    QFETCH(double, start);
    QFETCH(double, heard);
    QFETCH(int, count);
    QFETCH(double, pausedAt);
    QString capture;
    auto player = makePlayer(&capture);
    QVERIFY(player);
    player->setFileName(m_cbr);
    player->setRate(rate);
    player->playBursts(start, heard, count);
    QCOMPARE(player->playState(), 2);
    QCOMPARE(player->currentPosition(), start);
    QVERIFY(waitFor([&player] { return player->playState() == 1; }));
    QCOMPARE(player->currentPosition(), pausedAt);
    player->play(); // goes on from where the train stands
    QVERIFY(waitFor([&] { return player->currentPosition() != pausedAt; }));
    if (player->playState() == 2)
        QVERIFY(player->currentPosition() > pausedAt);
}

void TestPlayer::selectionStopsAtItsEnd()
{
    const Frames reference = straightDecode(m_cbr);
    QString capture;
    {
        auto player = makePlayer(&capture);
        QVERIFY(player);
        player->setFileName(m_cbr);
        player->stop();
        runFor(60); // silence between the opening's sound and the stretch
        QCOMPARE(player->playState(), 0);
        QCOMPARE(player->currentPosition(), 0.0);
        player->setSelectionStart(1.0);
        player->setSelectionEnd(1.5);
        QCOMPARE(player->currentPosition(), 1.0);
        player->play();
        QVERIFY(waitUntilStopped(*player, 3000));
        QCOMPARE(player->currentPosition(), 1.0);
        runFor(50);
        QCOMPARE(player->underruns(), quint64(0));
    }
    const Frames captured = readCapture(capture);
    const qint64 body = 22050 - 2 * FadeFrames;
    const qint64 at = find(captured, reference, 44100 + FadeFrames, body);
    QVERIFY(at > FadeFrames);
    const qint64 begin = at - FadeFrames;
    QVERIFY(silent(captured, begin - 1));
    QVERIFY(!silent(captured, begin + 22050 - 1));
    for (qint64 i = begin + 22050; i < begin + 22050 + 1000; ++i)
        QVERIFY(silent(captured, i));
}

void TestPlayer::stretchLastsItsHeardTime_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("end");
    QTest::addColumn<bool>("mono");
    // Every row plays a stretch from 1.0 s that lasts 0.5 s of output: 22,050 frames at 44.1 kHz.
    QTest::newRow("half speed") << m_cbr << 0.5 << 1.25 << false;
    QTest::newRow("48 kHz file") << m_stereo48 << 1.0 << 1.5 << false;
    QTest::newRow("MPEG-2 mono 22.05 kHz") << m_mono22 << 1.0 << 1.5 << true;
    QTest::newRow("MPEG-2.5 mono 8 kHz") << m_mono8 << 1.0 << 1.5 << true;
}

void TestPlayer::stretchLastsItsHeardTime()
{
    QFETCH(QString, file);
    QFETCH(double, rate);
    QFETCH(double, end);
    QFETCH(bool, mono);
    QString capture;
    {
        auto player = makePlayer(&capture);
        QVERIFY(player);
        player->setFileName(file);
        player->stop();
        runFor(60); // silence between the opening's sound and the stretch
        player->setRate(rate);
        player->setSelectionStart(1.0);
        player->setSelectionEnd(end);
        player->play();
        QVERIFY(waitUntilStopped(*player, 3000));
        QCOMPARE(player->currentPosition(), 1.0);
        runFor(50);
    }
    const Frames captured = readCapture(capture);
    const auto [first, length] = lastSound(captured);
    QVERIFY(first > 0);
    QCOMPARE(length, qint64(22050));
    if (mono) // both channels carry the one channel
        QCOMPARE(captured[(first + 500) * 2], captured[(first + 500) * 2 + 1]);
}

void TestPlayer::refusedFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("openFirst");

    const QString empty = path("empty.mp3");
    QFile(empty).open(QIODevice::WriteOnly);
    const QString text = path("text.mp3");
    {
        QFile file(text);
        file.open(QIODevice::WriteOnly);
        file.write(QByteArray("This is not music at all.\n").repeated(200));
    }
    const QString noise = path("noise.mp3");
    {
        QFile file(noise);
        file.open(QIODevice::WriteOnly);
        std::mt19937 random(4711);
        QByteArray bytes(256 * 1024, Qt::Uninitialized);
        for (auto &b : bytes)
            b = char(random());
        file.write(bytes);
    }
    const QString folder = path("folder.mp3");
    QDir().mkpath(folder);
    const QString fifo = path("x.mp3");
    ::mkfifo(QFile::encodeName(fifo).constData(), 0644);
    const QString dangling = path("dangling.mp3");
    QFile::link(path("gone.mp3"), dangling);

    QTest::newRow("zero bytes") << empty << false;
    QTest::newRow("text") << text << true;
    QTest::newRow("random bytes") << noise << false;
    QTest::newRow("folder") << folder << true;
    QTest::newRow("FIFO") << fifo << false;
    QTest::newRow("dangling link") << dangling << true;
    QTest::newRow("missing") << path("missing.mp3") << false;
}

void TestPlayer::refusedFiles()
{
    QFETCH(QString, file);
    QFETCH(bool, openFirst);
    QString capture;
    auto player = makePlayer(&capture);
    QVERIFY(player);
    if (openFirst) {
        player->setFileName(m_cbr);
        QCOMPARE(player->playState(), 2);
    }
    QVERIFY_THROWS_EXCEPTION(PlayerFailure, player->setFileName(file));
    QCOMPARE(player->fileName(), QString());
    QCOMPARE(player->duration(), 0.0);
    QCOMPARE(player->playState(), 0);
    QCOMPARE(player->currentPosition(), 0.0);
    player->play();
    player->setCurrentPosition(1.0);
    QCOMPARE(player->playState(), 0);
    QCOMPARE(player->currentPosition(), 0.0);
}

void TestPlayer::emptyNameClosesTheSong()
{
    QString capture;
    auto player = makePlayer(&capture);
    QVERIFY(player);
    player->setFileName(m_cbr);
    player->setFileName(QString()); // no failure: the deck's Play relies on reading "" back
    QCOMPARE(player->fileName(), QString());
    QCOMPARE(player->duration(), 0.0);
    QCOMPARE(player->playState(), 0);
    player->setFileName(m_cbr);
    QCOMPARE(player->fileName(), m_cbr);
    QCOMPARE(player->playState(), 2);
}

void TestPlayer::truncatedFilePlaysWhatItHas()
{
    const QString truncated = path("truncated.mp3");
    {
        QFile in(m_cbr);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray bytes = in.readAll();
        QFile out(truncated);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(bytes.left(bytes.size() / 2 + 77)); // cut inside a frame
    }
    const Frames reference = straightDecode(truncated);
    QVERIFY(frameCount(reference) > 44100);
    QString capture;
    {
        auto player = makePlayer(&capture);
        QVERIFY(player);
        player->setFileName(truncated);
        QCOMPARE(player->duration(), double(frameCount(reference)) / 44100);
        QVERIFY(player->duration() < 4.0);
        player->setCurrentPosition(player->duration() - 0.1);
        QVERIFY(waitUntilStopped(*player, 2000));
        QCOMPARE(player->currentPosition(), 0.0);
    }
    const Frames captured = readCapture(capture);
    QVERIFY(find(captured, reference, frameCount(reference) - 3000, 1000) >= 0);
}

void TestPlayer::getsFollowPutsAtOnce()
{
    QString capture;
    auto player = makePlayer(&capture);
    QVERIFY(player);
    QCOMPARE(player->currentPosition(), 0.0);
    QCOMPARE(player->duration(), 0.0);
    QCOMPARE(player->playState(), 0);
    player->setFileName(m_cbr);
    QCOMPARE(player->playState(), 2);
    player->setCurrentPosition(2.5);
    QCOMPARE(player->currentPosition(), 2.5);
    player->pause();
    QCOMPARE(player->playState(), 1);
    const double held = player->currentPosition();
    runFor(100);
    QCOMPARE(player->currentPosition(), held);
    player->stop();
    QCOMPARE(player->playState(), 0);
    QCOMPARE(player->currentPosition(), 0.0);
    player->setCurrentPosition(3.25);
    QCOMPARE(player->currentPosition(), 3.25);
    player->play();
    QVERIFY(waitFor([&player] { return player->currentPosition() > 3.25; }));
    player->setSelectionStart(-1);
    player->setSelectionEnd(-1);
    QCOMPARE(player->playState(), 2);
}

void TestPlayer::reopeningRestarts()
{
    QString capture;
    auto player = makePlayer(&capture);
    QVERIFY(player);
    player->setFileName(m_cbr);
    player->setCurrentPosition(4.0);
    player->stop();
    player->setSelectionStart(2.0);
    player->setSelectionEnd(2.5);
    player->setFileName(m_cbr);
    QCOMPARE(player->playState(), 2);
    QCOMPARE(player->currentPosition(), 0.0);
    QVERIFY(waitFor([&player] { return player->currentPosition() > 0.1; }));
    QCOMPARE(player->playState(), 2);
    player->stop(); // the selection is the whole song again
    QCOMPARE(player->currentPosition(), 0.0);
}

void TestPlayer::commandFloodFromAnotherThread()
{
    QString capture;
    auto player = makePlayer(&capture);
    QVERIFY(player);
    player->setFileName(m_cbr);
    // The player is used from one thread at a time, which need not be the main thread.
    std::thread driver([&player] {
        std::mt19937 random(99);
        std::uniform_real_distribution<double> where(-0.5, 6.5);
        for (int i = 0; i < 2000; ++i) {
            switch (random() % 9) {
            case 0:
                player->play();
                break;
            case 1:
                player->pause();
                break;
            case 2:
                player->stop();
                break;
            case 3:
                player->setCurrentPosition(where(random));
                break;
            case 4:
                player->setSelectionStart(random() % 3 ? where(random) : -1);
                break;
            case 5:
                player->setSelectionEnd(random() % 3 ? where(random) : -1);
                break;
            case 6:
                player->setRate(random() % 2 ? 0.5 : 1.0);
                break;
            case 7:
                player->playBursts(where(random), 0.01 * (random() % 20), int(random() % 4));
                break;
            default:
                (void)player->currentPosition();
                (void)player->playState();
                break;
            }
            if (i % 64 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    driver.join();
    player->setSelectionStart(-1);
    player->setSelectionEnd(-1);
    player->stop();
    QCOMPARE(player->playState(), 0);
    runFor(50);
    QCOMPARE(player->playState(), 0);
    QCOMPARE(player->currentPosition(), 0.0);
    QCOMPARE(player->fileName(), m_cbr);
}

void TestPlayer::lostOutputHoldsThePlace_data()
{
    QTest::addColumn<int>("action");
    QTest::newRow("plays on") << 0;
    QTest::newRow("paused while lost") << 1;
    QTest::newRow("jump while lost") << 2;
    QTest::newRow("burst train while lost") << 3;
}

// The sound server goes away under a playing song and comes back: the song holds its place,
// whatever is done meanwhile takes effect, and sound goes on from the exact frame it stopped at.
void TestPlayer::lostOutputHoldsThePlace()
{
    QFETCH(int, action);
    const Frames reference = straightDecode(m_cbr);
    const PinFrames pin("256"); // the pumps' own timing must not step the buffer up
    auto device = std::make_shared<FakeOutput::Device>();
    SdlPlayer player(std::make_unique<FakeOutput>(device));
    QVERIFY(player.soundDeviceEnabled());
    player.setFileName(m_cbr);
    Frames heard;
    pumpFor(*device, heard, 40);
    device->cut();
    QVERIFY(waitFor([&] {
        device->pump(heard);
        return !device->isOpen();
    }));
    const qint64 stop = frameAfter(reference, heard, frameCount(heard));
    QCOMPARE(std::llround(player.currentPosition() * 44100), stop);
    qint64 resume = stop;
    int state = 2;
    if (action == 1) {
        player.pause();
        state = 1;
    } else if (action == 2) {
        player.setCurrentPosition(3.0);
        resume = 3 * 44100;
    } else if (action == 3) {
        player.playBursts(2.0, 0.2, 2); // runs its 400 ms unheard, then stands paused
        resume = std::llround(2.2 * 44100);
        state = 1;
        QVERIFY(waitFor([&player] { return player.playState() == 1; }, 2000));
    }
    runFor(300); // more than one try to open the device again
    QCOMPARE(player.playState(), state);
    QCOMPARE(std::llround(player.currentPosition() * 44100), resume);
    QVERIFY(player.soundDeviceEnabled()); // FILE still opens the playlist
    device->restore();
    QVERIFY(waitFor([&] { return device->isOpen(); }, 1000));
    const qint64 back = frameCount(heard);
    pumpFor(*device, heard, 20);
    if (state == 1) {
        for (qint64 i = back; i < frameCount(heard); ++i)
            QVERIFY2(silent(heard, i), "sound while paused");
        player.play();
        pumpFor(*device, heard, 20);
    }
    expectBackAt(heard, back, reference, resume);
}

void TestPlayer::dropoutsStepTheBufferUp_data()
{
    QTest::addColumn<QByteArray>("pin");
    QTest::addColumn<QList<int>>("sizes");
    QTest::newRow("steps up") << QByteArray() << QList<int> { 256, 512 };
    QTest::newRow("pinned") << QByteArray("256") << QList<int> { 256 };
    QTest::newRow("not a number: steps up") << QByteArray("25x") << QList<int> { 256, 512 };
}

// A device that keeps running dry is opened again with a larger buffer, and the song goes on from
// the exact frame where it faded out.
void TestPlayer::dropoutsStepTheBufferUp()
{
    QFETCH(QByteArray, pin);
    QFETCH(QList<int>, sizes);
    const Frames reference = straightDecode(m_cbr);
    const PinFrames pinned(pin);
    auto device = std::make_shared<FakeOutput::Device>();
    SdlPlayer player(std::make_unique<FakeOutput>(device));
    player.setFileName(m_cbr);
    Frames heard;
    pumpFor(*device, heard, 30);
    for (int late = 0; late < 2; ++late) { // a starved device thread, twice
        runFor(40);
        device->pump(heard);
    }
    pumpFor(*device, heard, 300);
    const std::vector<int> opened = device->sizes();
    QCOMPARE(QList<int>(opened.begin(), opened.end()), sizes);
    if (sizes.size() == 1)
        return;
    qint64 out = 0; // the first silence after the first sound: where the old device faded out
    while (silent(heard, out))
        ++out;
    while (!silent(heard, out))
        ++out;
    expectBackAt(heard, out, reference, frameAfter(reference, heard, out - FadeFrames));
}

void TestPlayer::bufferSteps_data()
{
    QTest::addColumn<int>("pinned");
    QTest::addColumn<QList<qint64>>("dropouts"); // ms
    QTest::addColumn<int>("frames");
    QTest::newRow("one") << 0 << QList<qint64> { 0 } << 256;
    QTest::newRow("two within 10 s") << 0 << QList<qint64> { 5000, 15000 } << 512;
    QTest::newRow("two 10.001 s apart") << 0 << QList<qint64> { 5000, 15001 } << 256;
    QTest::newRow("a step starts afresh") << 0 << QList<qint64> { 0, 1, 2 } << 512;
    QTest::newRow("1024 at most") << 0 << QList<qint64> { 0, 1, 2, 3, 4, 5, 6, 7 } << 1024;
    QTest::newRow("pinned") << 256 << QList<qint64> { 0, 1, 2, 3 } << 256;
}

void TestPlayer::bufferSteps()
{
    QFETCH(int, pinned);
    QFETCH(QList<qint64>, dropouts);
    QFETCH(int, frames);
    BufferSteps steps(pinned);
    for (const qint64 ms : dropouts)
        steps.dropout(ms);
    QCOMPARE(steps.frames(), frames);
}

QTEST_GUILESS_MAIN(TestPlayer)
#include "tst_player.moc"
