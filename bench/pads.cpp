#include "deckoutput.h"
#include "jackpad.h"
#include "measures.h"
#include "privatesound.h"
#include "processes.h"
#include "table.h"
#include "timing.h"

#include "midi/midiinput.h"
#include "player/deckplayer.h"

#include <QCoreApplication>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

namespace pocko::bench {

namespace {

// Pad hit to first sound: 50 note-ons at random phases from a JACK MIDI output (JACK's dummy
// driver, a private server), through the deck's MIDI input, into play() on a private PulseAudio,
// timed from the note's cycle to its first sound in the recording. Once with the hit's stamp
// carried to the player (its fixed delay), once started at the callback's next frame.
void measurePadsAt(const QString &file, const QString &folder, int frames)
{
    // 0 frames: the deck's long queue, where an untimed hit is heard at the next rewrite.
    const QString size
        = frames > 0 ? QStringLiteral("%1 frames").arg(frames) : QStringLiteral("its own buffer");
    const QStringList what = {
        QStringLiteral("pad hit to first sound, timed from the stamp, %1 (median / spread "
                       "of 50)")
            .arg(size),
        QStringLiteral("pad hit to first sound, %1, %2 (median / spread of 50)")
            .arg(frames > 0 ? QStringLiteral("at the next callback") : QStringLiteral("at once"),
                 size)
    };
    if (!serverInstalled(SoundServer::PulseAudio) || !installed("jackd")) {
        for (const QString &row : what)
            addRow(row, QStringLiteral("not measured (no jackd or pulseaudio)"));
        return;
    }
    // A name fixed for this build: a killed server's entry in JACK's registry (8 servers at
    // most) is freed only when a server of the same name starts.
    const QByteArray server
        = "pocko-bench-"
        + QByteArray::number(qHash(QCoreApplication::applicationFilePath()), 16).left(8);
    QProcess jackd;
    jackd.setStandardOutputFile(QProcess::nullDevice());
    jackd.setStandardErrorFile(QProcess::nullDevice());
    jackd.start(QStringLiteral("jackd"),
                { QStringLiteral("-r"), QStringLiteral("-n"), QString::fromLatin1(server),
                  QStringLiteral("-d"), QStringLiteral("dummy"), QStringLiteral("-r"),
                  QStringLiteral("44100"), QStringLiteral("-p"), QStringLiteral("256") });
    qputenv("JACK_DEFAULT_SERVER", server);
    sleepMs(1000);
    const PinnedAudioFrames pin(frames);
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

} // namespace

void measurePads(const Songs &songs)
{
    measurePadsAt(songs.fiveMinutes, songs.folder, 0);
    measurePadsAt(songs.fiveMinutes, songs.folder, 256);
}

} // namespace pocko::bench
