#include "fakes/fakeoutput.h"
#include "fakes/songfiles.h"
#include "platform/filenames.h"
#include "player/commandclock.h"
#include "player/deckplayer.h"
#include "player/graphcycle.h"
#include "player/graphdrops.h"
#include "player/pipewireoutput.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <mpg123.h>

#include <functional>
#include <random>
#include <thread>

using namespace pocko;

using Frames = std::vector<float>; // interleaved stereo

// The real back end playing into SDL's disk driver (1024-frame buffers, CMakeLists.txt): every
// frame the callback produced is read back from the file and compared with a straight decode.
// A lost or starved device is a FakeOutput that the test pumps by hand.
class TestPlayer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_cbr; // 6 s at 44.1 kHz, 128 kbit/s
    QString m_vbr;
    QString m_mono8; // MPEG-2.5, resampled also at rate 1 (VBR: else lame writes no gapless tag)
    QString m_truncated; // the CBR song cut inside a frame
    QString m_capture;
    int m_captures = 0;

    static qint64 frames(const Frames &f) { return qint64(f.size() / 2); }
    static bool silent(const Frames &f, qint64 i) { return f[i * 2] == 0 && f[i * 2 + 1] == 0; }
    static void runFor(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    // What libmpg123 makes of the file, read straight through: the reference for all comparisons.
    static Frames straightDecode(const QString &path, long *rate = nullptr)
    {
        mpg123_init();
        mpg123_handle *handle = mpg123_new(nullptr, nullptr);
        mpg123_param(handle, MPG123_FLAGS,
                     MPG123_GAPLESS | MPG123_QUIET | MPG123_FORCE_STEREO | MPG123_FORCE_FLOAT, 0);
        mpg123_open(handle, encodeFileName(path).constData());
        mpg123_getformat(handle, rate, nullptr, nullptr);
        mpg123_scan(handle); // as the player does: on a truncated file it ends the gapless trim
        Frames song;
        std::vector<float> buffer(1 << 14);
        for (int result = MPG123_OK; result == MPG123_OK || result == MPG123_NEW_FORMAT;) {
            size_t bytes = 0;
            result = mpg123_read(handle, buffer.data(), buffer.size() * sizeof(float), &bytes);
            song.insert(song.end(), buffer.begin(), buffer.begin() + bytes / sizeof(float));
        }
        mpg123_delete(handle);
        return song;
    }
    // `length` frames of the song from `from` on, each scaled by gain(k); silence past its end.
    static Frames shaped(const Frames &song, qint64 from, qint64 length,
                         const std::function<float(qint64)> &gain)
    {
        Frames out(std::size_t(length) * 2, 0.0f);
        for (qint64 k = 0; k < length && from + k < frames(song); ++k) {
            out[k * 2] = song[(from + k) * 2] * gain(k);
            out[k * 2 + 1] = song[(from + k) * 2 + 1] * gain(k);
        }
        return out;
    }
    // First frame of `haystack` from `from` on where `length` frames equal needle[at...], or -1.
    static qint64 find(const Frames &haystack, const Frames &needle, qint64 at, qint64 length,
                       qint64 from = 0)
    {
        for (qint64 k = from; k <= frames(haystack) - length; ++k) {
            if (haystack[k * 2] == needle[at * 2] && haystack[k * 2 + 1] == needle[at * 2 + 1]
                && std::equal(needle.begin() + at * 2, needle.begin() + (at + length) * 2,
                              haystack.begin() + k * 2))
                return k;
        }
        return -1;
    }
    // Sound must come back in `heard` after `from` with a fade-in from song frame `frame` and go
    // on exactly from there, with only silence before it.
    static void expectBackAt(const Frames &heard, qint64 from, const Frames &song, qint64 frame)
    {
        const qint64 in
            = find(heard, shaped(song, frame, FadeFrames, rampGain), 0, FadeFrames, from);
        QVERIFY2(in >= from, "no fade-in from the frame where the sound stopped");
        for (qint64 i = from; i < in; ++i)
            QVERIFY2(silent(heard, i), "sound before the fade-in");
        QCOMPARE(find(heard, song, frame + FadeFrames, 2000, in), in + FadeFrames);
    }
    // Waits for a condition, not for a time: a loaded machine only makes it slower.
    static bool waitFor(const std::function<bool()> &condition)
    {
        for (int waited = 0; waited < 20000; waited += 5, runFor(5)) {
            if (condition())
                return true;
        }
        return false;
    }
    // A fresh player writing to a fresh capture file.
    std::unique_ptr<DeckPlayer> makePlayer()
    {
        m_capture = m_dir.filePath(QString("capture%1.raw").arg(++m_captures));
        qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(m_capture));
        auto player = std::make_unique<DeckPlayer>();
        return player->soundDeviceEnabled() ? std::move(player) : nullptr;
    }
    // Waits until the device has written three more buffers: a command given before has been
    // taken, and one given after is taken a buffer later at the earliest.
    bool settle() const
    {
        const qint64 from = QFileInfo(m_capture).size();
        return waitFor([&] { return QFileInfo(m_capture).size() >= from + 3 * 1024 * 8; });
    }
    Frames captured() const
    {
        const QByteArray bytes = readBytes(QFile::encodeName(m_capture));
        const auto *f = reinterpret_cast<const float *>(bytes.constData());
        return Frames(f, f + bytes.size() / qsizetype(sizeof(float)));
    }

private slots:
    void initTestCase();
    void changesWhilePlaying_data();
    void changesWhilePlaying();
    void padHitWhilePlaying_data();
    void padHitWhilePlaying();
    void heardAtItsFrame_data();
    void heardAtItsFrame();
    void quickHitsIntoALongQueue();
    void lastTheirHeardTime_data();
    void lastTheirHeardTime();
    void deviceComesBack_data();
    void deviceComesBack();
    void bufferSteps_data();
    void bufferSteps();
    void deviceBuffer_data();
    void deviceBuffer();
    void graphTakes_data();
    void graphTakes();
    void graphDrops_data();
    void graphDrops();
    void nativeCycles_data();
    void nativeCycles();
    void nativeUnheard_data();
    void nativeUnheard();
    void rewriteMargin_data();
    void rewriteMargin();
    void commandClock_data();
    void commandClock();
    void renderHistory_data();
    void renderHistory();
    void soundCheck_data();
    void soundCheck();
};

