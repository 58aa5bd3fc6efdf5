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

#include "audioblock.h"

#include <atomic>

namespace pocko {

enum PlayState { Stopped = 0, Paused = 1, Playing = 2 };

// A request from the GUI thread to the audio callback.
struct RenderCommand
{
    enum class Type : quint8 { Play, Pause, NewStream };
    Type type = Type::Play;
    quint64 sequence = 0;
    quint64 generation = 0; // NewStream: the stream to switch to
    double frame = 0; // NewStream: song frame the position moves to
    int state = Stopped; // NewStream: state after the switch
    bool fadeIn = false; // NewStream: ramp the new stream in (bursts carry their own ramps)
    bool train = false; // NewStream: a burst train, which runs its time also unheard
    // NewStream: the stream goes on where the callback is, which may be past `frame` (the
    // position the GUI thread read); the new stream's frames before it are skipped.
    bool resume = false;
    // When it happened on the steady clock (ns): it takes effect at the frame that sounds
    // StartDelayNs after that, and what follows starts at that frame, under the fade-out of what
    // played before; 0 for the callback's next frame, and what follows after the fade-out.
    qint64 atNs = 0;
};

// What the deck sounds: the decoded blocks of the current stream, with the commands applied at
// exact frames, the burst trains' ends, the ramps and the selection's end. The GUI thread posts
// commands and reads what is published; the decoder thread fills the block ring; the output
// keeper holds it while it changes the device; the audio callback renders.
class DeckRender
{
public:
    // GUI thread: false when the queue is full (it is emptied every few milliseconds).
    bool post(const RenderCommand &command) { return m_commands.push(command); }
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
    quint64 lateBuffers() const { return m_lateBuffers.load(std::memory_order_relaxed); }

    // Decoder thread: the ring it fills.
    SpscRing<AudioBlock, RingBlocks> &blocks() { return m_blocks; }

    // Output keeper: fade out and hold the place (true) until released (false); quiet() tells
    // when the last buffer went unheard.
    void hold(bool on) { m_hold.store(on, std::memory_order_release); }
    bool quiet() const { return m_quiet.load(std::memory_order_acquire); }

    // Output keeper: a device with a long queue is open (true): its callback takes no command,
    // rewrites apply them.
    void setRewriting(bool on) { m_rewriting.store(on, std::memory_order_release); }
    bool rewriting() const { return m_rewriting.load(std::memory_order_acquire); }

    // The device's callback: fills `frames` frames of float32 stereo. `audible` is false when
    // the buffer goes nowhere; the song then holds its place.
    static void renderOutput(void *user, float *out, int frames, bool audible);
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
    qint64 startDelayNs() const { return m_startDelayNs.load(std::memory_order_relaxed); }
    quint64 lateStarts() const { return m_lateStarts.load(std::memory_order_relaxed); }
    void renderExclusive(float *out, int frames, bool audible);

private:
    // What the commands taken in a render are: those due in it, none (rendering again up to a
    // rewrite's frame) or all that wait, at its first frame (a rewrite).
    enum class Take : quint8 { Due, None, All };
    // Everything a render changes as it goes, kept at the start of every buffer and after every
    // command, so that a rewrite can render again from there.
    struct Snapshot
    {
        qint64 at = 0; // the output frame it holds before
        std::size_t place = 0; // the block ring's front
        quint64 generation = 0;
        int state = Stopped;
        double frame = 0;
        int cursor = 0;
        qint64 ramp = 0;
        bool started = false, skipping = false, train = false, audible = false;
        double skipTo = 0;
        int settle = 0;
        int tailFrames = 0;
        float tail[FadeFrames * 2] = {};
    };
    static constexpr int Snapshots = 256;

