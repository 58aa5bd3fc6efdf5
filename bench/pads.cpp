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
#include <array>
#include <chrono>
#include <random>
#include <thread>

namespace pocko::bench {

namespace {

const int JackRate = 48000;

// Two ways of starting the sound of a hit, taken in turns in one run.
struct PadWay
{
    QString row;
    bool stampAtCallback; // the hit's stamp: its cycle's callback, else its own frame
    bool timed; // the stamp carried to the player (its fixed delay), else played at once
    QString target;
};

// Strike to first sound: 100 strikes at random moments on a JACK MIDI output that writes each
// as a bridge does (JACK's dummy driver at real-time priority, a private server), through the
// deck's MIDI input, into play() on a private PulseAudio, timed from the strike to its first
// sound in the recording. The two ways take turns, each from an input of its own.
void measurePadsAt(const QString &file, const QString &folder, int frames, int period,
                   const std::array<PadWay, 2> &ways)
{
    if (!serverInstalled(SoundServer::PulseAudio) || !installed("jackd")) {
        for (const PadWay &way : ways)
            addRow(way.row, QStringLiteral("not measured (no jackd or pulseaudio)"));
        return;
    }
    // A name fixed for this build: a killed server's entry in JACK's registry (8 servers at
    // most) is freed only when a server of the same name starts.
    const QByteArray server = "pocko-bench-"
        + QByteArray::number(qHash(QCoreApplication::applicationFilePath()), 16).left(8);
    QProcess jackd;
    jackd.setStandardOutputFile(QProcess::nullDevice());
    jackd.setStandardErrorFile(QProcess::nullDevice());
    jackd.start(QStringLiteral("jackd"),
                { QStringLiteral("-R"), QStringLiteral("-n"), QString::fromLatin1(server),
                  QStringLiteral("-d"), QStringLiteral("dummy"), QStringLiteral("-r"),
                  QString::number(JackRate), QStringLiteral("-p"), QString::number(period) });
    qputenv("JACK_DEFAULT_SERVER", server);
    sleepMs(1000);
    const PinnedAudioFrames pin(frames);
    std::vector<std::vector<double>> rows(2);
    std::array<quint64, 2> late {};
    qint64 delayNs = 0;
    {
        PrivateSound sound(folder);
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
        qputenv("PULSE_SERVER", sound.server().toLocal8Bit());
        DeckPlayer player;
        JackPad pad;
        std::array<std::unique_ptr<MidiInput>, 2> inputs;
        bool opened = true;
        for (size_t w = 0; w < 2; ++w) {
            qputenv("POCKO_MIDI_STAMP", ways[w].stampAtCallback ? "callback" : "");
            inputs[w] = std::make_unique<MidiInput>(QStringLiteral("PockoMP3 deck %1").arg(w + 1),
                                                    QStringLiteral("pocko bench pad"));
            QString error;
            opened = inputs[w]->open(&error) && opened;
        }
        qunsetenv("POCKO_MIDI_STAMP");
        std::mt19937 random(7);
        if (sound.ready() && pad.ready() && opened && player.soundDeviceEnabled()) {
            for (int i = 0; i < 20; ++i) { // the inputs connect from their timers
                QCoreApplication::processEvents();
                sleepMs(50);
            }
            player.setFileName(file);
            player.pause();
            sound.drain(500);
            sound.restartTimeLine();
            for (int i = 0; i < 100; ++i) {
                const size_t w = size_t(i % 2);
                player.setCurrentPosition(10.0 + 2.0 * i);
                player.waitForStream(1000);
                sound.drain(150 + int(random() % 100));
                // A random moment against the device's buffers and JACK's cycles.
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
                pad.strike();
                const quint64 lateBefore = player.lateStarts();
                bool played = false;
                qint64 heardNs = 0;
                const bool heard = sound.waitForSound(1000, 8, &heardNs, [&] {
                    MidiHit hit;
                    while (!played && inputs[w]->take(hit)) {
                        player.setStartTime(ways[w].timed ? hit.arrivedNs : 0);
                        player.play();
                        player.setStartTime(0);
                        played = true;
                    }
                });
                late[w] += player.lateStarts() - lateBefore;
                player.pause();
                for (auto &input : inputs) {
                    MidiHit hit;
                    while (input->take(hit)) { }
                }
                if (heard && played)
                    rows[w].push_back(double(heardNs - pad.struckNs()) / 1e9);
            }
            delayNs = player.startDelayNs();
        }
    }
    stop(jackd);
    qunsetenv("JACK_DEFAULT_SERVER");
    qunsetenv("PULSE_SERVER");
    useDiskDriver(QStringLiteral("/dev/null"));
    for (size_t w = 0; w < 2; ++w) {
        const std::vector<double> &times = rows[w];
        QString result = QStringLiteral("failed");
        if (!times.empty()) {
            const auto [low, high] = std::minmax_element(times.begin(), times.end());
            result = QStringLiteral("%1 / %2").arg(ms(median(times)), ms(*high - *low));
            if (ways[w].timed)
                result += QStringLiteral(" (%1 heard, fixed delay %2, %3 late)")
                              .arg(times.size())
                              .arg(ms(double(delayNs) / 1e9))
                              .arg(late[w]);
        }
        addRow(ways[w].row, result, ways[w].target);
    }
}

} // namespace

void measurePads(const Songs &songs)
{
    // The player's side: a hit played from its stamp or at once, on the deck's long queue and on
    // a device pinned to 256 frames.
    for (const int frames : { 0, 256 }) {
        const QString size = frames > 0 ? QStringLiteral("%1 frames").arg(frames)
                                        : QStringLiteral("its own buffer");
        const QString at
            = frames > 0 ? QStringLiteral("at the next callback") : QStringLiteral("at once");
        measurePadsAt(songs.fiveMinutes, songs.folder, frames, 256,
                      { PadWay { QStringLiteral("strike to first sound, timed from the stamp, %1, "
                                                "JACK 256 (median / spread of 50)")
                                     .arg(size),
                                 false, true, QStringLiteral("-") },
                        PadWay { QStringLiteral("strike to first sound, %1, %2, JACK 256 "
                                                "(median / spread of 50)")
                                     .arg(at, size),
                                 false, false, QStringLiteral("-") } });
    }
    // The input's side: each event stamped at its own frame, or all of a cycle at its callback.
    for (const int period : { 64, 256, 1024 }) {
        const QString jack = QStringLiteral("JACK %1 frames at %2 Hz").arg(period).arg(JackRate);
        const double periodMs = 1000.0 * period / JackRate;
        measurePadsAt(
            songs.fiveMinutes, songs.folder, 0, period,
            { PadWay { QStringLiteral("strike to first sound, %1, stamped at the event's "
                                      "frame (median / spread of 50)")
                           .arg(jack),
                       false, true,
                       QStringLiteral("<= %1 ms / <= 1 ms").arg(periodMs + 10.0, 0, 'f', 1) },
              PadWay { QStringLiteral("strike to first sound, %1, stamped at the "
                                      "callback (median / spread of 50)")
                           .arg(jack),
                       true, true, QStringLiteral("-") } });
    }
}

} // namespace pocko::bench
