#include "deckoutput.h"
#include "measures.h"
#include "privatesound.h"
#include "processes.h"
#include "table.h"
#include "timing.h"

#include "player/deckplayer.h"

#include <algorithm>
#include <memory>
#include <random>

namespace pocko::bench {

// The sound server killed under a playing deck and started again: how long the deck's calls take
// while it is gone (they must never wait for it), and how long after its return the song sounds.
void measureServerRestarts(const Songs &songs)
{
    const QString what
        = QStringLiteral("sound server gone: longest call of 200 / sound again after "
                         "its return (median / max of 5)");
    if (!installed("pulseaudio") || !installed("parec") || !installed("pactl")) {
        addRow(what, QStringLiteral("not measured (no pulseaudio)"));
        return;
    }
    auto sound = std::make_unique<PrivateSound>(songs.folder);
    qputenv("SDL_AUDIODRIVER", "pulseaudio");
    qputenv("PULSE_SERVER", sound->server().toLocal8Bit());
    DeckPlayer player;
    player.setFileName(songs.fiveMinutes);
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
        sound = std::make_unique<PrivateSound>(songs.folder);
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

} // namespace pocko::bench
