#include "deckrender.h"

#include <algorithm>
#include <chrono>

namespace pocko {

namespace {

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void DeckRender::renderOutput(void *user, float *out, int frames, bool audible)
{
    static_cast<DeckRender *>(user)->renderOrSilence(out, frames, audible);
}

void DeckRender::renderOrSilence(float *out, int frames, bool audible)
{
    // Only while the device and the standby thread hand over can both be here; the one that
    // comes second plays silence for once.
    bool idle = false;
    if (!m_rendering.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
        std::fill(out, out + std::size_t(frames) * 2, 0.0f);
        return;
    }
    render(out, frames, audible, Pass::Device);
    m_rendering.store(false, std::memory_order_release);
}

void DeckRender::render(float *out, int frames, bool audible, Pass pass)
{
    m_history.startBuffer(m_outFrames);
    if (pass != Pass::Replay)
        m_history.snapshot(m_outFrames, m_blocks.readPlace(), m_mixer.now());
    audible = m_mixer.settle(audible && !m_hold.load(std::memory_order_acquire), frames);
    const qint64 now = steadyNs();
    // A rewrite and its rendering again are not the device's pace; into a long queue only a
    // rewrite takes commands, and the time line that places them is the one heard.
    const bool longQueue = m_longQueue.load(std::memory_order_acquire);
    if (pass == Pass::Device) {
        const MixerState &s = m_mixer.now();
        m_clock.asked(now, frames, audible, s.state == Playing && s.started);
        if (!longQueue)
            m_clock.follow(now, m_outFrames, frames);
    }
    const bool takes = pass == Pass::Rewrite || (pass == Pass::Device && !longQueue);
    int done = m_mixer.hear(out, frames, audible);
    quint64 acknowledged = 0;
    // A timed command waits for its frame: the song plays on up to it, and the commands after
    // it wait with it.
    while (takes && m_commands.readable() > 0) {
        const RenderCommand &next = m_commands.peek(0);
        if (next.atNs != 0 && pass == Pass::Device) {
            const qint64 at = m_clock.dueFrame(next.atNs, m_outFrames);
            if (at >= frames)
                break;
            if (at < done)
                m_clock.lateStart();
            const int from = int(std::max<qint64>(at, done));
            done = play(out, from, done, audible, pass);
            StreamMixer::silence(out, done, from);
            done = from;
        }
        const RenderCommand command = next;
        m_commands.pop();
        m_history.recordHeld(m_outFrames + done, m_mixer.now().frame, m_mixer.now().state);
        done = m_mixer.apply(command, out, frames, done);
        acknowledged = command.sequence;
        // What follows the command is kept as it starts, for a rewrite that comes later.
        m_mixer.mixTail(out, done);
        m_history.snapshot(m_outFrames + done, m_blocks.readPlace(), m_mixer.now(), true);
    }
    m_mixer.dropStale();
    done = play(out, frames, done, audible, pass);
    StreamMixer::silence(out, done, frames);
    m_history.recordHeld(m_outFrames + frames, m_mixer.now().frame, m_mixer.now().state);
    m_outFrames += frames;
    m_mixer.mixTail(out, frames, true);
    if (pass == Pass::Replay)
        return;
    m_blocks.release(m_history.releasable(m_outFrames, m_longQueue.load(std::memory_order_acquire),
                                          m_blocks.readPlace()));
    publish();
    m_quiet.store(!audible && m_mixer.now().tailFrames == 0, std::memory_order_release);
    if (acknowledged != 0)
        m_acknowledged.store(acknowledged, std::memory_order_release);
}

int DeckRender::play(float *out, int frames, int done, bool audible, Pass pass)
{
    bool dry = false;
    done = m_mixer.play(out, frames, done, audible, m_outFrames, &dry);
    if (dry && pass != Pass::Replay)
        m_underruns.fetch_add(1, std::memory_order_relaxed);
    return done;
}

void DeckRender::publish()
{
    m_history.published(m_outFrames);
    m_publishedFrame.store(m_mixer.now().frame, std::memory_order_relaxed);
    m_publishedState.store(m_mixer.now().state, std::memory_order_relaxed);
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
    const RenderCommand &first = m_commands.peek(0);
    qint64 from = end - back;
    if (first.atNs != 0)
        from = m_clock.dueInQueue(first.atNs, steadyNs(), from, end - timedBack, end, unheard);
    // Never before a command taken earlier: what it started stays.
    from = std::max(from, m_history.commandAt());
    from = replayTo(from, end);
    if (from == end) {
        // The commands are taken now, to sound from the next buffer's first frame.
        render(out, 0, true, Pass::Rewrite);
        return 0;
    }
    render(out, int(end - from), true, Pass::Rewrite);
    return end - from;
}

qint64 DeckRender::replayTo(qint64 from, qint64 end)
{
    const RenderHistory::Snapshot *s = m_history.goBackTo(from, end);
    if (!s)
        return end;
    from = std::max(from, s->at);
    m_blocks.rewind(s->place);
    m_outFrames = s->at;
    m_mixer.restore(s->state);
    // Up to the rewrite's frame the render goes again as it went, unheard.
    while (m_outFrames < from) {
        const int n = int(std::min<qint64>(from - m_outFrames, BlockFrames));
        render(m_scratch, n, true, Pass::Replay);
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
    const qint64 from
        = std::max(end - std::min<qint64>(unheard, KeptFrames), m_history.commandAt());
    if (replayTo(from, end) < end)
        publish();
    m_rendering.store(false, std::memory_order_release);
}

double DeckRender::heardFrame(qint64 unheard) const
{
    const qint64 next = m_history.nextHeard(unheard);
    return next < 0 ? frame() : m_history.frameAt(next);
}

int DeckRender::heardState(qint64 unheard) const
{
    const qint64 next = m_history.nextHeard(unheard);
    return next < 0 ? state() : m_history.stateAt(next);
}

} // namespace pocko
