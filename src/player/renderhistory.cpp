#include "renderhistory.h"

#include <algorithm>

namespace pocko {

void RenderHistory::recordPlayed(qint64 at, int frames, double startFrame, int cursor, double step)
{
    for (int i = 0; i < frames; ++i) {
        const std::size_t index = std::size_t(at + i) % KeptFrames;
        m_frameAt[index].store(startFrame + double(cursor + i) * step, std::memory_order_relaxed);
        m_stateAt[index].store(qint8(Playing), std::memory_order_relaxed);
    }
    m_recordedTo = at + frames;
}

void RenderHistory::recordHeld(qint64 upTo, double frame, int state)
{
    for (qint64 i = m_recordedTo; i < upTo; ++i) {
        const std::size_t index = std::size_t(i) % KeptFrames;
        m_frameAt[index].store(frame, std::memory_order_relaxed);
        m_stateAt[index].store(qint8(state), std::memory_order_relaxed);
    }
    m_recordedTo = std::max(m_recordedTo, upTo);
}

void RenderHistory::snapshot(qint64 at, std::size_t place, const MixerState &state, bool command)
{
    Snapshot &s = m_snapshots[m_count % Snapshots];
    s.at = at;
    s.place = place;
    s.state = state;
    ++m_count;
    m_oldestRestorable = std::max(m_oldestRestorable, m_count - Snapshots);
    if (command) {
        m_lastCommand = m_count - 1;
        m_commandAt.store(at, std::memory_order_relaxed);
    }
}

std::size_t RenderHistory::releasable(qint64 end, bool longQueue, std::size_t front)
{
    // Into a long queue, the blocks of the newest snapshot older than any queue are kept, and all
    // after; but none before the last command, which no rewrite goes back past. Else every new
    // stream would keep the blocks decoded ahead for the one before it, and quick hits fill the
    // ring.
    if (!longQueue) {
        m_oldestRestorable = m_count;
        return front;
    }
    m_oldestRestorable = std::max(m_oldestRestorable, m_lastCommand);
    while (m_oldestRestorable + 1 < m_count
           && m_snapshots[(m_oldestRestorable + 1) % Snapshots].at <= end - KeptFrames)
        ++m_oldestRestorable;
    return m_oldestRestorable < m_count ? m_snapshots[m_oldestRestorable % Snapshots].place : 0;
}

const RenderHistory::Snapshot *RenderHistory::goBackTo(qint64 from, qint64 end)
{
    qint64 pick = -1;
    for (qint64 i = m_count - 1; i >= m_oldestRestorable; --i) {
        pick = i;
        if (m_snapshots[i % Snapshots].at <= from)
            break;
    }
    if (pick < 0 || m_snapshots[pick % Snapshots].at >= end)
        return nullptr; // nothing to render again
    m_count = pick + 1;
    return &m_snapshots[pick % Snapshots];
}

qint64 RenderHistory::nextHeard(qint64 unheard) const
{
    const qint64 rendered = m_rendered.load(std::memory_order_acquire);
    if (unheard < 0 || rendered == 0)
        return -1;
    const qint64 next
        = std::max({ rendered - unheard, rendered - KeptFrames + 1, qint64(0), commandAt() });
    return next < rendered ? next : -1;
}

} // namespace pocko
