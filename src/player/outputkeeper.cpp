#include "outputkeeper.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace pocko {

namespace {

// How long a new deck waits for its first try to open the sound device; a sound server answers
// in a few milliseconds.
constexpr auto FirstOpenTimeout = std::chrono::seconds(2);
// A FILE click asks for a try at once when no device has ever been open, and waits this long.
constexpr auto SoundCheckTimeout = std::chrono::milliseconds(20);
// While the device is gone: a try to open it again this often.
constexpr auto ReopenInterval = std::chrono::milliseconds(250);
// While it is open: a look whether it was lost or keeps running dry this often.
constexpr auto WatchInterval = std::chrono::milliseconds(20);
// Dropouts in a new stream's first moments do not count towards a larger buffer.
constexpr auto StartGrace = std::chrono::milliseconds(500);
// While no device is open, the callback still runs this often, unheard.
constexpr auto StandbyInterval = std::chrono::milliseconds(5);

} // namespace

OutputKeeper::OutputKeeper(std::unique_ptr<AudioOutput> output, int pinnedFrames,
                           DeckRender &render)
    : m_render(render)
    , m_output(std::move(output))
    , m_steps(pinnedFrames)
{
    // A buffer pinned by hand is all the device holds.
    m_output->allowLongQueue(pinnedFrames == 0);
}

OutputKeeper::~OutputKeeper()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_outputThread.joinable())
        m_outputThread.join(); // closes the device
    if (m_standbyThread.joinable())
        m_standbyThread.join();
}