void TestPlayer::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString wav = m_dir.filePath("source.wav");
    QVERIFY(makeWav(wav, 6 * 44100 + 123));
    const auto encode = [&](QString *mp3, const char *name, const QStringList &options) {
        *mp3 = m_dir.filePath(name);
        QVERIFY2(makeMp3(wav, *mp3, options), name);
    };
    encode(&m_cbr, "cbr.mp3", { "-b", "128" });
    encode(&m_vbr, "vbr.mp3", { "-V", "2" });
    encode(&m_mono8, "mono8.mp3", { "--resample", "8", "-m", "m", "-V", "2" });
    const QByteArray cbr = readBytes(QFile::encodeName(m_cbr));
    m_truncated = m_dir.filePath("truncated.mp3");
    QVERIFY(writeBytes(QFile::encodeName(m_truncated), cbr.left(cbr.size() / 2 + 77)));
}

void TestPlayer::changesWhilePlaying_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("change");
    QTest::addColumn<qint64>("target"); // the song frame it goes on at; -1: where it stopped
    QTest::newRow("pause, then play") << m_cbr << 0 << qint64(-1);
    QTest::newRow("selection start") << m_cbr << 1 << qint64(-1);
    QTest::newRow("selection end") << m_cbr << 2 << qint64(-1);
    QTest::newRow("jump") << m_cbr << 3 << qint64(200001);
    QTest::newRow("VBR jump") << m_vbr << 3 << qint64(123457);
    QTest::newRow("VBR jump back") << m_vbr << 3 << qint64(1153);
    QTest::newRow("same song again") << m_cbr << 4 << qint64(0);
    QTest::newRow("half speed on and off") << m_cbr << 5 << qint64(-1);
}

// A change while the song plays from 1 s on: it plays on to some frame, fades out over the frames
// after it, and fades in from the exact frame it goes on at, with no gap but after a pause:
// nothing repeated, nothing left out. Nineteen more changes at random times leave no hole
// either: the callback takes a new stream only once the decoder has its start.
void TestPlayer::changesWhilePlaying()
{
    QFETCH(QString, file);
    QFETCH(int, change);
    QFETCH(qint64, target);
    const Frames song = straightDecode(file);
    qint64 held = -1;
    {
        auto player = makePlayer();
        QVERIFY(player);
        player->setFileName(file);
        player->setCurrentPosition(1.0);
        QVERIFY(waitFor([&] { return player->currentPosition() > 1.3; }));
        const std::function<void(int)> changes[] = {
            [&](int) {
                player->pause();
                held = std::llround(player->currentPosition() * 44100);
                QVERIFY(settle());
                QCOMPARE(player->currentPosition(), double(held) / 44100);
                player->play();
            },
            [&](int i) { player->setSelectionStart(0.5 - 0.01 * i); },
            [&](int i) { player->setSelectionEnd(5.0 - 0.01 * i); },
            [&](int i) { player->setCurrentPosition(double(target) / 44100 + 0.1 * (i % 5)); },
            [&](int) { player->setFileName(file); },
            [&](int i) { player->setRate(i % 2 ? 1.0 : 0.5); },
        };
        std::mt19937 random(7);
        for (int i = 0; i < (change == 0 ? 1 : 20); ++i) {
            changes[change](i);
            QVERIFY2(player->waitForStream(0), qPrintable(QString("change %1").arg(i)));
            QCOMPARE(player->playState(), 2);
            const double until = std::max(double(target) / 44100, 1.4) + 0.1;
            QVERIFY(i > 0 || waitFor([&] { return player->currentPosition() > until; }));
            runFor(5 + int(random() % 36));
        }
        // What the deck sets it reads back at once, without waiting for the audio thread.
        player->setFileName(file); // the same song again: from 0, the whole song selected
        player->stop();
        QCOMPARE(player->currentPosition(), 0.0);
        player->setCurrentPosition(player->duration()); // nothing to play from there ...
        QVERIFY(player->waitForStream(0)); // ... and that is ready at once
        player->setFileName(QString()); // closes it: the deck's Play relies on reading "" back
        QCOMPARE(player->fileName(), QString());
    }
    const Frames heard = captured();
    const qint64 from = 48510; // 1.1 s
    const qint64 at = find(heard, song, from, 1000) - from; // heard[at + k] is song[k]
    QVERIFY(at > -from);
    qint64 stop = from;
    while (heard[(at + stop) * 2] == song[stop * 2]
           && heard[(at + stop) * 2 + 1] == song[stop * 2 + 1])
        ++stop;
    QVERIFY(stop > 1.3 * 44100);
    QVERIFY(held < 0 || stop == held);
    const Frames fadeOut
        = shaped(song, stop, FadeFrames, [](qint64 k) { return rampGain(FadeFrames - 1 - k); });
    QCOMPARE(find(heard, fadeOut, 0, FadeFrames, at + stop), at + stop);
    qint64 end = frames(heard); // before the stop at the end
    while (silent(heard, end - 1))
        --end;
    for (qint64 i = at + stop, run = 0; held < 0 && i < end; ++i) {
        run = silent(heard, i) ? run + 1 : 0;
        QVERIFY2(run < 32, qPrintable(QString("silence at frame %1").arg(i)));
    }
    // A pause holds the frame it faded out at; a new selection goes on after the fade-out.
    const qint64 back = target >= 0 ? target : change == 0 ? stop : stop + FadeFrames;
    if (change < 5) // half speed has no frames to compare
        expectBackAt(heard, at + stop + FadeFrames, song, back);
}

void TestPlayer::padHitWhilePlaying_data()
{
    QTest::addColumn<bool>("burst"); // a burst from 3 s, or a pause
    QTest::newRow("burst") << true;
    QTest::newRow("pause") << false;
}

