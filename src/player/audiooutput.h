#pragma once

#include <QtGlobal>

#include <memory>
#include <pthread.h>
#include <sched.h>

namespace pocko {

// Fills `frames` frames of float32 stereo at `out`. `audible` is false when the buffer goes
// nowhere (the device was lost and only keeps the pace): the player then holds its place.
using RenderFunction = void (*)(void *user, float *out, int frames, bool audible);
// Renders again the last frames that a render function gave and that are not heard yet: `back`
// frames of them may be replaced, and `unheard` frames of them are not heard yet (unheard >=
// back). `timedBack` is what `back` is with the device's fixed margin, which a timed command's
// delay is measured from: a device that knows where its server's queue was taken may replace
// more this time, or less. Returns n <= back: the last n frames are replaced by out[0 .. n).
using RewriteFunction
    = qint64 (*)(void *user, float *out, qint64 back, qint64 timedBack, qint64 unheard);

// The sound device a player renders into. The player's output thread alone opens, watches and
// closes it; the render function runs on the device's own thread.
class AudioOutput
{
public:
    virtual ~AudioOutput() = default;

    // Opens the device with a buffer of `frames` frames and starts calling `render`. May block
    // while it reaches a sound server. False when no device could be opened.
    virtual bool open(int frames, RenderFunction render, void *user) = 0;
    // Stops calling render (once this returns, no call is running) and closes the device.
    virtual void close() = 0;
    // Gives the open device a buffer of `frames` frames without a break in its sound. False
    // when it cannot (it must then be closed and opened again).
    virtual bool resize(int frames)
    {
        Q_UNUSED(frames);
        return false;
    }
    // The smallest buffer that plays without dropouts on the open device's server, where a
    // smaller one drops out more often than it tells; 0 when it has none.
    virtual int leastFrames() const { return 0; }
    // The open device stopped working (its server went away, it was unplugged). Non-blocking.
    virtual bool lost() const = 0;
    // Starts the sound back end afresh, for when its connection to the server is dead.
    virtual void restart() = 0;
    // Gives the device's thread, once it has called render, real-time priority where the system
    // allows it. True when it runs real-time.
    virtual bool makeRealtime() { return false; }
    // Whether the device may keep a long queue (true unless told): it then opens with one where
    // its sound system can write it again. Before open.
    virtual void allowLongQueue(bool allow) { Q_UNUSED(allow); }
    // Whether the open device holds a long queue that may be written again where it is not
    // heard yet. Output thread.
    virtual bool rewrites() const { return false; }
    // Writes the queue of the open device again from a few milliseconds after the frame being
    // heard, through to its end, with what `rewrite` renders. False when it could not. Any
    // thread that the output thread's open, close and resize exclude.
    virtual bool rewrite(RewriteFunction renderAgain, void *user)
    {
        Q_UNUSED(renderAgain);
        Q_UNUSED(user);
        return false;
    }
    // Frames that the render function gave and that are not heard yet, now; -1 when the device
    // does not tell (it then holds at most one short buffer). Any thread.
    virtual qint64 unheardFrames() const { return -1; }
    // Whether the device tells when it played silence for want of sound, and how often it did so
    // far (it never goes down). Any thread.
    virtual bool countsDropouts() const { return false; }
    virtual quint64 dropouts() const { return 0; }
    // Cycles that the server's graph played without the device's sound although it was queued
    // (PipeWire's, when its PulseAudio service was late): each is heard as a hole, and only a
    // longer cycle, that is a larger buffer, rides over what caused it. Never goes down. Any
    // thread.
    virtual quint64 lostCycles() const { return 0; }
};

// SCHED_FIFO at a modest priority: above every normal thread, below the kernel's own and a sound
// server's real-time threads. False where the system does not allow it.
inline bool setRealtime(pthread_t thread)
{
    sched_param param {};
    param.sched_priority = 10;
    return pthread_setschedparam(thread, SCHED_FIFO, &param) == 0;
}

// The first of two outputs that opens, tried afresh at every open: PipeWire's own stream before
// PulseAudio, PulseAudio where a server runs before SDL's audio (ALSA and the rest).
class FallbackOutput : public AudioOutput
{
public:
    FallbackOutput(std::unique_ptr<AudioOutput> first, std::unique_ptr<AudioOutput> second)
        : m_first(std::move(first))
        , m_second(std::move(second))
    {
    }

    bool open(int frames, RenderFunction render, void *user) override
    {
        m_current = nullptr;
        if (m_first->open(frames, render, user))
            m_current = m_first.get();
        else if (m_second->open(frames, render, user))
            m_current = m_second.get();
        return m_current != nullptr;
    }
    void close() override
    {
        if (m_current)
            m_current->close();
        m_current = nullptr;
    }
    bool resize(int frames) override { return m_current && m_current->resize(frames); }
    int leastFrames() const override { return m_current ? m_current->leastFrames() : 0; }
    bool lost() const override { return m_current && m_current->lost(); }
    void restart() override
    {
        m_first->restart();
        m_second->restart();
    }
    bool makeRealtime() override { return m_current && m_current->makeRealtime(); }
    void allowLongQueue(bool allow) override
    {
        m_first->allowLongQueue(allow);
        m_second->allowLongQueue(allow);
    }
    bool rewrites() const override { return m_current && m_current->rewrites(); }
    bool rewrite(RewriteFunction renderAgain, void *user) override
    {
        return m_current && m_current->rewrite(renderAgain, user);
    }
    // Read by any thread while the output thread may change m_current: only the one that is open
    // tells.
    qint64 unheardFrames() const override
    {
        const qint64 first = m_first->unheardFrames();
        return first >= 0 ? first : m_second->unheardFrames();
    }
    bool countsDropouts() const override { return m_current && m_current->countsDropouts(); }
    quint64 dropouts() const override { return m_first->dropouts() + m_second->dropouts(); }
    quint64 lostCycles() const override
    {
        return m_first->lostCycles() + m_second->lostCycles();
    }

private:
    std::unique_ptr<AudioOutput> m_first;
    std::unique_ptr<AudioOutput> m_second;
    AudioOutput *m_current = nullptr;
};

} // namespace pocko
