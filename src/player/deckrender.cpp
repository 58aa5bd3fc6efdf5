#include "deckrender.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace pocko {

namespace {

constexpr int SettleFrames = 2048;
// What a timed command needs beyond one device buffer: the GUI thread's way from the event to
// the post, and the callback's wake-up after its ideal time.
constexpr qint64 StartMarginNs = 2000000;
// A callback later than this after the time line is taken as a break in the device's pace (a
// dropout, a reopened device), not as a late wake-up: the time line starts afresh.
constexpr qint64 BreakNs = 20000000;
// The device's clock may run slower than the steady clock; the time line follows it by this
// much a second (100 ppm).
constexpr qint64 DriftPerSecondNs = 100000;

} // namespace

void DeckRender::renderOutput(void *user, float *out, int frames, bool audible)
{
    static_cast<DeckRender *>(user)->renderExclusive(out, frames, audible);
}

void DeckRender::renderExclusive(float *out, int frames, bool audible)
{
    // Only while the device and the standby thread hand over can both be here; the one that
    // comes second plays silence for once.
    bool idle = false;
    if (!m_rendering.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
        std::fill(out, out + std::size_t(frames) * 2, 0.0f);
        return;
    }
    render(out, frames, audible);
    m_rendering.store(false, std::memory_order_release);
}

void DeckRender::dropStale()
{
    while (m_blocks.readable() > 0 && m_blocks.peek(0).generation < m_generation) {
        m_blocks.advance();
        m_cursor = 0;
    }
}

int DeckRender::fadeOut(float *out, int done, double *advance)
{
    // Renders the frames ahead once more with a falling gain, without consuming them (the
    // position stays where the command took effect), and adds them to what is left of an
    // earlier fade-out from frame `done` on; returns its length.
    mixTail(out, done);
    const float from = rampGain(m_ramp);
    std::size_t index = 0;
    int cursor = m_cursor;
    int k = 0;
    while (k < FadeFrames && index < m_blocks.readable()) {
        const AudioBlock &block = m_blocks.peek(index);
        if (block.generation != m_generation)
            break;
        if (cursor >= block.frames) {
            if (block.end != BlockEnd::None)
                break;
            ++index;
            cursor = 0;
            continue;
        }
        const float gain = from * rampGain(FadeFrames - 1 - k);
        m_tail[k * 2] += block.data[std::size_t(cursor) * 2] * gain;
        m_tail[k * 2 + 1] += block.data[std::size_t(cursor) * 2 + 1] * gain;
        *advance += block.step;
        ++cursor;
        ++k;
    }
    m_tailFrames = std::max(m_tailFrames, k);
    return k;
}

int DeckRender::silence(float *out, int from, int to)
{
    std::fill(out + from * 2, out + to * 2, 0.0f);
    return to;
}

void DeckRender::mixTail(float *out, int upTo)
{
    // Adds the fade-out's frames that sound before frame `upTo` of this buffer and moves the
    // rest to the front, zeroed behind.
    const int n = std::clamp(upTo - m_tailAt, 0, m_tailFrames);
    for (int i = 0; i < n * 2; ++i)
        out[m_tailAt * 2 + i] += m_tail[i];
    std::copy(m_tail + n * 2, m_tail + m_tailFrames * 2, m_tail);
    std::fill(m_tail + (m_tailFrames - n) * 2, m_tail + m_tailFrames * 2, 0.0f);
    m_tailFrames -= n;
    m_tailAt = upTo;
}