// A timed change (a pad's hit) lands at its own frame, wherever that falls in the device's
// buffers: what follows starts there, under the whole fade-out of what played before.
void TestPlayer::padHitWhilePlaying()
{
    QFETCH(bool, burst);
    const Frames song = straightDecode(m_cbr);
    const qint64 burstFrom = 3 * 44100, burstFrames = 22050;
    {
        auto player = makePlayer();
        QVERIFY(player);
        player->setFileName(m_cbr);
        player->setCurrentPosition(1.0);
        QVERIFY(waitFor([&] { return player->currentPosition() > 1.3; }));
        player->setStartTime(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count());
        burst ? player->playBursts(3.0, 0.5, 1) : player->pause();
        player->setStartTime(0);
        QVERIFY(waitFor([&] { return player->playState() == 1; }));
        QVERIFY(settle());
    }
    const Frames heard = captured();
    const qint64 from = 48510;
    const qint64 at = find(heard, song, from, 1000) - from;
    QVERIFY(at > -from);
    qint64 stop = from;
    while (heard[(at + stop) * 2] == song[stop * 2])
        ++stop;
    const Frames fade
        = shaped(song, stop, FadeFrames, [](qint64 k) { return rampGain(FadeFrames - 1 - k); });
    const qint64 length = burst ? burstFrames : FadeFrames + 2000; // then silence
    const Frames next = burst ? shaped(song, burstFrom, burstFrames,
                                       [=](qint64 k) { return burstGain(k, burstFrames); })
                              : Frames(std::size_t(length) * 2, 0.0f);
    QVERIFY(frames(heard) >= at + stop + length);
    for (qint64 k = 0; k < length * 2; ++k) {
        const float expected = (k < FadeFrames * 2 ? fade[std::size_t(k)] : 0.0f)
            + next[std::size_t(k)];
        QVERIFY2(std::abs(heard[std::size_t((at + stop) * 2 + k)] - expected) < 1e-6f,
                 qPrintable(QString("frame %1 after the hit").arg(k / 2)));
    }
}

void TestPlayer::heardAtItsFrame_data()
{
    QTest::addColumn<int>("change");
    QTest::newRow("pause, then play") << 0;
    QTest::newRow("burst") << 1;
    QTest::newRow("jump") << 2;
}

// Into a long queue rendered far ahead, a command is heard its device's margin after the frame
// being heard when it came, and the deck reports the frame being heard, not the one rendered.
void TestPlayer::heardAtItsFrame()
{
    QFETCH(int, change);
    const Frames song = straightDecode(m_cbr);
    auto output = std::make_unique<FakeOutput>();
    FakeOutput &device = *output;
    device.queue = 4410;
    device.margin = 221;
    DeckPlayer player(std::move(output));
    player.setFileName(m_cbr);
    player.setCurrentPosition(1.0);
    Frames heard;
    const auto pump = [&](int buffers) {
        for (int i = 0; i < buffers; ++i, runFor(1))
            device.pump(heard);
    };
    const auto position = [&] { return std::llround(player.currentPosition() * 44100); };
    pump(60);
    const qint64 at = find(heard, song, 50000, 1000) - 50000; // heard[at + k] is song[k]
    QVERIFY(at > -50000);
    const qint64 front = frames(heard);
    QCOMPARE(position(), front - at);
    const qint64 stop = front - at + device.margin;
    if (change == 0)
        player.pause();
    else if (change == 1)
        player.playBursts(3.0, 0.5, 1);
    else
        player.setCurrentPosition(4.0);
    QCOMPARE(position(), change == 0 ? stop : change == 1 ? 3 * 44100 : 4 * 44100);
    pump(120);
    QVERIFY(find(heard, song, front - at, stop - (front - at), front) == front);
    QVERIFY2(heard[(at + stop) * 2] != song[stop * 2], "the old stream goes on past the margin");
    const Frames fade
        = shaped(song, stop, FadeFrames, [](qint64 k) { return rampGain(FadeFrames - 1 - k); });
    QCOMPARE(find(heard, fade, 0, FadeFrames, at + stop), at + stop);
    const qint64 next = at + stop + FadeFrames;
    if (change == 0) {
        QCOMPARE(position(), stop);
        const qint64 resumed = frames(heard);
        player.play();
        pump(40);
        QVERIFY(silent(heard, resumed + device.margin - 1));
        QCOMPARE(find(heard, shaped(song, stop, FadeFrames, rampGain), 0, FadeFrames, next),
                 resumed + device.margin);
    } else if (change == 1) {
        const Frames burst = shaped(song, 3 * 44100, 22050,
                                    [](qint64 k) { return burstGain(k, 22050); });
        QCOMPARE(find(heard, burst, 0, 22050, next), next);
    } else {
        QCOMPARE(find(heard, shaped(song, 4 * 44100, FadeFrames, rampGain), 0, FadeFrames, next),
                 next);
    }
}

// Pad hits 12 ms apart into a long queue: each new stream comes with 279 ms decoded ahead, which
// the one after it throws away. None of that may stay in the ring, or it fills and the last
// burst is heard as silence.
void TestPlayer::quickHitsIntoALongQueue()
{
    const Frames song = straightDecode(m_cbr);
    auto output = std::make_unique<FakeOutput>();
    FakeOutput &device = *output;
    device.queue = 4410;
    device.margin = 221;
    DeckPlayer player(std::move(output));
    player.setFileName(m_cbr);
    Frames heard;
    const auto pump = [&](int buffers) {
        for (int i = 0; i < buffers; ++i, runFor(1))
            device.pump(heard);
    };
    pump(20);
    qint64 last = 0; // the front heard when the last hit came
    for (int hit = 0; hit < 40; ++hit) {
        last = frames(heard);
        player.playBursts(3.0, 0.5, 1);
        pump(2);
    }
    pump(120);
    QCOMPARE(player.underruns(), quint64(0));
    const Frames burst
        = shaped(song, 3 * 44100, 22050, [](qint64 k) { return burstGain(k, 22050); });
    QCOMPARE(find(heard, burst, 0, 22050, last), last + device.margin + FadeFrames);
}

