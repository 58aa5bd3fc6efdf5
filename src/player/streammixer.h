#pragma once

// The mixer runs inside the render, on whichever thread renders (see deckrender.h): no lock, no
// allocation, no I/O, no Qt. It works in the buffer it is given and in the preallocated state
// below.

#include "audioblock.h"
#include "rendercommand.h"

namespace pocko {

class RenderHistory;

// Everything the mixer changes as it goes: a snapshot of it (RenderHistory) lets a rewrite
// render again from there.
struct MixerState
{
    quint64 generation = 0;
    int state = Stopped;
    double frame = 0;
    int cursor = 0; // frames of the front block already played
    qint64 ramp = FadeFrames; // progress of the fade-in; FadeFrames = full gain
    // A frame of this generation has sounded; before that, silence is a start, not an underrun.
    bool started = false;
    bool skipping = false; // dropping a resumed stream's frames before skipTo
    double skipTo = 0;
    bool train = false; // the stream is a burst train that has not ended yet
    bool audible = false; // the last buffer was heard
    int settle = 0; // frames of silence still to play on a device just opened
    // The fade-out of a stream that a command ended, rendered ahead when the command took effect
    // and mixed over what follows it, into the next buffer where it runs past this one's end:
    // whatever follows starts at the command's own frame, and no fade is ever cut short.
    int tailFrames = 0; // frames of tail still to mix
    int tailAt = 0; // the frame of the buffer being rendered where tail[0] sounds
    float tail[FadeFrames * 2] = {};
};

// Turns the current stream's decoded blocks into output buffers: the commands' changes of stream
// and state, the ramps at every start and stop of sound, the fade-out of what a command ended
// mixed under what follows it, the burst trains that run their time also unheard, and the song
// frame of every output frame, told to the history. The render owns it and calls it on the
// thread that renders.
class StreamMixer
{
public:
    StreamMixer(SpscRing<AudioBlock, RingBlocks> &blocks, RenderHistory &history)
        : m_blocks(blocks)
        , m_history(history)
    {
    }

    const MixerState &now() const { return m_now; }
    // Back to a kept state, at the start of a buffer.
    void restore(const MixerState &state);

    // A device just opened first plays a little silence: a sound server that starts a new stream
    // may drop its first milliseconds, and with them the fade-in. Whether this buffer of
    // `frames` frames, `audible` as the device says, is heard.
    bool settle(bool audible, int frames);
    // The buffer is heard, or not, unlike the last one: unheard, a playing song holds its place
    // (fading out, should anyone still hear it); heard again, it fades in from there. Returns the
    // frames of the buffer it filled.
    int hear(float *out, int frames, bool audible);
    // Applies a command at frame `done` of the buffer; returns the frame where what follows
    // starts (after a fade-out, or at `done` under it for a timed command).
    int apply(const RenderCommand &command, float *out, int frames, int done);
    // Renders the current stream from `done` up to frame `frames` of the buffer, whose first
    // frame is output frame `bufferAt`; the frames it cannot fill (a pause, an underrun) stay
    // for the caller to silence. `dry`: it stopped for want of decoded blocks once sounding.
    int play(float *out, int frames, int done, bool audible, qint64 bufferAt, bool *dry);
    // Adds the fade-out's frames that sound before frame `upTo` of this buffer; the buffer ends
    // at `upTo` when `last`.
    void mixTail(float *out, int upTo, bool last = false);
    // Drops the blocks of streams older than the current one.
    void dropStale();
    static int silence(float *out, int from, int to);

private:
    int fadeOut(float *out, int done, double *advance);

    SpscRing<AudioBlock, RingBlocks> &m_blocks;
    RenderHistory &m_history;
    MixerState m_now;
};

} // namespace pocko