int DeckRender::apply(const RenderCommand &command, float *out, int frames, int done)
{
    // What follows a fade-out starts after it, or, for a timed command (a pad's hit), at the
    // command's own frame, under it.
    const auto fade = [&](double *advance) {
        const int faded = fadeOut(out, done, advance);
        if (command.atNs == 0)
            done = silence(out, done, std::min(frames, done + faded));
        else
            *advance = 0;
    };
    switch (command.type) {
    case RenderCommand::Type::Play:
        if (m_state != Playing) {
            m_state = Playing;
            m_ramp = 0;
        }
        break;
    case RenderCommand::Type::Pause:
        if (m_state == Playing) {
            double advance = 0;
            fade(&advance);
            m_state = Paused;
        }
        break;
    case RenderCommand::Type::NewStream: {
        // A resumed stream takes over where the fade-out of the old one ends.
        double here = m_frame;
        if (m_state == Playing) {
            double advance = 0;
            fade(&advance);
            here += advance;
        }
        m_skipping = command.resume && here > command.frame;
        m_skipTo = here;
        m_generation = command.generation;
        m_frame = m_skipping ? here : command.frame;
        m_state = command.state;
        m_ramp = command.fadeIn ? 0 : FadeFrames;
        m_train = command.train;
        m_started = false;
        dropStale();
        break;
    }
    }
    return done;
}

void DeckRender::keepTime(qint64 now, int frames)
{
    const qint64 candidate = now - m_outFrames * 1000000000 / OutputRate;
    // After a break the device asks for its whole queue at once; its pace, which a timed command
    // waits for, is the size of the buffers it asks for after that.
    const bool fill = m_baseNs == 0 || candidate - m_baseNs > BreakNs;
    if (fill || candidate < m_baseNs) {
        m_baseNs = candidate;
    } else {
        m_baseNs += std::min(candidate - m_baseNs,
                             qint64(frames) * DriftPerSecondNs / OutputRate);
    }
    // How far ahead of its own time this buffer's last frame is rendered: a command for a
    // frame in it must have come before the callback did.
    const qint64 ahead = m_baseNs + (m_outFrames + frames) * 1000000000 / OutputRate - now;
    if ((!fill && ahead > m_aheadNs) || m_aheadNs == 0) {
        m_aheadNs = fill ? 0 : ahead;
        m_startDelayNs.store(ahead + StartMarginNs, std::memory_order_relaxed);
    }
}

void DeckRender::render(float *out, int frames, bool audible, Take take)
{
    m_noted = 0;
    if (!m_replaying)
        keep(m_outFrames);
    audible = audible && !m_hold.load(std::memory_order_acquire);
    // A device just opened first plays a little silence: a sound server that starts a new stream
    // may drop its first milliseconds, and with them the fade-in.
    if (!audible) {
        m_settle = SettleFrames;
    } else if (m_settle > 0) {
        m_settle -= frames;
        audible = false;
    }
    const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    // A rewrite and its rendering again are not the device's pace; into a long queue only a
    // rewrite takes commands, and the time line that places them is the one heard.
    const bool paced = take == Take::Due;
    const bool longQueue = m_rewriting.load(std::memory_order_acquire);
    if (paced && longQueue)
        take = Take::None;
    if (paced && audible) {
        // A device that asks again after more than two of its buffers has run dry meanwhile.
        if (m_lastNs != 0 && m_state == Playing && m_started
            && now - m_lastNs > 2 * qint64(frames) * 1000000000 / OutputRate)
            m_lateBuffers.fetch_add(1, std::memory_order_relaxed);
        m_lastNs = now;
    } else if (paced) {
        m_lastNs = 0;
    }
    if (paced && !longQueue)
        keepTime(now, frames);
    int done = 0;
    quint64 acknowledged = 0;
    if (audible != m_audible) {
        // Unheard, a playing song holds its place (fading out, should anyone still hear it);
        // heard again, it fades in from there.
        if (m_state == Playing && !audible) {
            double advance = 0;
            done = silence(out, done, std::min(frames, done + fadeOut(out, done, &advance)));
        }
        m_ramp = audible && m_state == Playing ? 0 : m_ramp;
        m_audible = audible;
    }
    // A timed command waits for its frame: the song plays on up to it, and the commands after
    // it wait with it.
    const qint64 delayNs = m_startDelayNs.load(std::memory_order_relaxed);
    while (take != Take::None && m_commands.readable() > 0) {
        const RenderCommand &next = m_commands.peek(0);
        if (next.atNs != 0 && take == Take::Due) {
            const qint64 at = (next.atNs + delayNs - m_baseNs) * OutputRate / 1000000000
                - m_outFrames;
            if (at >= frames)
                break;
            if (at < done)
                m_lateStarts.fetch_add(1, std::memory_order_relaxed);
            const int from = int(std::max<qint64>(at, done));
            done = play(out, from, done, audible);
            std::fill(out + done * 2, out + from * 2, 0.0f);
            done = from;
        }
        const RenderCommand command = next;
        m_commands.pop();
        note(done);
        done = apply(command, out, frames, done);
        acknowledged = command.sequence;
        // What follows the command is kept as it starts, for a rewrite that comes later.
        mixTail(out, done);
        keep(m_outFrames + done);
        m_commandSnapshot = m_snapshotCount - 1;
        m_commandAt.store(m_outFrames + done, std::memory_order_relaxed);
    }
    dropStale();
    done = play(out, frames, done, audible);
    std::fill(out + done * 2, out + frames * 2, 0.0f);
    note(frames);
    m_outFrames += frames;
    mixTail(out, frames);
    m_tailAt = 0;
    if (m_replaying)
        return;
    releaseHeard();
    m_rendered.store(m_outFrames, std::memory_order_release);
    m_publishedFrame.store(m_frame, std::memory_order_relaxed);
    m_publishedState.store(m_state, std::memory_order_relaxed);
    m_quiet.store(!audible && m_tailFrames == 0, std::memory_order_release);
    if (acknowledged != 0)
        m_acknowledged.store(acknowledged, std::memory_order_release);
}