void TestPlayer::lastTheirHeardTime_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("second"); // a stretch's end (-1: the song's), or a burst's time
    QTest::addColumn<int>("count"); // bursts; -1: a stretch
    QTest::addColumn<qint64>("sound"); // frames of sound heard; -1: to the song's end
    QTest::addColumn<double>("stands"); // where the player stands after it
    const double end = double(6 * 44100 + 123) / 44100;
    QTest::newRow("CBR") << m_cbr << 1.0 << 1.0 << 1.5 << -1 << qint64(22050) << 1.0;
    QTest::newRow("VBR to its end") << m_vbr << 1.0 << 5.5 << -1.0 << -1 << qint64(-1) << 5.5;
    QTest::newRow("truncated: plays what it has")
        << m_truncated << 1.0 << 2.5 << -1.0 << -1 << qint64(-1) << 2.5;
    // At half speed 0.25 s of the song lasts 0.5 s.
    QTest::newRow("half speed") << m_cbr << 0.5 << 1.0 << 1.25 << -1 << qint64(22050) << 1.0;
    QTest::newRow("MPEG-2.5 mono") << m_mono8 << 1.0 << 1.0 << 1.5 << -1 << qint64(22050) << 1.0;
    QTest::newRow("3 bursts") << m_cbr << 1.0 << 1.0 << 0.5 << 3 << qint64(66150) << 1.5;
    QTest::newRow("half speed bursts") << m_cbr << 0.5 << 2.0 << 0.2 << 2 << qint64(17640) << 2.1;
    QTest::newRow("bursts past the end: silence")
        << m_cbr << 1.0 << end - 0.1 << 0.3 << 2 << qint64(2 * 4410) << end;
    QTest::newRow("0 bursts play one") << m_cbr << 1.0 << 1.0 << 0.1 << 0 << qint64(4410) << 1.1;
}

// A stretch from a stop, or a burst train: it lasts its heard time to the frame, bursts back to
// back, and is the song itself between its ramps; then the player stands stopped at the
// stretch's start, or paused where the last burst ended.
void TestPlayer::lastTheirHeardTime()
{
    QFETCH(QString, file);
    QFETCH(double, rate);
    QFETCH(double, start);
    QFETCH(double, second);
    QFETCH(int, count);
    QFETCH(qint64, sound);
    QFETCH(double, stands);
    long fileRate = 0;
    const Frames song = straightDecode(file, &fileRate);
    const qint64 first = std::llround(start * double(fileRate));
    sound = sound < 0 ? frames(song) - first : sound;
    qint64 mark = 0; // the capture's frames before it
    {
        auto player = makePlayer();
        QVERIFY(player);
        player->setFileName(file);
        QCOMPARE(player->duration(), double(frames(song)) / double(fileRate)); // to the frame
        player->setRate(rate);
        player->stop();
        QVERIFY(settle()); // silence before
        mark = QFileInfo(m_capture).size() / 8;
        if (count < 0) {
            player->setSelectionStart(start);
            player->setSelectionEnd(second);
            player->play();
        } else {
            player->playBursts(start, second, count);
        }
        QCOMPARE(player->currentPosition(), start);
        QCOMPARE(player->playState(), 2);
        QVERIFY(waitFor([&] { return player->playState() != 2; }));
        QCOMPARE(player->playState(), count < 0 ? 0 : 1);
        QCOMPARE(player->currentPosition(), stands);
        QVERIFY(settle()); // silence after
    }
    const Frames heard = captured();
    qint64 length = 0;
    for (qint64 i = mark; i < frames(heard); ++i)
        length += silent(heard, i) ? 0 : 1;
    QCOMPARE(length, sound);
    if (fileRate != OutputRate || rate != 1.0)
        return;
    const qint64 piece = count < 0 ? sound : std::llround(second * OutputRate);
    const Frames expected
        = shaped(song, first, piece, [piece](qint64 k) { return burstGain(k, piece); });
    const qint64 exact = piece - (second < 0 ? FadeFrames : 0); // no ramp at the song's end
    const qint64 at = find(heard, expected, 0, exact, mark);
    QVERIFY(at > 0);
    for (int k = 1; k < count; ++k)
        QCOMPARE(find(heard, expected, 0, exact, at + k * piece), at + k * piece);
}

void TestPlayer::deviceComesBack_data()
{
    QTest::addColumn<int>("action");
    QTest::addColumn<QByteArray>("pin"); // POCKO_AUDIO_FRAMES
    QTest::addColumn<QList<int>>("opens"); // the device's buffer at its first two opens
    QTest::addColumn<int>("queue"); // a long queue of this many frames, or none
    const QByteArray pin("256"); // the pumps' own timing must not step the buffer up
    QTest::newRow("lost, plays on") << 0 << pin << QList<int> { 256, 256 } << 0;
    QTest::newRow("lost with a long queue: on from the frame heard")
        << 0 << pin << QList<int> { 256, 256 } << 4410;
    QTest::newRow("lost, paused meanwhile") << 1 << pin << QList<int> { 256, 256 } << 0;
    QTest::newRow("lost, jump meanwhile") << 2 << pin << QList<int> { 256, 256 } << 0;
    QTest::newRow("lost, burst train meanwhile") << 3 << pin << QList<int> { 256, 256 } << 0;
    QTest::newRow("runs dry: steps up") << 4 << QByteArray() << QList<int> { 256, 512 } << 0;
    QTest::newRow("runs dry, pinned") << 4 << pin << QList<int> { 256 } << 0;
    QTest::newRow("runs dry: grows while open") << 5 << QByteArray() << QList<int> { 256 } << 0;
    QTest::newRow("pin not a number: steps up")
        << 4 << QByteArray("25x") << QList<int> { 256, 512 } << 0;
}

