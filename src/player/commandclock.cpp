#include "commandclock.h"

#include "audioblock.h"

#include <algorithm>

namespace pocko {

namespace {

// What a timed command needs beyond one device buffer: the GUI thread's way from the event to
// the post, and the callback's wake-up after its ideal time.
constexpr qint64 StartMarginNs = 2000000;
// What it needs beyond a long queue's own margin: the GUI thread's way from the event to the
// rewrite.
constexpr qint64 TimedMarginNs = 2000000;
// A callback later than this after the time line is taken as a break in the device's pace (a
// dropout, a reopened device), not as a late wake-up: the time line starts afresh.
constexpr qint64 BreakNs = 20000000;
// The device's clock may run slower than the steady clock; the time line follows it by this
// much a second (100 ppm).
constexpr qint64 DriftPerSecondNs = 100000;

} // namespace

void CommandClock::follow(qint64 nowNs, qint64 first, int frames)
{
    const qint64 candidate = nowNs - first * 1000000000 / OutputRate;
    // After a break the device asks for its whole queue at once; its pace, which a timed command
    // waits for, is the size of the buffers it asks for after that.
    const bool fill = m_baseNs == 0 || candidate - m_baseNs > BreakNs;
    if (fill || candidate < m_baseNs) {
        m_baseNs = candidate;
    } else {
        m_baseNs += std::min(candidate - m_baseNs, qint64(frames) * DriftPerSecondNs / OutputRate);
    }
    // How far ahead of its own time this buffer's last frame is rendered: a command for a
    // frame in it must have come before the callback did.
    const qint64 ahead = m_baseNs + (first + frames) * 1000000000 / OutputRate - nowNs;
    if ((!fill && ahead > m_aheadNs) || m_aheadNs == 0) {
        m_aheadNs = fill ? 0 : ahead;
        m_startDelayNs.store(ahead + StartMarginNs, std::memory_order_relaxed);
    }
}

qint64 CommandClock::dueFrame(qint64 atNs, qint64 first) const
{
    return (atNs + m_startDelayNs.load(std::memory_order_relaxed) - m_baseNs) * OutputRate
        / 1000000000
        - first;
}

qint64 CommandClock::dueInQueue(qint64 atNs, qint64 nowNs, qint64 from, qint64 timedFrom,
                                qint64 end, qint64 unheard)
{
    // The device's margin and the GUI thread's way, at the frame heard then.
    const qint64 marginFrames = unheard - (end - timedFrom);
    const qint64 delayNs = marginFrames * 1000000000 / OutputRate + TimedMarginNs;
    m_startDelayNs.store(delayNs, std::memory_order_relaxed);
    const qint64 at = end - unheard + (atNs + delayNs - nowNs) * OutputRate / 1000000000;
    if (at < from) {
        lateStart();
        return from;
    }
    return std::min(at, end);
}

void CommandClock::asked(qint64 nowNs, int frames, bool heard, bool sounding)
{
    if (!heard) {
        m_lastNs = 0;
        return;
    }
    if (m_lastNs != 0 && sounding
        && nowNs - m_lastNs > 2 * qint64(frames) * 1000000000 / OutputRate)
        m_lateBuffers.fetch_add(1, std::memory_order_relaxed);
    m_lastNs = nowNs;
}

} // namespace pocko