// Renders the current stream from `done` up to frame `frames` of the buffer; the frames it
// cannot fill (a pause, an underrun) stay for the caller to silence.
int DeckRender::play(float *out, int frames, int done, bool audible)
{
    while (done < frames && m_state == Playing && (audible || m_train)) {
        if (m_blocks.readable() == 0) {
            if (m_started && audible && !m_replaying)
                m_underruns.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        const AudioBlock &block = m_blocks.peek(0);
        if (block.generation != m_generation)
            break; // a newer stream whose command has not arrived yet
        if (m_skipping) {
            const double behind = m_skipTo - (block.startFrame + m_cursor * block.step);
            const int left = block.frames - m_cursor;
            const int skip = int(std::clamp(std::round(behind / block.step), 0.0, double(left)));
            m_skipping = skip == left;
            m_cursor += skip;
        }
        const int n = m_skipping ? 0 : std::min(block.frames - m_cursor, frames - done);
        for (int i = 0; i < n; ++i) {
            const std::size_t from = std::size_t(m_cursor + i) * 2;
            const std::size_t at = std::size_t(m_outFrames + done + i) % KeptFrames;
            m_frameAt[at].store(block.startFrame + double(m_cursor + i) * block.step,
                                std::memory_order_relaxed);
            m_stateAt[at].store(qint8(Playing), std::memory_order_relaxed);
            float gain = 1.0f;
            if (m_ramp < FadeFrames)
                gain = rampGain(m_ramp++);
            out[(done + i) * 2] = block.data[from] * gain;
            out[(done + i) * 2 + 1] = block.data[from + 1] * gain;
        }
        if (n > 0)
            m_started = true;
        m_cursor += n;
        done += n;
        m_noted = done;
        m_frame = block.startFrame + double(m_cursor) * block.step;
        if (m_cursor >= block.frames) {
            const BlockEnd end = block.end;
            const double endFrame = block.endFrame;
            m_blocks.advance();
            m_cursor = 0;
            if (end == BlockEnd::Stop) {
                m_state = Stopped;
                m_frame = endFrame;
            } else if (end == BlockEnd::Pause) {
                m_state = Paused;
                m_frame = endFrame;
                m_train = false;
            }
        }
    }
    return done;
}

} // namespace pocko
