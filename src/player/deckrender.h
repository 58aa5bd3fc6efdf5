#pragma once

// The audio callback's rules:
// - It runs on the sound device's thread, or on the standby thread while no device is open; an
//   atomic flag keeps the two from ever rendering at once.
// - It alone moves the play position. It never locks, allocates, does file I/O, logs or touches
//   Qt: everything it touches is preallocated here, and it talks to the other threads through
//   atomics and two single-producer/single-consumer rings.
// - It takes the GUI thread's commands from one ring and applies them at exact frames; it takes
//   the decoder thread's blocks from the other. Every start and stop of sound it makes is ramped.
// - It publishes its position, its state and the last command it took through atomics.

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

    // The device's callback: fills `frames` frames of float32 stereo. `audible` is false when
    // the buffer goes nowhere; the song then holds its place.
    static void renderOutput(void *user, float *out, int frames, bool audible);
    // Any thread: the fixed delay from a timed command to its frame, as the device's buffers
    // allow (one buffer plus what the GUI thread and the callback's wake-up take), and the timed
    // commands that came too late to keep it.
    qint64 startDelayNs() const { return m_startDelayNs.load(std::memory_order_relaxed); }
    quint64 lateStarts() const { return m_lateStarts.load(std::memory_order_relaxed); }
    void renderExclusive(float *out, int frames, bool audible);

private:
    void render(float *out, int frames, bool audible);
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
};

} // namespace pocko