// The sound server goes away under a playing song and comes back, or the device keeps running
// dry and is opened again with a larger buffer: the song holds its place meanwhile, whatever is
// done meanwhile takes effect, and sound goes on from the exact frame where it stopped.
void TestPlayer::deviceComesBack()
{
    QFETCH(int, action);
    QFETCH(QByteArray, pin);
    QFETCH(QList<int>, opens);
    QFETCH(int, queue);
    const Frames song = straightDecode(m_cbr);
    const QByteArray oldPin = qgetenv("POCKO_AUDIO_FRAMES");
    qputenv("POCKO_AUDIO_FRAMES", pin);
    auto output = std::make_unique<FakeOutput>();
    FakeOutput &device = *output;
    device.canResize = action == 5;
    device.queue = queue;
    DeckPlayer player(std::move(output));
    qputenv("POCKO_AUDIO_FRAMES", oldPin);
    player.setFileName(m_cbr);
    Frames heard;
    // A device thread's turn: a buffer, then a short wait (faster than real time; the decoder's
    // lead rides it out).
    const auto pump = [&](int buffers) {
        for (int i = 0; i < buffers; ++i, runFor(1))
            device.pump(heard);
    };
    const auto tries = [&] { return device.locked([&] { return device.tries; }); };
    const auto sizes = [&] { return device.locked([&] { return device.opened; }); };
    pump(40);
    qint64 resume = -1; // the song frame the sound goes on at; -1: where it faded out
    qint64 out = 0; // where it stopped in `heard`
    if (action < 4) {
        device.locked([&] {
            device.isLost = device.isOpen;
            device.serverUp = false;
        }); // its server dies
        QVERIFY(waitFor([&] {
            device.pump(heard);
            return device.locked([&] { return !device.isOpen; });
        }));
        const qint64 stop = find(song, heard, frames(heard) - 1000, 1000) + 1000;
        QCOMPARE(std::llround(player.currentPosition() * 44100), stop);
        if (action == 1)
            player.pause();
        else if (action == 2)
            player.setCurrentPosition(3.0);
        else if (action == 3)
            player.playBursts(2.0, 0.2, 2); // runs its 400 ms unheard, then stands paused
        resume = action == 2 ? 3 * 44100 : action == 3 ? std::llround(2.2 * 44100) : stop;
        const int tried = tries();
        const int state = action % 2 ? 1 : 2;
        QVERIFY(waitFor([&] { return tries() > tried + 2 && player.playState() == state; }));
        QCOMPARE(std::llround(player.currentPosition() * 44100), resume);
        QVERIFY(player.soundDeviceEnabled()); // FILE still opens the playlist
        device.locked([&] { device.serverUp = true; });
        out = frames(heard);
    } else {
        for (int i = 0; i < 100; ++i, runFor(6)) // past a new stream's first moments, in time
            device.pump(heard);
        for (int late = 0; late < 2; ++late, device.pump(heard)) // a starved device thread
            runFor(40);
    }
    QVERIFY(waitFor([&] {
        device.pump(heard);
        return (action < 4 || player.dropouts() >= 2)
            && sizes().size() >= std::size_t(opens.size())
            && (action < 5 || device.locked([&] { return !device.resized.empty(); }));
    }));
    pump(80); // past more than one look of the output thread's
    const std::vector<int> opened = sizes();
    QCOMPARE(QList<int>(opened.begin(), opened.begin() + std::min<qsizetype>(2, opened.size())),
             opens); // a busy machine's late pumps may step it up again later
    if (action == 5) { // not a frame lost or played twice across the step
        QCOMPARE(device.locked([&] { return device.resized.front(); }), 512);
        qint64 from = 0;
        while (silent(heard, from))
            ++from;
        from += FadeFrames + 10;
        const qint64 at = find(song, heard, from, 1000);
        const qint64 last = frames(heard) - 1000;
        QCOMPARE(find(song, heard, last, 1000), at + last - from);
    }
    if (opens.size() == 1)
        return;
    if (player.playState() == 1) { // silent until played
        player.play();
        pump(20);
    }
    if (resume < 0) { // the old device faded out at the first silence after the first sound
        while (silent(heard, out))
            ++out;
        while (!silent(heard, out))
            ++out;
        resume = find(song, heard, out - FadeFrames - 1000, 1000) + 1000;
    }
    expectBackAt(heard, out, song, resume);
}

