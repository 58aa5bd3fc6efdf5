#pragma once

// The render's rules:
// - It renders on one thread at a time: the sound device's thread, the standby thread while no
//   device is open, or the thread that rewrites a device's queue (the GUI thread, or the output
//   thread when the GUI thread found the device busy). An atomic flag keeps any two from
//   rendering at once; a rewrite also holds the sound library's lock (PulseAudio's mainloop
//   lock), so the device's own callback waits for it, not the other way round. On PipeWire the
//   rewriting thread first asks the service where its queue was taken (one trip, at most
//   20 ms), with that lock let go while it waits; it renders only once the answer is in.
// - It alone moves the play position. It never allocates, does file I/O, logs or touches Qt,
//   and takes no lock of its own: everything it touches is preallocated here, and it talks to
//   the other threads through atomics and two single-producer/single-consumer rings.
// - It takes the GUI thread's commands from one ring and applies them at exact frames; it takes
//   the decoder thread's blocks from the other. Every start and stop of sound it makes is ramped.
// - Into a short device buffer, the device's callback takes the commands at its next frame.
//   Into a long queue (PulseAudio's, 100-250 ms), it renders far ahead of the ear and takes no
//   command: a command is applied by a rewrite, a few milliseconds after the frame being heard,
//   and what was rendered after that frame is rendered again from a state the render kept
//   (snapshots, and the decoded blocks it has not freed yet), so what is heard is what the
//   commands say at the frames they say.
// - It publishes, for every frame it rendered, the song frame and the state there, so the
//   position the deck reports is the one being heard, not the one rendered ahead.
// - Its parts keep the same rules: the command clock (commandclock.h) places the timed commands,
//   the mixer (streammixer.h) makes the sound, the history (renderhistory.h) keeps what a
//   rewrite goes back to.

#include "audioblock.h"
#include "commandclock.h"
#include "rendercommand.h"
#include "renderhistory.h"
#include "streammixer.h"

#include <atomic>

namespace pocko {

// What the deck sounds: the decoded blocks of the current stream, with the commands applied at
// exact frames, the burst trains' ends, the ramps and the selection's end. The GUI thread posts
// commands and reads what is published; the decoder thread fills the block ring; the output
// keeper holds it while it changes the device; the audio callback renders.
class DeckRender
{
public:
    // GUI thread: false when the queue is full (it is emptied every few milliseconds).
    bool post(const RenderCommand &command) { return m_commands.push(command); }
    // GUI thread: how many commands can be posted now.
    std::size_t commandRoom() const { return m_commands.room(); }
    // Any thread: what the callback published after its last buffer.
    double frame() const { return m_publishedFrame.load(std::memory_order_relaxed); }
    int state() const { return m_publishedState.load(std::memory_order_relaxed); }
    // Any thread: the song frame and the state where the device is heard, `unheard` frames
    // before the end of what was rendered, or where the last command takes effect when that is
    // later; with unheard < 0 (the device does not tell), frame() and state().
    double heardFrame(qint64 unheard) const;
    int heardState(qint64 unheard) const;
    quint64 acknowledged() const { return m_acknowledged.load(std::memory_order_acquire); }
    // Any thread: buffers that found no decoded audio while playing, and buffers the device
    // asked for so late that it must have run dry meanwhile.
    quint64 underruns() const { return m_underruns.load(std::memory_order_relaxed); }
    quint64 lateBuffers() const { return m_clock.lateBuffers(); }

    // Decoder thread: the ring it fills.
    SpscRing<AudioBlock, RingBlocks> &blocks() { return m_blocks; }

    // Output keeper: fade out and hold the place (true) until released (false); quiet() tells
    // when the last buffer went unheard.
    void hold(bool on) { m_hold.store(on, std::memory_order_release); }
    bool quiet() const { return m_quiet.load(std::memory_order_acquire); }

    // Output keeper: a device with a long queue is open (true): its callback takes no command,
    // rewrites apply them.
    void setLongQueue(bool on) { m_longQueue.store(on, std::memory_order_release); }
    bool longQueue() const { return m_longQueue.load(std::memory_order_acquire); }

    // The device's callback (a RenderFunction): fills `frames` frames of float32 stereo.
    // `audible` is false when the buffer goes nowhere; the song then holds its place.
    static void renderOutput(void *user, float *out, int frames, bool audible);
    // The same, for the standby thread: renders, or plays silence when another thread renders.
    void renderOrSilence(float *out, int frames, bool audible);
    // A rewrite of the device's queue (see RewriteFunction): applies the queued commands at the
    // earliest frame it may replace, or at a timed command's own frame, and renders again from
    // there. Returns 0, replacing nothing, when no command waits or another thread renders.
    static qint64 rewriteOutput(void *user, float *out, qint64 back, qint64 timedBack,
                                qint64 unheard);
    // Output keeper, once a device with a long queue is closed: the song goes back to where it
    // was heard, `unheard` frames before the end of what was rendered.
    void rewindToHeard(qint64 unheard);
    // Any thread: the fixed delay from a timed command to its frame, as the device's buffers
    // allow (one buffer plus what the GUI thread and the callback's wake-up take), and the timed
    // commands that came too late to keep it.
    qint64 startDelayNs() const { return m_clock.startDelayNs(); }
    quint64 lateStarts() const { return m_clock.lateStarts(); }

private:
    // Who renders: the device's callback, which into a short buffer takes the commands due in
    // it at their frames, and into a long queue none; a rewrite, which takes all that wait at its
    // first frame; or the render going again, unheard, up to a rewrite's frame.
    enum class Pass : quint8 { Device, Rewrite, Replay };

    void render(float *out, int frames, bool audible, Pass pass);
    int play(float *out, int frames, int done, bool audible, Pass pass);
    qint64 rewrite(float *out, qint64 back, qint64 timedBack, qint64 unheard);
    // Renders again, unheard, from a kept state up to `from` (or later, where no state is kept
    // that early); returns where it stands, `end` when it did not go back.
    qint64 replayTo(qint64 from, qint64 end);
    void publish();

    // GUI thread -> audio callback, and decoder thread -> audio callback.
    SpscRing<RenderCommand, 256> m_commands;
    SpscRing<AudioBlock, RingBlocks> m_blocks;

    // Published by the render.
    std::atomic<double> m_publishedFrame { 0 };
    std::atomic<int> m_publishedState { Stopped };
    std::atomic<quint64> m_acknowledged { 0 };
    std::atomic<quint64> m_underruns { 0 };
    std::atomic<bool> m_quiet { true }; // the last render went unheard

    // Set by the output keeper.
    std::atomic<bool> m_hold { false }; // fade out and hold the place
    std::atomic<bool> m_longQueue { false }; // a device with a long queue is open
    std::atomic<bool> m_rendering { false }; // a thread is inside render()

    // The render's own: the output frames rendered so far, and its parts.
    qint64 m_outFrames = 0;
    CommandClock m_clock;
    RenderHistory m_history;
    StreamMixer m_mixer { m_blocks, m_history };
    float m_scratch[BlockFrames * 2] = {};
};

} // namespace pocko
