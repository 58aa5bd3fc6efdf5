#pragma once

#include "audioblock.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdlib>

namespace pocko {

// When PipeWire's PulseAudio service next takes a piece of the deck's queue into its graph. It
// takes one cycle's worth at a time (512 frames at the graph's 48 kHz, 470 of the deck's) and
// asks the deck for more each time the frames taken reach the 512 asked at once: every second
// cycle at 44.1 kHz, right after a take. What it has taken cannot be replaced, so a rewrite
// starts just after the frame taken last only when no take is due before the write lands, and
// one take later otherwise. A gap between requests that is no whole number of 48 kHz cycles
// (another stream holds the graph at a shorter cycle, or the graph runs at another rate) leaves
// the takes unknown: a rewrite then always allows for one.
class GraphCycle
{
public:
    static constexpr qint64 CycleNs = 512 * qint64(1000000000) / 48000;
    // How far off a take may come from where the requests put it (the service's main thread
    // answers a take a little later on a busy machine).
    static constexpr qint64 GuardNs = 1000000;

    // A request for more came at `ns` (a steady clock).
    void requested(qint64 ns)
    {
        if (m_last >= 0)
            m_gap = ns - m_last;
        m_last = ns;
    }

    // True when no take is due from `fromNs` to `toNs`.
    bool clear(qint64 fromNs, qint64 toNs) const
    {
        if (m_gap <= 0 || fromNs < m_last || fromNs - m_last > 2 * m_gap)
            return false;
        const qint64 cycles = (m_gap + CycleNs / 2) / CycleNs;
        if (cycles < 1 || cycles > 4 || std::llabs(m_gap - cycles * CycleNs) > CycleNs / 12)
            return false;
        const qint64 period = m_gap / cycles;
        // Takes come at the last request and every period after it, give or take the guard.
        const qint64 since = fromNs - GuardNs - m_last;
        if (since < 0)
            return false;
        return m_last + (since / period + 1) * period > toNs + GuardNs;
    }

private:
    qint64 m_last = -1;
    qint64 m_gap = -1;
};

// How far after the frame being heard (`heard`) a rewrite starts, in frames: a little after the
// frame the service took last (`taken`), `takeFrames` later when a take may come before the write
// lands, and later by the trip the question to the service took (`tripNs`), twice: the write
// takes one more; never before the frame heard.
inline qint64 takenMargin(qint64 taken, qint64 heard, qint64 tripNs, qint64 takeFrames)
{
    constexpr qint64 TakenSlackFrames = 32;
    const qint64 ahead = takeFrames + 2 * tripNs * OutputRate / 1000000000 + TakenSlackFrames;
    return std::max<qint64>(0, taken + ahead - heard);
}

} // namespace pocko
