#pragma once

#include "audiooutput.h"
#include "buffersteps.h"
#include "deckrender.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace pocko {

// Keeps the deck's sound device open: opens it, watches it, opens it again when it was lost (a
// sound server restarted, a device unplugged) and with a larger buffer when it keeps running
// dry. While no device is open, a standby thread renders unheard at the real-time pace, so that
// the song holds its place and a burst train keeps its time. Its output thread is the only one
// of the deck's threads that may block on the sound system; the GUI thread calls the public
// methods.
class OutputKeeper
{
public:
    // pinnedFrames: a device buffer to keep (0: step up from the smallest size as needed).
    OutputKeeper(std::unique_ptr<AudioOutput> output, int pinnedFrames, DeckRender &render);
    // Closes the device, then ends the threads.
    ~OutputKeeper();
    OutputKeeper(const OutputKeeper &) = delete;
    OutputKeeper &operator=(const OutputKeeper &) = delete;

    // GUI thread: starts the threads and waits for the first try to open the device.
    void start();
    // GUI thread; waits 20 ms at most. True once a device has been open: a lost one is opened
    // again by itself. Before that, asks for a try at once.
    bool soundDeviceEnabled();

    // Any thread: the times the device ran dry while a song played, as the device tells them
    // where it can (PulseAudio), else the callback's late buffers; the device's buffer size in
    // frames (0 while none is open), and whether its thread runs at real-time priority.
    quint64 dropouts() const { return m_dropouts.load(std::memory_order_relaxed); }
    // GUI thread: applies the commands the render has queued by rewriting the device's long
    // queue, now, or on the output thread as soon as it is done with the device. Does nothing
    // while no device with a long queue is open (its callback takes the commands).
    void rewrite();
    // Any thread: frames rendered and not heard yet (-1: the device does not tell).
    qint64 unheardFrames() const { return m_output->unheardFrames(); }
    int deviceFrames() const { return m_deviceFrames.load(std::memory_order_relaxed); }
    bool realtime() const { return m_realtime.load(std::memory_order_relaxed); }

private:
    // Output thread.
    void outputLoop();
    quint64 countDropouts();
    bool openOutput(int frames);
    void closeOutput(bool fadeOut);
    void setStandby(bool on);
    void rewriteNow();
    // Standby thread.
    void standbyLoop();

    DeckRender &m_render;
    // Owned by the output thread once start() has started it.
    std::unique_ptr<AudioOutput> m_output;
    BufferSteps m_steps;
    quint64 m_deviceDropouts = 0; // as the device counted them at the last look
    quint64 m_unheardDropouts = 0; // of those, the ones while nothing played
    bool m_wasPlaying = false;

    // Held by the output thread while it opens, closes or resizes the device, and by a rewrite.
    std::mutex m_deviceMutex;
    std::atomic<bool> m_rewriteWanted { false };

    // Shared by the GUI, output and standby threads under m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_quit = false;
    bool m_tryNow = false;
    bool m_standby = true;
    std::thread m_outputThread;
    std::thread m_standbyThread;
    std::array<float, 2 * BufferSteps::Largest> m_standbyBuffer {};

    // Published by the output thread.
    std::atomic<quint64> m_attempts { 0 }; // tries to open the device so far
    std::atomic<bool> m_everOpened { false };
    std::atomic<int> m_deviceFrames { 0 };
    std::atomic<quint64> m_dropouts { 0 };
    std::atomic<bool> m_realtime { false };
};

} // namespace pocko