void TestPlayer::bufferSteps_data()
{
    QTest::addColumn<int>("pinned");
    QTest::addColumn<QList<qint64>>("dropouts"); // ms
    QTest::addColumn<int>("frames");
    QTest::newRow("two within 10 s") << 0 << QList<qint64> { 5000, 15000 } << 512;
    QTest::newRow("two 10.001 s apart") << 0 << QList<qint64> { 5000, 15001 } << 256;
    QTest::newRow("a step starts afresh") << 0 << QList<qint64> { 0, 1, 2 } << 512;
    QTest::newRow("2048 at most") << 0 << QList<qint64> { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 } << 2048;
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

void TestPlayer::graphTakes_data()
{
    // Requests every two 48 kHz cycles of 512 frames (10.667 ms): takes at 21.333, 32 and 42.667.
    const QList<double> two { 0.0, 2 * 10.6667 };
    QTest::addColumn<QList<double>>("requests"); // ms
    QTest::addColumn<double>("from");
    QTest::addColumn<double>("to");
    QTest::addColumn<bool>("clear");
    QTest::newRow("between takes") << two << 23.5 << 29.9 << true;
    QTest::newRow("a take before the write lands") << two << 29.5 << 31.1 << false;
    QTest::newRow("just after a request") << two << 22.0 << 22.5 << false;
    QTest::newRow("just after the take between requests") << two << 32.8 << 33.2 << false;
    QTest::newRow("a request every take") << QList<double> { 0.0, 10.6667 } << 13.0 << 19.0 << true;
    QTest::newRow("no gap known yet") << QList<double> { 0.0 } << 3.0 << 4.0 << false;
    QTest::newRow("a shorter cycle in the graph") << QList<double> { 0.0, 16.0 } << 18.0 << 19.0
                                                  << false;
    QTest::newRow("no requests for long") << two << 70.0 << 71.0 << false;
    QTest::newRow("a request a little early") << QList<double> { 0.0, 21.2 } << 23.0 << 29.0
                                              << true;
    QTest::newRow("requests five cycles apart") << QList<double> { 0.0, 53.3333 } << 56.0 << 57.0
                                                << false;
}

void TestPlayer::graphTakes()
{
    QFETCH(QList<double>, requests);
    QFETCH(double, from);
    QFETCH(double, to);
    QFETCH(bool, clear);
    const auto ns = [](double ms) { return qint64(ms * 1e6) + 1000000000; };
    GraphCycle cycle;
    for (const double ms : requests)
        cycle.requested(ns(ms));
    QCOMPARE(cycle.clear(ns(from), ns(to)), clear);
}

void TestPlayer::graphDrops_data()
{
    // The read index against the clock (frames) at each timing answer, 1.5 s apart: PipeWire's
    // graph takes 470 frames a cycle at the deck's first piece of 512, so it lies anywhere in a
    // band 470 wide; a lost cycle moves the band down by 470 for good.
    QTest::addColumn<int>("piece");
    QTest::addColumn<QList<int>>("offsets");
    QTest::addColumn<int>("clockSetAt"); // from this answer on, time stamps 1 s ahead; -1: never
    QTest::addColumn<int>("lost");
    QTest::newRow("a cycle's steps") << 512 << QList<int> { 0, 300, -150, 320, -140, 310 } << -1
                                     << 0;
    QTest::newRow("one cycle lost") << 512 << QList<int> { 0, 320, -150, -600, -160, -620 } << -1
                                    << 1;
    QTest::newRow("a lost cycle told once") << 512 << QList<int> { 0, 320, -150, -600, -400, -630 }
                                            << -1 << 1;
    QTest::newRow("an answer stamped a little late") << 512 << QList<int> { 0, 470, -160 } << -1
                                                     << 0;
    QTest::newRow("two cycles lost") << 512 << QList<int> { 0, 320, -150, -600, -160, -1000 }
                                     << -1 << 2;
    QTest::newRow("the steps of a longer cycle") << 1024 << QList<int> { 0, 930, 0, 920, -5 } << -1
                                                 << 0;
    QTest::newRow("the system clock set") << 512 << QList<int> { 0, 320, -150, 300, -100 } << 3
                                          << 0;
    QList<int> slow;
    for (int i = 0; i < 400; ++i) // 600 s of a card 100 ppm slow, in steps of 470
        slow.append(int(-i * 1.5 * 4.41) - (i % 2) * 470);
    QTest::newRow("a card's clock a little slow") << 512 << slow << -1 << 0;
}

void TestPlayer::graphDrops()
{
    QFETCH(int, piece);
    QFETCH(QList<int>, offsets);
    QFETCH(int, clockSetAt);
    QFETCH(int, lost);
    GraphDrops drops;
    int counted = 0;
    for (int i = 0; i < offsets.size(); ++i) {
        const qint64 steady = 7000000000 + qint64(i) * 1500000000;
        const qint64 stamp = 1700000000000000000 + qint64(i) * 1500000000
            + (clockSetAt >= 0 && i >= clockSetAt ? 1000000000 : 0);
        const qint64 frames = 12345 + qint64(i) * 66150 + offsets[i];
        counted += drops.observe(stamp, steady, frames, piece) ? 1 : 0;
    }
    QCOMPARE(counted, lost);
}

void TestPlayer::deviceBuffer_data()
{
    QTest::addColumn<int>("least"); // the server's smallest good buffer
    QTest::addColumn<QByteArray>("pin"); // POCKO_AUDIO_FRAMES
    QTest::addColumn<int>("stall"); // dropouts the device tells at once while playing
    QTest::addColumn<QList<int>>("resized");
    QTest::newRow("a server that needs 512 from the start") << 512 << QByteArray() << 0
                                                            << QList<int> { 512 };
    QTest::newRow("pinned below it") << 512 << QByteArray("256") << 0 << QList<int> {};
    QTest::newRow("one stall tells four dropouts: one step") << 0 << QByteArray() << 4
                                                             << QList<int> { 512 };
}

// The buffer the open device is given: what its server needs, and one step for one stall.
void TestPlayer::deviceBuffer()
{
    QFETCH(int, least);
    QFETCH(QByteArray, pin);
    QFETCH(int, stall);
    QFETCH(QList<int>, resized);
    const QByteArray oldPin = qgetenv("POCKO_AUDIO_FRAMES");
    qputenv("POCKO_AUDIO_FRAMES", pin);
    auto output = std::make_unique<FakeOutput>();
    FakeOutput &device = *output;
    device.canResize = device.reports = true;
    device.least = least;
    DeckPlayer player(std::move(output));
    qputenv("POCKO_AUDIO_FRAMES", oldPin);
    player.setFileName(m_cbr);
    player.play();
    Frames heard;
    for (int i = 0; i < 100; ++i, runFor(6)) // past a new stream's first moments
        device.pump(heard);
    device.locked([&] { return device.reported += stall; });
    for (int i = 0; i < 50; ++i, runFor(6)) // more than one look of the output thread's
        device.pump(heard);
    const std::vector<int> sizes = device.locked([&] { return device.resized; });
    QCOMPARE(QList<int>(sizes.begin(), sizes.end()), resized);
}

void TestPlayer::nativeCycles_data()
{
    // The graph's clock at 48 kHz between two of the deck's cycles, whose last buffer was
    // `frames` at 44.1 kHz (235 or 236 for a cycle of 256 ticks).
    QTest::addColumn<qint64>("gap");
    QTest::addColumn<int>("frames");
    QTest::addColumn<quint64>("skipped");
    QTest::newRow("one cycle") << qint64(256) << 235 << quint64(0);
    QTest::newRow("one cycle, a frame more") << qint64(256) << 236 << quint64(0);
    QTest::newRow("the graph's cycle halved") << qint64(128) << 235 << quint64(0);
    QTest::newRow("just under a cycle and a half") << qint64(382) << 235 << quint64(0);
    QTest::newRow("a cycle and a half") << qint64(383) << 235 << quint64(1);
    QTest::newRow("one cycle lost") << qint64(512) << 235 << quint64(1);
    QTest::newRow("three lost") << qint64(1024) << 235 << quint64(3);
    QTest::newRow("a clock that stood") << qint64(0) << 235 << quint64(0);
    QTest::newRow("no buffer yet") << qint64(512) << 0 << quint64(0);
}

void TestPlayer::nativeCycles()
{
    QFETCH(qint64, gap);
    QFETCH(int, frames);
    QFETCH(quint64, skipped);
    const quint64 last = 1234567;
    QCOMPARE(PipeWireOutput::skippedCycles(last, last + quint64(gap), frames, 48000), skipped);
}

void TestPlayer::nativeUnheard_data()
{
    // The graph's delay to the device in its ticks, what the resampler and the queue hold in the
    // deck's frames, and the time since the stream's timing was taken.
    QTest::addColumn<qint64>("delayTicks");
    QTest::addColumn<qint64>("tickRate");
    QTest::addColumn<qint64>("buffered");
    QTest::addColumn<qint64>("queued");
    QTest::addColumn<qint64>("sinceNs");
    QTest::addColumn<qint64>("unheard");
    QTest::newRow("at the cycle") << qint64(256) << qint64(48000) << qint64(20) << qint64(235)
                                  << qint64(0) << qint64(235 + 20 + 235);
    QTest::newRow("5 ms on") << qint64(256) << qint64(48000) << qint64(20) << qint64(235)
                             << qint64(5000000) << qint64(490 - 220);
    QTest::newRow("the graph at 44.1 kHz")
        << qint64(512) << qint64(44100) << qint64(0) << qint64(256) << qint64(0) << qint64(768);
    QTest::newRow("all heard, never less") << qint64(256) << qint64(48000) << qint64(20)
                                           << qint64(235) << qint64(1000000000) << qint64(0);
    QTest::newRow("no rate") << qint64(256) << qint64(0) << qint64(20) << qint64(235) << qint64(0)
                             << qint64(0);
}

void TestPlayer::nativeUnheard()
{
    QFETCH(qint64, delayTicks);
    QFETCH(qint64, tickRate);
    QFETCH(qint64, buffered);
    QFETCH(qint64, queued);
    QFETCH(qint64, sinceNs);
    QFETCH(qint64, unheard);
    QCOMPARE(PipeWireOutput::unheardAt(delayTicks, tickRate, buffered, queued, sinceNs), unheard);
}

void TestPlayer::rewriteMargin_data()
{
    QTest::addColumn<qint64>("taken"); // the frame the service took last
    QTest::addColumn<qint64>("heard");
    QTest::addColumn<qint64>("tripNs");
    QTest::addColumn<qint64>("take"); // a take that may come first
    QTest::addColumn<qint64>("margin");
    // 2 ms of trips are 88 frames, and 32 after the frame taken.
    QTest::newRow("after the frame taken")
        << qint64(1000) << qint64(900) << qint64(1000000) << qint64(0) << qint64(220);
    QTest::newRow("one take later")
        << qint64(1000) << qint64(900) << qint64(1000000) << qint64(512) << qint64(732);
    QTest::newRow("never before the frame heard")
        << qint64(100) << qint64(900) << qint64(0) << qint64(0) << qint64(0);
}

void TestPlayer::rewriteMargin()
{
    QFETCH(qint64, taken);
    QFETCH(qint64, heard);
    QFETCH(qint64, tripNs);
    QFETCH(qint64, take);
    QFETCH(qint64, margin);
    QCOMPARE(takenMargin(taken, heard, tripNs, take), margin);
}

void TestPlayer::commandClock_data()
{
    // A device asking for 441 frames (10 ms) at these times (ns after 1 s), then a command stamped
    // `stamp` ns after the last ask; or, with `queue` (unheard, back, timed back), a command into
    // a long queue rendered to frame 100000, stamped `stamp` ns after now.
    QTest::addColumn<QList<qint64>>("asks");
    QTest::addColumn<QList<qint64>>("queue");
    QTest::addColumn<qint64>("stamp");
    QTest::addColumn<qint64>("zero"); // frame 0's time on the device's time line, after 1 s
    QTest::addColumn<qint64>("delay");
    QTest::addColumn<qint64>("due"); // in the next buffer; into a queue, from its end
    QTest::addColumn<int>("late"); // late buffers, or late starts into a queue
    const QList<qint64> none;
    const QList<qint64> steady { 0, 10000000, 20000000 };
    // 12 ms after the last ask is 32 ms after frame 0: frame 1411, frame 88 of the next buffer.
    QTest::newRow("steady") << steady << none << qint64(0) << qint64(0) << qint64(12000000)
                            << qint64(88) << 0;
    QTest::newRow("too late for its delay") << steady << none << qint64(-20000000) << qint64(0)
                                            << qint64(12000000) << qint64(-794) << 0;
    QTest::newRow("a late wake-up moves nothing")
        << QList<qint64> { 0, 10000000, 23000000, 30000000 } << none << qint64(0) << qint64(0)
        << qint64(12000000) << qint64(88) << 0;
    QTest::newRow("a clock a little slow: followed")
        << QList<qint64> { 0, 10000000, 20000400 } << none << qint64(0) << qint64(400)
        << qint64(12000000) << qint64(88) << 0;
    QTest::newRow("slower: followed at 100 ppm")
        << QList<qint64> { 0, 10000000, 20005000 } << none << qint64(0) << qint64(1000)
        << qint64(12000000) << qint64(88) << 0;
    QTest::newRow("an early ask: followed")
        << QList<qint64> { 0, 10000000, 19900000 } << none << qint64(0) << qint64(-100000)
        << qint64(12000000) << qint64(88) << 0;
    QTest::newRow("a break: afresh") << QList<qint64> { 0, 10000000, 45000000 } << none << qint64(0)
                                     << qint64(25000000) << qint64(12000000) << qint64(88) << 1;
    QTest::newRow("two buffers' time apart: not late")
        << QList<qint64> { 0, 10000000, 30000000 } << none << qint64(0) << qint64(1000)
        << qint64(12000000) << qint64(529) << 0;
    // The device's 221 frames of margin (5.011 ms) and 2 ms: 309 frames after the frame heard.
    const QList<qint64> queue { 4410, 4189, 4189 };
    QTest::newRow("into a queue") << none << queue << qint64(0) << qint64(0) << qint64(7011337)
                                  << qint64(-4101) << 0;
    QTest::newRow("into a queue, the service told more")
        << none << QList<qint64> { 4410, 4300, 4189 } << qint64(0) << qint64(0) << qint64(7011337)
        << qint64(-4101) << 0;
    QTest::newRow("into a queue, too late")
        << none << queue << qint64(-10000000) << qint64(0) << qint64(7011337) << qint64(-4189) << 1;
    QTest::newRow("into a queue, past its end")
        << none << queue << qint64(200000000) << qint64(0) << qint64(7011337) << qint64(0) << 0;
}

void TestPlayer::commandClock()
{
    QFETCH(QList<qint64>, asks);
    QFETCH(QList<qint64>, queue);
    QFETCH(qint64, stamp);
    QFETCH(qint64, zero);
    QFETCH(qint64, delay);
    QFETCH(qint64, due);
    QFETCH(int, late);
    const qint64 second = 1000000000;
    CommandClock clock;
    qint64 first = 0;
    for (const qint64 ns : asks) {
        clock.asked(second + ns, 441, true, true);
        clock.follow(second + ns, first, 441);
        first += 441;
    }
    if (queue.isEmpty()) {
        QCOMPARE(clock.frameZeroNs() - second, zero);
        QCOMPARE(clock.dueFrame(second + asks.last() + stamp, first), due);
        QCOMPARE(clock.lateBuffers(), quint64(late));
    } else {
        const qint64 end = 100000;
        QCOMPARE(
            clock.dueInQueue(second + stamp, second, end - queue[1], end - queue[2], end, queue[0])
                - end,
            due);
        QCOMPARE(clock.lateStarts(), quint64(late));
    }
    QCOMPARE(clock.startDelayNs(), delay);
}

void TestPlayer::renderHistory_data()
{
    // Snapshots at these output frames (the one at index i with the block ring's front at
    // 10 * (i + 1)), `command` the one after the last command (-1: none); `rendered` frames
    // rendered and published, the first half playing song frames from 5000 at half speed, the
    // rest held at 777; a rewrite from `from`.
    QTest::addColumn<QList<qint64>>("kept");
    QTest::addColumn<int>("command");
    QTest::addColumn<qint64>("rendered");
    QTest::addColumn<bool>("longQueue");
    QTest::addColumn<qint64>("unheard");
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("heard"); // the next output frame heard, -1: unknown
    QTest::addColumn<double>("frame"); // the song frame there
    QTest::addColumn<qint64>("released"); // the blocks before this place are freed
    QTest::addColumn<qint64>("back"); // the snapshot a rewrite goes back to; -1: none
    const QList<qint64> four { 0, 512, 1024, 1536 };
    QTest::newRow("back to the newest at or before the frame")
        << four << -1 << qint64(2048) << true << qint64(1500) << qint64(1100) << qint64(548)
        << 5279.0 << qint64(10) << qint64(1024);
    QTest::newRow("all later: the oldest")
        << QList<qint64> { 1024, 1536 } << -1 << qint64(2048) << true << qint64(100) << qint64(500)
        << qint64(1948) << 777.0 << qint64(10) << qint64(1024);
    QTest::newRow("none before the end: nothing to go back to")
        << QList<qint64> { 2048 } << -1 << qint64(2048) << true << qint64(100) << qint64(1000)
        << qint64(1948) << 777.0 << qint64(10) << qint64(-1);
    QTest::newRow("none before the last command")
        << four << 2 << qint64(2048) << true << qint64(1500) << qint64(600) << qint64(1024) << 777.0
        << qint64(30) << qint64(1024);
    QTest::newRow("older than any queue: freed")
        << QList<qint64> { 0, 4608, 4609 } << -1 << qint64(20992) << true << qint64(20000)
        << qint64(5000) << qint64(4609) << 7309.5 << qint64(20) << qint64(4609);
    QTest::newRow("a short buffer frees all")
        << four << -1 << qint64(2048) << false << qint64(-1) << qint64(1100) << qint64(-1) << 0.0
        << qint64(99) << qint64(-1);
    QTest::newRow("all heard") << four << -1 << qint64(2048) << true << qint64(0) << qint64(2048)
                               << qint64(-1) << 0.0 << qint64(10) << qint64(1536);
}

void TestPlayer::renderHistory()
{
    QFETCH(QList<qint64>, kept);
    QFETCH(int, command);
    QFETCH(qint64, rendered);
    QFETCH(bool, longQueue);
    QFETCH(qint64, unheard);
    QFETCH(qint64, from);
    QFETCH(qint64, heard);
    QFETCH(double, frame);
    QFETCH(qint64, released);
    QFETCH(qint64, back);
    auto history = std::make_unique<RenderHistory>();
    for (int i = 0; i < kept.size(); ++i)
        history->snapshot(kept[i], std::size_t(10 * (i + 1)), MixerState(), i == command);
    history->startBuffer(0);
    history->recordPlayed(0, int(rendered / 2), 5000, 10, 0.5);
    history->recordHeld(rendered, 777, Paused);
    history->published(rendered);
    QCOMPARE(history->nextHeard(unheard), heard);
    if (heard >= 0)
        QCOMPARE(history->frameAt(heard), frame);
    QCOMPARE(qint64(history->releasable(rendered, longQueue, 99)), released);
    const RenderHistory::Snapshot *s = history->goBackTo(from, rendered);
    QCOMPARE(s ? s->at : -1, back);
}

void TestPlayer::soundCheck_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::newRow("no device: no sound") << false;
    QTest::newRow("a device that came up: asked at once") << true;
}

// The FILE click's sound check: true only once a device has been open, and it asks the output
// thread for a try at once rather than waiting for its next.
void TestPlayer::soundCheck()
{
    QFETCH(bool, serverUp);
    auto output = std::make_unique<FakeOutput>();
    FakeOutput &device = *output;
    device.serverUp = false;
    DeckPlayer player(std::move(output));
    QVERIFY(!player.soundDeviceEnabled());
    device.locked([&] { device.serverUp = serverUp; });
    bool enabled = false;
    for (int i = 0; i < 5 && !enabled; ++i) // well before the next try of its own, 250 ms on
        enabled = player.soundDeviceEnabled();
    QCOMPARE(enabled, serverUp);
}

QTEST_GUILESS_MAIN(TestPlayer)
#include "tst_player.moc"