void OutputKeeper::start()
{
    m_standbyThread = std::thread([this] { standbyLoop(); });
    m_outputThread = std::thread([this] { outputLoop(); });
    const auto deadline = std::chrono::steady_clock::now() + FirstOpenTimeout;
    while (m_attempts.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool OutputKeeper::soundDeviceEnabled()
{
    if (m_everOpened.load())
        return true;
    const quint64 before = m_attempts.load();
    {
        std::lock_guard lock(m_mutex);
        m_tryNow = true;
    }
    m_wake.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + SoundCheckTimeout;
    while (m_attempts.load() <= before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    return m_everOpened.load();
}

void OutputKeeper::setStandby(bool on)
{
    {
        std::lock_guard lock(m_mutex);
        m_standby = on;
    }
    m_wake.notify_all();
}

void OutputKeeper::rewrite()
{
    if (!m_render.longQueue())
        return;
    std::unique_lock device(m_deviceMutex, std::try_to_lock);
    if (!device.owns_lock()) {
        m_rewriteWanted.store(true);
        m_wake.notify_all();
        return;
    }
    m_output->rewrite(&DeckRender::rewriteOutput, &m_render);
}

void OutputKeeper::rewriteNow()
{
    if (m_rewriteWanted.exchange(false) && m_render.longQueue()) {
        std::lock_guard device(m_deviceMutex);
        m_output->rewrite(&DeckRender::rewriteOutput, &m_render);
    }
}

bool OutputKeeper::openOutput(int frames)
{
    std::unique_lock device(m_deviceMutex);
    bool opened = m_output->open(frames, &DeckRender::renderOutput, &m_render);
    if (!opened) {
        // A back end whose connection to the sound server died opens nothing until it starts
        // afresh; nor does one that found no server when it started.
        m_output->restart();
        opened = m_output->open(frames, &DeckRender::renderOutput, &m_render);
    }
    if (!opened)
        return false;
    setStandby(false);
    m_realtime.store(m_output->makeRealtime());
    const int least = m_output->leastFrames();
    m_steps.atLeast(least);
    if (m_steps.frames() > frames && m_output->resize(m_steps.frames()))
        frames = m_steps.frames();
    m_deviceFrames.store(frames);
    m_everOpened.store(true);
    m_render.setLongQueue(m_output->rewrites());
    device.unlock();
    m_rewriteWanted.store(true); // what came while it opened
    rewriteNow();
    return true;
}

void OutputKeeper::closeOutput(bool fadeOut)
{
    if (fadeOut) {
        // Sound fades out and the callback holds its place; then the device plays what it has.
        m_render.hold(true);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!m_render.quiet() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(
            std::chrono::milliseconds(2 * 1000 * m_deviceFrames.load() / OutputRate + 5));
    }
    std::unique_lock device(m_deviceMutex);
    const qint64 unheard = m_output->unheardFrames();
    m_render.setLongQueue(false);
    m_output->close();
    m_render.rewindToHeard(unheard);
    setStandby(true);
    device.unlock();
    m_render.hold(false);
    m_deviceFrames.store(0);
    m_realtime.store(false);
}

quint64 OutputKeeper::countDropouts()
{
    // A device that reports its own dropouts knows them better than the callback's clock does.
    const quint64 device
        = m_output->countsDropouts() ? m_output->dropouts() : m_render.lateBuffers();
    // Silence that came late is not heard: only dropouts while a song plays count.
    const bool playing = m_render.state() == Playing;
    if (!playing && !m_wasPlaying)
        m_unheardDropouts += device - m_deviceDropouts;
    m_deviceDropouts = device;
    m_wasPlaying = playing;
    m_dropouts.store(device - m_unheardDropouts);
    return m_render.underruns() + device - m_unheardDropouts;
}

void OutputKeeper::outputLoop()
{
    using Clock = std::chrono::steady_clock;
    const auto msSince = [](Clock::time_point from) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count();
    };
    const Clock::time_point began = Clock::now();
    std::unique_lock lock(m_mutex);
    bool open = false;
    Clock::time_point nextTry = began;
    Clock::time_point lostAt;
    Clock::time_point openedAt;
    bool wasLost = false;
    quint64 dropouts = 0;
    quint64 underruns = 0;
    quint64 lostCycles = 0;
    while (!m_quit) {
        if (!open) {
            if (!m_tryNow && Clock::now() < nextTry) {
                m_wake.wait_until(lock, nextTry);
                continue;
            }
            m_tryNow = false;
            lock.unlock();
            open = openOutput(m_steps.frames());
            if (open && wasLost)
                std::fprintf(stderr, "audio: the sound device is back after %.1f s\n",
                             double(msSince(lostAt)) / 1000.0);
            wasLost = wasLost && !open;
            openedAt = Clock::now();
            dropouts = countDropouts();
            lostCycles = m_output->lostCycles();
            m_attempts.fetch_add(1);
            lock.lock();
            nextTry = Clock::now() + ReopenInterval;
            continue;
        }
        m_wake.wait_for(lock, WatchInterval);
        if (m_quit)
            break;
        lock.unlock();
        rewriteNow();
        if (m_output->lost()) {
            closeOutput(false);
            open = false;
            wasLost = true;
            lostAt = Clock::now();
            std::fprintf(stderr, "audio: the sound device is gone; opening it again every %d ms\n",
                         int(ReopenInterval.count()));
        } else {
            const quint64 now = countDropouts();
            // The player itself ran out of decoded sound: rare, and worth its time on stderr.
            if (const quint64 ran = m_render.underruns(); ran > underruns) {
                std::fprintf(stderr,
                             "audio: the player ran out of decoded sound at %.1f s (%llu in all)\n",
                             double(msSince(began)) / 1000.0, static_cast<unsigned long long>(ran));
                underruns = ran;
            }
            // A stream just started may run dry before it is in step: that says nothing of its
            // buffer's size.
            const quint64 lost = m_output->lostCycles();
            if (Clock::now() - openedAt < StartGrace) {
                dropouts = now;
                lostCycles = lost;
            }
            bool stepped = false;
            // One stall often reports several dropouts at once: it steps once.
            for (; dropouts < now && !stepped; ++dropouts)
                stepped = m_steps.dropout(msSince(began)) || stepped;
            // A hole the server does not report. No step: a longer cycle of the deck's own did
            // not ride over such stalls, and other streams hold the graph at theirs.
            if (lost > lostCycles)
                std::fprintf(stderr,
                             "audio: the sound server played a cycle without the deck at %.1f s "
                             "(%llu in all)\n",
                             double(msSince(began)) / 1000.0, static_cast<unsigned long long>(lost));
            lostCycles = lost;
            if (stepped) {
                const int from = m_deviceFrames.load();
                // A device that can grow its buffer while it plays does so unheard; one that
                // cannot (SDL's) fades out and opens again.
                std::unique_lock device(m_deviceMutex);
                const bool resized = m_output->resize(m_steps.frames());
                device.unlock();
                rewriteNow();
                if (resized) {
                    m_deviceFrames.store(m_steps.frames());
                } else {
                    closeOutput(true);
                    open = openOutput(m_steps.frames());
                }
                openedAt = Clock::now();
                std::fprintf(stderr,
                             "audio: the device ran dry twice within %d s: its buffer "
                             "goes from %d to %d frames\n",
                             int(BufferSteps::WindowMs / 1000), from, m_steps.frames());
                dropouts = countDropouts();
                lostCycles = m_output->lostCycles();
            }
        }
        lock.lock();
    }
    lock.unlock();
    if (open)
        closeOutput(false);
}

// ---- Standby thread ----

void OutputKeeper::standbyLoop()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(m_mutex);
    Clock::time_point last = Clock::now();
    while (!m_quit) {
        if (!m_standby) {
            m_wake.wait(lock);
            last = Clock::now();
            continue;
        }
        m_wake.wait_for(lock, StandbyInterval);
        if (!m_standby || m_quit)
            continue;
        // As many frames as a device would have asked for meanwhile, so a burst train keeps its
        // time even unheard.
        const Clock::time_point now = Clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - last);
        const int frames = int(
            std::clamp<qint64>(elapsed.count() * OutputRate / 1000000, 1, BufferSteps::Largest));
        last = now;
        lock.unlock();
        m_render.renderOrSilence(m_standbyBuffer.data(), frames, false);
        lock.lock();
    }
}

} // namespace pocko