    void render(float *out, int frames, bool audible, Take take = Take::Due);
    qint64 rewrite(float *out, qint64 back, qint64 timedBack, qint64 unheard);
    // Renders again, unheard, from a kept state up to `from` (or later, where no state is kept
    // that early); returns where it stands, `end` when it did not go back.
    qint64 goBack(qint64 from, qint64 end);
    void keep(qint64 at);
    void restore(const Snapshot &snapshot);
    void releaseHeard();
    void note(int upTo);
    qint64 heardIndex(qint64 unheard) const;
    qint64 placeOf(const RenderCommand &command, qint64 from, qint64 timedFrom, qint64 end,
                   qint64 unheard);
    int apply(const RenderCommand &command, float *out, int frames, int done);
    int fadeOut(float *out, int done, double *advance);
    void mixTail(float *out, int upTo);
    static int silence(float *out, int from, int to);
    void dropStale();
    int play(float *out, int frames, int done, bool audible);
    void keepTime(qint64 now, int frames);

    // GUI thread -> audio callback, and decoder thread -> audio callback.
    SpscRing<RenderCommand, 256> m_commands;
    SpscRing<AudioBlock, RingBlocks> m_blocks;

    // Published by the audio callback.
    std::atomic<double> m_publishedFrame { 0 };
    std::atomic<int> m_publishedState { Stopped };
    std::atomic<quint64> m_acknowledged { 0 };
    std::atomic<quint64> m_underruns { 0 };
    std::atomic<quint64> m_lateBuffers { 0 };
    std::atomic<bool> m_quiet { true }; // the last render went unheard
    std::atomic<qint64> m_startDelayNs { 0 };
    std::atomic<quint64> m_lateStarts { 0 };

    // Set by the output keeper.
    std::atomic<bool> m_hold { false }; // fade out and hold the place
    std::atomic<bool> m_rewriting { false }; // a device with a long queue is open
    std::atomic<bool> m_rendering { false }; // a thread is inside render()

    // Audio thread only.
    quint64 m_generation = 0;
    int m_state = Stopped;
    double m_frame = 0;
    int m_cursor = 0; // frames of the front block already played
    qint64 m_ramp = FadeFrames; // progress of the fade-in; FadeFrames = full gain
    // A frame of this generation has sounded; before that, silence is a start, not an underrun.
    bool m_started = false;
    bool m_skipping = false; // dropping a resumed stream's frames before m_skipTo
    double m_skipTo = 0;
    bool m_train = false; // the stream is a burst train that has not ended yet
    bool m_audible = false; // the last render was heard
    int m_settle = 0; // frames of silence still to play on a device just opened
    qint64 m_lastNs = 0; // when the device last asked for sound (0: count afresh)
    // The device's time line: the steady time (ns) at which output frame 0 was asked for, as the
    // earliest of the callbacks' own times says (a late wake-up only makes one callback later),
    // and the output frames rendered since.
    qint64 m_baseNs = 0;
    qint64 m_outFrames = 0;
    qint64 m_aheadNs = 0; // the most a paced buffer was rendered ahead of its time
    // The fade-out of a stream that a command ended, rendered ahead when the command took effect
    // and mixed over what follows it, into the next buffer where it runs past this one's end:
    // whatever follows starts at the command's own frame, and no fade is ever cut short.
    float m_tail[FadeFrames * 2] = {};
    int m_tailFrames = 0; // frames of m_tail still to mix
    int m_tailAt = 0; // the frame of the buffer being rendered where m_tail[0] sounds

    // For rewrites. The song frame after each output frame and the state there, by output frame
    // modulo KeptFrames; the output frames published (m_outFrames after the last render) and
    // the frame where the last command took effect.
    std::atomic<double> m_frameAt[KeptFrames] = {};
    std::atomic<qint8> m_stateAt[KeptFrames] = {};
    std::atomic<qint64> m_rendered { 0 };
    std::atomic<qint64> m_commandAt { 0 };
    int m_noted = 0; // frames of the buffer being rendered whose frame and state are kept
    Snapshot m_snapshots[Snapshots];
    qint64 m_snapshotCount = 0; // snapshots taken; the last Snapshots of them are kept
    qint64 m_usable = 0; // the first snapshot whose blocks are not freed
    qint64 m_commandSnapshot = 0; // the one taken after the last command: none before is used
    bool m_replaying = false; // rendering again up to a rewrite's frame, unheard
    float m_scratch[BlockFrames * 2] = {};
};

} // namespace pocko
