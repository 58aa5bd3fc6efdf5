// The render's side of a long device queue: the state it keeps as it renders, the rewrite that
// applies a command a few milliseconds after the frame being heard and renders again from
// there, and the song position where the device is heard.

#include "deckrender.h"

#include <algorithm>
#include <chrono>

namespace pocko {

namespace {

// What a timed command (a pad's hit) needs beyond the device's own margin: the GUI thread's way
// from the event to the rewrite.
constexpr qint64 TimedMarginNs = 2000000;

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void DeckRender::keep(qint64 at)
{
    Snapshot &s = m_snapshots[m_snapshotCount % Snapshots];
    s.at = at;
    s.place = m_blocks.readPlace();
    s.generation = m_generation;
    s.state = m_state;
    s.frame = m_frame;
    s.cursor = m_cursor;
    s.ramp = m_ramp;
    s.started = m_started;
    s.skipping = m_skipping;
    s.train = m_train;
    s.audible = m_audible;
    s.skipTo = m_skipTo;
    s.settle = m_settle;
    s.tailFrames = m_tailFrames;
    std::copy(m_tail, m_tail + FadeFrames * 2, s.tail);
    ++m_snapshotCount;
    m_usable = std::max(m_usable, m_snapshotCount - Snapshots);
}

void DeckRender::restore(const Snapshot &s)
{
    m_blocks.rewind(s.place);
    m_outFrames = s.at;
    m_generation = s.generation;
    m_state = s.state;
    m_frame = s.frame;
    m_cursor = s.cursor;
    m_ramp = s.ramp;
    m_started = s.started;
    m_skipping = s.skipping;
    m_train = s.train;
    m_audible = s.audible;
    m_skipTo = s.skipTo;
    m_settle = s.settle;
    m_tailFrames = s.tailFrames;
    m_tailAt = 0;
    std::copy(s.tail, s.tail + FadeFrames * 2, m_tail);
}

void DeckRender::note(int upTo)
{
    // The frames that did not play a block: silence, with the song where it stands.
    for (int i = m_noted; i < upTo; ++i) {
        const std::size_t at = std::size_t(m_outFrames + i) % KeptFrames;
        m_frameAt[at].store(m_frame, std::memory_order_relaxed);
        m_stateAt[at].store(qint8(m_state), std::memory_order_relaxed);
    }
    m_noted = std::max(m_noted, upTo);
}

void DeckRender::releaseHeard()
{
    // Into a short buffer nothing is rendered again: every block taken is freed at once. Into a
    // long queue, the blocks of the newest snapshot older than any queue are kept, and all after;
    // but none before the last command, which no rewrite goes back past. Else every new stream
    // would keep the blocks decoded ahead for the one before it, and quick hits fill the ring.
    if (!m_rewriting.load(std::memory_order_acquire)) {
        m_usable = m_snapshotCount;
        m_blocks.release(m_blocks.readPlace());
        return;
    }
    m_usable = std::max(m_usable, m_commandSnapshot);
    while (m_usable + 1 < m_snapshotCount
           && m_snapshots[(m_usable + 1) % Snapshots].at <= m_outFrames - KeptFrames)
        ++m_usable;
    if (m_usable < m_snapshotCount)
        m_blocks.release(m_snapshots[m_usable % Snapshots].place);
}

qint64 DeckRender::placeOf(const RenderCommand &command, qint64 from, qint64 timedFrom, qint64 end,
                           qint64 unheard)
{
    // A timed command takes effect at a fixed delay after its time: the device's margin and the
    // GUI thread's way, at the frame heard then.
    if (command.atNs == 0)
        return from;
    const qint64 now = steadyNs();
    const qint64 marginFrames = unheard - (end - timedFrom);
    const qint64 delayNs = marginFrames * 1000000000 / OutputRate + TimedMarginNs;
    m_startDelayNs.store(delayNs, std::memory_order_relaxed);
    const qint64 at = end - unheard + (command.atNs + delayNs - now) * OutputRate / 1000000000;
    if (at < from) {
        m_lateStarts.fetch_add(1, std::memory_order_relaxed);
        return from;
    }
    return std::min(at, end);
}

qint64 DeckRender::rewriteOutput(void *user, float *out, qint64 back, qint64 timedBack,
                                 qint64 unheard)
{
    auto *render = static_cast<DeckRender *>(user);
    bool idle = false;
    if (!render->m_rendering.compare_exchange_strong(idle, true, std::memory_order_acquire))
        return 0;
    const qint64 done = render->rewrite(out, back, timedBack, unheard);
    render->m_rendering.store(false, std::memory_order_release);
    return done;
}

qint64 DeckRender::rewrite(float *out, qint64 back, qint64 timedBack, qint64 unheard)
{
    if (m_commands.readable() == 0)
        return 0;
    const qint64 end = m_outFrames;
    back = std::clamp<qint64>(back, 0, std::min<qint64>(KeptFrames, unheard));
    timedBack = std::clamp<qint64>(timedBack, 0, std::min<qint64>(KeptFrames, unheard));
    qint64 from = placeOf(m_commands.peek(0), end - back, end - timedBack, end, unheard);
    // Never before a command taken earlier: what it started stays.
    from = std::max(from, m_commandAt.load(std::memory_order_relaxed));
    from = goBack(from, end);
    if (from == end) {
        // The commands are taken now, to sound from the next buffer's first frame.
        render(out, 0, true, Take::All);
        return 0;
    }
    render(out, int(end - from), true, Take::All);
    return end - from;
}

qint64 DeckRender::goBack(qint64 from, qint64 end)
{
    // The newest kept state at or before that frame, or the oldest one when all are later.
    qint64 pick = -1;
    for (qint64 i = m_snapshotCount - 1; i >= m_usable; --i) {
        const Snapshot &s = m_snapshots[i % Snapshots];
        pick = i;
        if (s.at <= from)
            break;
    }
    if (pick < 0 || m_snapshots[pick % Snapshots].at >= end) {
        from = end; // nothing to render again
    } else {
        const Snapshot &s = m_snapshots[pick % Snapshots];
        from = std::max(from, s.at);
        restore(s);
        m_snapshotCount = pick + 1;
        // Up to the rewrite's frame the render goes again as it went, unheard.
        m_replaying = true;
        while (m_outFrames < from) {
            const int n = int(std::min<qint64>(from - m_outFrames, BlockFrames));
            render(m_scratch, n, true, Take::None);
        }
        m_replaying = false;
    }
    return from;
}

void DeckRender::rewindToHeard(qint64 unheard)
{
    bool idle = false;
    if (unheard <= 0 || !m_rendering.compare_exchange_strong(idle, true, std::memory_order_acquire))
        return;
    // What the lost queue held after the frame being heard never sounded: the song goes on from
    // there, or from the last command's frame when that is later.
    const qint64 end = m_outFrames;
    const qint64 from = std::max(end - std::min<qint64>(unheard, KeptFrames),
                                 m_commandAt.load(std::memory_order_relaxed));
    if (goBack(from, end) < end) {
        m_rendered.store(m_outFrames, std::memory_order_release);
        m_publishedFrame.store(m_frame, std::memory_order_relaxed);
        m_publishedState.store(m_state, std::memory_order_relaxed);
    }
    m_rendering.store(false, std::memory_order_release);
}

qint64 DeckRender::heardIndex(qint64 unheard) const
{
    // The next output frame to be heard, or -1 where only the last render's end is known.
    const qint64 rendered = m_rendered.load(std::memory_order_acquire);
    if (unheard < 0 || rendered == 0)
        return -1;
    const qint64 next = std::max({ rendered - unheard, rendered - KeptFrames + 1, qint64(0),
                                   m_commandAt.load(std::memory_order_relaxed) });
    return next < rendered ? next : -1;
}

double DeckRender::heardFrame(qint64 unheard) const
{
    const qint64 next = heardIndex(unheard);
    return next < 0 ? frame()
                    : m_frameAt[std::size_t(next) % KeptFrames].load(std::memory_order_relaxed);
}

int DeckRender::heardState(qint64 unheard) const
{
    const qint64 next = heardIndex(unheard);
    return next < 0 ? state()
                    : m_stateAt[std::size_t(next) % KeptFrames].load(std::memory_order_relaxed);
}

} // namespace pocko
