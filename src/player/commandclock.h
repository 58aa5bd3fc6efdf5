#pragma once

// The clock runs inside the render, on whichever thread renders (see deckrender.h): no lock, no
// allocation, no I/O, no Qt. It is given the time (ns on the steady clock) by its caller; what
// other threads read are atomics.

#include <QtGlobal>

#include <atomic>

namespace pocko {

// When a timed command (a pad's hit, stamped with its time on the steady clock) is due, in
// output frames, so that it sounds a fixed delay after its time wherever the device's buffers
// fall. Into a short device buffer, from the device's time line: the time at which output frame
// 0 was asked for, as the earliest of the callbacks' own times says (a late wake-up only makes
// one callback later), following a device clock a little slower than the steady one; the delay
// is what the buffers are rendered ahead of their time at most. Into a long queue, from the
// frame being heard and the device's margin after it. It also counts the device's late
// buffers, and the timed commands that came too late for their delay.
class CommandClock
{
public:
    // A short device buffer of `frames` frames, whose first frame is output frame `first`, asked
    // for at `nowNs`.
    void follow(qint64 nowNs, qint64 first, int frames);
    // The frame of a short buffer starting at output frame `first` where a command stamped
    // `atNs` is due: < 0 when it came too late, at or past the buffer's end when it is due later.
    qint64 dueFrame(qint64 atNs, qint64 first) const;
    // Into a long queue whose frames up to `end` are rendered, `unheard` of them not heard yet,
    // at `nowNs`: the output frame where a command stamped `atNs` is due, between `from` (the
    // first frame a rewrite may replace) and `end`. `timedFrom` is `from` with the device's fixed
    // margin, which the delay is measured from.
    qint64 dueInQueue(qint64 atNs, qint64 nowNs, qint64 from, qint64 timedFrom, qint64 end,
                      qint64 unheard);
    // A command that came after its frame had been rendered.
    void lateStart() { m_lateStarts.fetch_add(1, std::memory_order_relaxed); }

    // The device asked for `frames` frames at `nowNs`; `heard`: they go to the ear; `sounding`:
    // a song plays and has sounded. A device that asks again after more than two of its buffers
    // has run dry meanwhile.
    void asked(qint64 nowNs, int frames, bool heard, bool sounding);

    // Any thread: the fixed delay from a timed command to its frame, the timed commands that
    // came too late to keep it, and the late buffers.
    qint64 startDelayNs() const { return m_startDelayNs.load(std::memory_order_relaxed); }
    quint64 lateStarts() const { return m_lateStarts.load(std::memory_order_relaxed); }
    quint64 lateBuffers() const { return m_lateBuffers.load(std::memory_order_relaxed); }
    // Render: when output frame 0 was asked for, by the device's time line (0: none yet).
    qint64 frameZeroNs() const { return m_baseNs; }

private:
    std::atomic<qint64> m_startDelayNs { 0 };
    std::atomic<quint64> m_lateStarts { 0 };
    std::atomic<quint64> m_lateBuffers { 0 };
    qint64 m_baseNs = 0;
    qint64 m_aheadNs = 0; // the most a paced buffer was rendered ahead of its time
    qint64 m_lastNs = 0; // when the device last asked for sound (0: count afresh)
};

} // namespace pocko
