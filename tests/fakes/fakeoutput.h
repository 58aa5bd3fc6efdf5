#pragma once

#include "player/audiooutput.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace pocko {

// A sound device the test plays by hand: pump() asks the player for sound as a device's thread
// would. Losing it (`lost`, with the server down) is what a dying sound server does; no new one
// opens until the server is up again. The player owns it; the test keeps a reference, and reads
// and changes it under `locked`, as the player's threads do.
class FakeOutput : public AudioOutput
{
public:
    mutable std::mutex mutex; // guards what follows
    std::vector<int> opened; // the buffer size of every open
    bool canResize = false; // grows its buffer while open, as PulseAudio's streams do
    std::vector<int> resized; // the buffer size of every resize
    int least = 0; // the smallest buffer its server plays without dropouts
    bool reports = false; // tells its dropouts, as PulseAudio's streams do
    quint64 reported = 0;
    int tries = 0; // opens asked for, also the refused ones
    bool serverUp = true;
    bool isOpen = false;
    bool isLost = false;
    RenderFunction render = nullptr;
    void *user = nullptr;
    // A long queue, as PulseAudio's: pump() keeps it `queue` frames long and hears from its
    // front; a rewrite replaces what lies `margin` frames or more after the front.
    int queue = 0;
    int margin = 0;
    std::vector<float> queued;

    template<typename F> auto locked(F f) const
    {
        std::lock_guard lock(mutex);
        return f();
    }
    // Renders `frames`; appends them to `heard` when the device is open and heard.
    void pump(std::vector<float> &heard, int frames = 256)
    {
        std::lock_guard lock(mutex);
        if (queue > 0 && isLost)
            return; // its server is gone: nothing asks for sound
        if (queue > 0 && isOpen) {
            const std::size_t missing = std::size_t(queue + frames) * 2 - queued.size();
            std::vector<float> buffer(missing);
            render(user, buffer.data(), int(missing / 2), true);
            queued.insert(queued.end(), buffer.begin(), buffer.end());
            heard.insert(heard.end(), queued.begin(), queued.begin() + frames * 2);
            queued.erase(queued.begin(), queued.begin() + frames * 2);
            return;
        }
        std::vector<float> buffer(std::size_t(frames) * 2);
        if (isOpen)
            render(user, buffer.data(), frames, !isLost);
        if (isOpen && !isLost)
            heard.insert(heard.end(), buffer.begin(), buffer.end());
    }
    bool rewrites() const override
    {
        return locked([this] { return queue > 0 && isOpen; });
    }
    bool rewrite(RewriteFunction rewriteFunction, void *userData) override
    {
        return locked([&] {
            const qint64 unheard = qint64(queued.size() / 2);
            std::vector<float> buffer(queued.size());
            const qint64 back = std::max<qint64>(0, unheard - margin);
            const qint64 n = rewriteFunction(userData, buffer.data(), back, back, unheard);
            std::copy(buffer.begin(), buffer.begin() + n * 2, queued.end() - n * 2);
            return true;
        });
    }
    qint64 unheardFrames() const override
    {
        return locked([this] { return queue > 0 && isOpen ? qint64(queued.size() / 2) : -1; });
    }

    bool open(int frames, RenderFunction renderFunction, void *userData) override
    {
        return locked([&] {
            ++tries;
            if (serverUp) {
                opened.push_back(frames);
                isOpen = true;
                isLost = false;
                render = renderFunction;
                user = userData;
            }
            return serverUp;
        });
    }
    bool resize(int frames) override
    {
        return locked([&] {
            if (canResize && isOpen)
                resized.push_back(frames);
            return canResize && isOpen;
        });
    }
    void close() override
    {
        locked([this] {
            isOpen = false;
            queued.clear();
        });
    }
    bool lost() const override
    {
        return locked([this] { return isLost; });
    }
    void restart() override { }
    int leastFrames() const override
    {
        return locked([this] { return least; });
    }
    bool countsDropouts() const override
    {
        return locked([this] { return reports; });
    }
    quint64 dropouts() const override
    {
        return locked([this] { return reported; });
    }
};

} // namespace pocko
