#pragma once

#include "audioblock.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdlib>

namespace pocko {

// Cycles that PipeWire's graph played without the deck's stream. The PulseAudio service hands
// the stream's queue to the graph one cycle at a time; when the service is late for a cycle (its
// process stalled), the cycle plays without the stream: a hole of one cycle, which the service
// does not report. From then on the stream's read index lies one cycle further behind the clock.
// Fed the read index with the time it was true, this counts such falls: the index against the
// clock moves in steps of a cycle, never more than the piece the deck asks for at once (the
// service sizes the cycle by it), so a fall of more than a piece and a quarter below the highest
// it came is a cycle lost. The highest point sinks slowly, for a sound card whose clock runs a
// little slow or a system clock that is being slewed.
class GraphDrops
{
public:
    static constexpr qint64 SinkPerSecond = 50; // frames: 1,100 ppm
    // A time stamp that moved this much more or less than the steady clock: the system clock
    // was set. The count starts afresh.
    static constexpr qint64 JumpNs = 50000000;

    // Forgets what it saw: a new stream, a new piece size, a stream that ran dry.
    void reset() { m_known = false; }

    // The read index was `frames` at `ns` (the time stamp of the server's answer), which came at
    // `steadyNs`; the deck asks for `piece` frames at once. True when a cycle was lost.
    bool observe(qint64 ns, qint64 steadyNs, qint64 frames, qint64 piece)
    {
        if (m_known && std::llabs((ns - m_lastNs) - (steadyNs - m_lastSteadyNs)) > JumpNs)
            m_known = false;
        const qint64 sinceNs = m_known ? ns - m_lastNs : 0;
        m_lastNs = ns;
        m_lastSteadyNs = steadyNs;
        if (!m_known) {
            m_known = true;
            m_originNs = ns;
            m_originFrames = frames;
            m_top = 0;
            return false;
        }
        const qint64 offset
            = frames - m_originFrames - (ns - m_originNs) / 1000 * OutputRate / 1000000;
        m_top = std::max(offset, m_top - sinceNs / 1000 * SinkPerSecond / 1000000);
        if (offset >= m_top - piece - piece / 4)
            return false;
        m_top = offset;
        return true;
    }

private:
    bool m_known = false;
    qint64 m_originNs = 0;
    qint64 m_originFrames = 0;
    qint64 m_lastNs = 0;
    qint64 m_lastSteadyNs = 0;
    qint64 m_top = 0;
};

} // namespace pocko
