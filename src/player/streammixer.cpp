#include "streammixer.h"

#include "renderhistory.h"

#include <algorithm>
#include <cmath>

namespace pocko {

namespace {

constexpr int SettleFrames = 2048;

} // namespace

void StreamMixer::restore(const MixerState &state)
{
    m_now = state;
    m_now.tailAt = 0;
}

bool StreamMixer::settle(bool audible, int frames)
{
    if (!audible) {
        m_now.settle = SettleFrames;
    } else if (m_now.settle > 0) {
        m_now.settle -= frames;
        audible = false;
    }
    return audible;
}

int StreamMixer::hear(float *out, int frames, bool audible)
{
    int done = 0;
    if (audible == m_now.audible)
        return done;
    if (m_now.state == Playing && !audible) {
        double advance = 0;
        done = silence(out, done, std::min(frames, done + fadeOut(out, done, &advance)));
    }
    m_now.ramp = audible && m_now.state == Playing ? 0 : m_now.ramp;
    m_now.audible = audible;
    return done;
}

void StreamMixer::dropStale()
{
    while (m_blocks.readable() > 0 && m_blocks.peek(0).generation < m_now.generation) {
        m_blocks.advance();
        m_now.cursor = 0;
    }
}

int StreamMixer::fadeOut(float *out, int done, double *advance)
{
    // Renders the frames ahead once more with a falling gain, without consuming them (the
    // position stays where the command took effect), and adds them to what is left of an
    // earlier fade-out from frame `done` on; returns its length.
    mixTail(out, done);
    const float from = rampGain(m_now.ramp);
    std::size_t index = 0;
    int cursor = m_now.cursor;
    int k = 0;
    while (k < FadeFrames && index < m_blocks.readable()) {
        const AudioBlock &block = m_blocks.peek(index);
        if (block.generation != m_now.generation)
            break;
        if (cursor >= block.frames) {
            if (block.end != BlockEnd::None)
                break;
            ++index;
            cursor = 0;
            continue;
        }
        const float gain = from * rampGain(FadeFrames - 1 - k);
        m_now.tail[k * 2] += block.data[std::size_t(cursor) * 2] * gain;
        m_now.tail[k * 2 + 1] += block.data[std::size_t(cursor) * 2 + 1] * gain;
        *advance += block.step;
        ++cursor;
        ++k;
    }
    m_now.tailFrames = std::max(m_now.tailFrames, k);
    return k;
}

int StreamMixer::silence(float *out, int from, int to)
{
    std::fill(out + from * 2, out + to * 2, 0.0f);
    return to;
}

void StreamMixer::mixTail(float *out, int upTo, bool last)
{
    // What sounds after `upTo` moves to the front, zeroed behind.
    float *tail = m_now.tail;
    const int n = std::clamp(upTo - m_now.tailAt, 0, m_now.tailFrames);
    for (int i = 0; i < n * 2; ++i)
        out[m_now.tailAt * 2 + i] += tail[i];
    std::copy(tail + n * 2, tail + m_now.tailFrames * 2, tail);
    std::fill(tail + (m_now.tailFrames - n) * 2, tail + m_now.tailFrames * 2, 0.0f);
    m_now.tailFrames -= n;
    m_now.tailAt = last ? 0 : upTo;
}

int StreamMixer::apply(const RenderCommand &command, float *out, int frames, int done)
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
    MixerState &s = m_now;
    switch (command.type) {
    case RenderCommand::Type::Play:
        if (s.state != Playing) {
            s.state = Playing;
            s.ramp = 0;
        }
        break;
    case RenderCommand::Type::Pause:
        if (s.state == Playing) {
            double advance = 0;
            fade(&advance);
            s.state = Paused;
        }
        break;
    case RenderCommand::Type::NewStream: {
        // A resumed stream takes over where the fade-out of the old one ends.
        double here = s.frame;
        if (s.state == Playing) {
            double advance = 0;
            fade(&advance);
            here += advance;
        }
        s.skipping = command.resume && here > command.frame;
        s.skipTo = here;
        s.generation = command.generation;
        s.frame = s.skipping ? here : command.frame;
        s.state = command.state;
        s.ramp = command.fadeIn ? 0 : FadeFrames;
        s.train = command.train;
        s.started = false;
        dropStale();
        break;
    }
    }
    return done;
}

int StreamMixer::play(float *out, int frames, int done, bool audible, qint64 bufferAt, bool *dry)
{
    MixerState &s = m_now;
    while (done < frames && s.state == Playing && (audible || s.train)) {
        if (m_blocks.readable() == 0) {
            *dry = s.started && audible;
            break;
        }
        const AudioBlock &block = m_blocks.peek(0);
        if (block.generation != s.generation)
            break; // a newer stream whose command has not arrived yet
        if (s.skipping) {
            const double behind = s.skipTo - (block.startFrame + s.cursor * block.step);
            const int left = block.frames - s.cursor;
            const int skip = int(std::clamp(std::round(behind / block.step), 0.0, double(left)));
            s.skipping = skip == left;
            s.cursor += skip;
        }
        const int n = s.skipping ? 0 : std::min(block.frames - s.cursor, frames - done);
        for (int i = 0; i < n; ++i) {
            const std::size_t from = std::size_t(s.cursor + i) * 2;
            float gain = 1.0f;
            if (s.ramp < FadeFrames)
                gain = rampGain(s.ramp++);
            out[(done + i) * 2] = block.data[from] * gain;
            out[(done + i) * 2 + 1] = block.data[from + 1] * gain;
        }
        m_history.recordPlayed(bufferAt + done, n, block.startFrame, s.cursor, block.step);
        if (n > 0)
            s.started = true;
        s.cursor += n;
        done += n;
        s.frame = block.startFrame + double(s.cursor) * block.step;
        if (s.cursor >= block.frames) {
            const BlockEnd end = block.end;
            const double endFrame = block.endFrame;
            m_blocks.advance();
            s.cursor = 0;
            if (end == BlockEnd::Stop) {
                s.state = Stopped;
                s.frame = endFrame;
            } else if (end == BlockEnd::Pause) {
                s.state = Paused;
                s.frame = endFrame;
                s.train = false;
            }
        }
    }
    return done;
}

} // namespace pocko
