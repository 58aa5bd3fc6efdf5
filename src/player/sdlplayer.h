#pragma once

// Threads of the player, and the rules each one keeps:
// - GUI thread: every public method (one thread at a time). It never waits on the audio callback,
//   except pause(), which waits at most one device buffer for the exact position it holds.
// - Decoder thread (std::thread, owned here): decodes with libmpg123, resamples with libsoxr and
//   pushes fixed blocks into a preallocated single-producer/single-consumer ring. It shares one
//   mutex with the GUI thread (the open song and the stream plan).
// - Output thread (std::thread, owned here): opens the sound device, watches it, opens it again
//   when it was lost (a sound server restarted, a device unplugged) and with a larger buffer when
//   it keeps running dry. The only thread that may block on the sound system.
// - Audio callback (the device's thread, or the standby thread while no device is open): the only
//   place that moves the play position. It never locks, allocates, does file I/O, logs or touches
//   Qt. It takes commands from a preallocated single-producer/single-consumer queue, applies them
//   at exact frames, and publishes its position and state through atomics. An atomic flag keeps
//   the device's thread and the standby thread from ever rendering at once.

#include "audioblock.h"
#include "audiooutput.h"
#include "buffersteps.h"
#include "player.h"
#include "songdecoder.h"

#include <QString>

#include <sys/types.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace pocko {

// The deck's player: MP3 files through libmpg123, the rate through libsoxr, sound through one audio
// device (PulseAudio's or SDL's, unless another output is given) that stays open and plays silence
// while idle.
// While the device is gone the song holds its place, and every command still takes effect; when it
// comes back, sound goes on from that place. Used from the GUI thread; it runs its own decoder,
// output and standby threads besides the device's.
class SdlPlayer : public MediaPlayer
{
public:
    // GUI thread. Starts the threads and waits for the first try to open the device (see
    // soundDeviceEnabled). POCKO_AUDIO_FRAMES=N pins the device buffer to N frames.
    explicit SdlPlayer(std::unique_ptr<AudioOutput> output = nullptr);
    // GUI thread. Closes the device, then ends the threads.
    ~SdlPlayer() override;
    SdlPlayer(const SdlPlayer &) = delete;
    SdlPlayer &operator=(const SdlPlayer &) = delete;

    // GUI thread; blocks for the open and the length scan (tens of ms for an hour-long file).
    void setFileName(const QString &path) override;
    // GUI thread; non-blocking (as are all the gets below).
    QString fileName() const override;
    double currentPosition() const override;
    // GUI thread; non-blocking.
    void setCurrentPosition(double seconds) override;
    double duration() const override;

    // GUI thread; non-blocking.
    void play() override;
    // GUI thread; waits until the callback holds the position (one device buffer; 100 ms at most).
    void pause() override;
    // GUI thread; non-blocking.
    void stop() override;

    // GUI thread; non-blocking. A change while playing takes effect at the callback's next frame.
    void setRate(double rate) override;
    // GUI thread; non-blocking.
    void setSelectionStart(double seconds) override;
    void setSelectionEnd(double seconds) override;
    int playState() const override;

    // GUI thread; waits 20 ms at most. True once a device has been open: a lost one is opened
    // again by itself. Before that, asks for a try at once.
    bool soundDeviceEnabled() override;
    // GUI thread; does nothing.
    void setPostOpenReset(int value) override;

    // GUI thread; non-blocking.
    void playBursts(double start, double heardSeconds, int count) override;

    // Any thread: device buffers that found no decoded audio while playing; buffers the device
    // asked for so late that it must have run dry; and the times the device ran dry, as the
    // device tells them where it can (PulseAudio), else the late buffers.
    quint64 underruns() const { return m_underruns.load(std::memory_order_relaxed); }
    quint64 lateBuffers() const { return m_lateBuffers.load(std::memory_order_relaxed); }
    quint64 dropouts() const { return m_dropouts.load(std::memory_order_relaxed); }
    // Any thread: the device's buffer size in frames (0 while none is open), and whether its
    // thread runs at real-time priority.
    int deviceFrames() const { return m_deviceFrames.load(std::memory_order_relaxed); }
    bool realtime() const { return m_realtime.load(std::memory_order_relaxed); }
    // GUI thread: waits (up to timeoutMs) until the decoder has the start of the latest stream
    // ready (its first ReservedBlocks blocks, or all it has); false on timeout.
    bool waitForStream(int timeoutMs) const;

private:
    enum State { Stopped = 0, Paused = 1, Playing = 2 };

    // A request from the GUI thread to the audio callback.
    struct Command
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
    };

    // GUI thread.
    void closeSong();
    void restartStream(qint64 frame, int state, const StreamPlan *train = nullptr,
                       bool resume = false);
    void post(const Command &command, double frame, int state);
    qint64 frameOf(double seconds) const;
    double knownFrame() const;
    int knownState() const;
    qint64 selectionStartFrame() const;
    qint64 selectionEndFrame() const;

    // Decoder thread.
    void decodeLoop();

    // Output thread.
    void outputLoop();
    quint64 countDropouts();
    bool openOutput(int frames);
    void closeOutput(bool fadeOut);
    void setStandby(bool on);

    // Standby thread: renders unheard at the real-time pace while no device is open.
    void standbyLoop();

    // Audio callback (whichever thread holds the render flag).
    static void renderOutput(void *user, float *out, int frames, bool audible);
    void renderExclusive(float *out, int frames, bool audible);
    void render(float *out, int frames, bool audible);
    int apply(const Command &command, float *out, int frames, int done);
    int fadeOut(float *out, int frames, int done, double *advance);
    void dropStale();

    // Shared by the GUI and decoder threads under m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::unique_ptr<SongDecoder> m_song;
    StreamPlan m_plan;
    bool m_planChanged = false;
    bool m_quit = false;
    std::thread m_decoder;

    // Owned by the output thread once the constructor has started it.
    std::unique_ptr<AudioOutput> m_output;
    BufferSteps m_steps;
    quint64 m_deviceDropouts = 0; // as the device counted them at the last look
    quint64 m_unheardDropouts = 0; // of those, the ones while nothing played
    bool m_wasPlaying = false;
    // Shared by the GUI, output and standby threads under m_outputMutex.
    std::mutex m_outputMutex;
    std::condition_variable m_outputWake;
    bool m_outputQuit = false;
    bool m_tryNow = false;
    bool m_standby = true;
    std::thread m_outputThread;
    std::thread m_standbyThread;
    std::array<float, 2 * BufferSteps::Largest> m_standbyBuffer {};

    // GUI thread only.
    QString m_path;
    dev_t m_fileDevice = 0;
    ino_t m_fileInode = 0;
    off_t m_fileSize = 0;
    qint64 m_fileMtimeNs = 0;
    qint64 m_length = 0; // song frames; 0 = no song
    long m_fileRate = 0;
    double m_rate = 1.0;
    double m_selectionStart = -1;
    double m_selectionEnd = -1;
    quint64 m_generation = 0;
    quint64 m_sequence = 0;
    quint64 m_pendingSequence = 0; // the last command; its values hold until it is acknowledged
    double m_pendingFrame = 0;
    int m_pendingState = Stopped;

    // GUI thread -> audio callback, and decoder thread -> audio callback.
    SpscRing<Command, 256> m_commands;
    SpscRing<AudioBlock, RingBlocks> m_blocks;

    // Published by the audio callback.
    std::atomic<double> m_publishedFrame { 0 };
    std::atomic<int> m_publishedState { Stopped };
    std::atomic<quint64> m_acknowledged { 0 };
    std::atomic<quint64> m_underruns { 0 };
    std::atomic<quint64> m_lateBuffers { 0 };
    std::atomic<bool> m_quiet { true }; // the last render went unheard

    // Published by the output thread.
    std::atomic<quint64> m_attempts { 0 }; // tries to open the device so far
    std::atomic<bool> m_everOpened { false };
    std::atomic<int> m_deviceFrames { 0 };
    std::atomic<quint64> m_dropouts { 0 };
    std::atomic<bool> m_realtime { false };
    std::atomic<bool> m_hold { false }; // asks the callback to fade out and hold its place
    std::atomic<bool> m_rendering { false }; // a thread is inside render()
    // Published by the decoder thread: the newest generation whose start is ready.
    std::atomic<quint64> m_readyGeneration { 0 };

    // Audio thread only.
    quint64 m_cbGeneration = 0;
    int m_cbState = Stopped;
    double m_cbFrame = 0;
    int m_cbCursor = 0; // frames of the front block already played
    qint64 m_cbRamp = FadeFrames; // progress of the fade-in; FadeFrames = full gain
    // A frame of this generation has sounded; before that, silence is a start, not an underrun.
    bool m_cbStarted = false;
    bool m_cbSkipping = false; // dropping a resumed stream's frames before m_cbSkipTo
    double m_cbSkipTo = 0;
    bool m_cbTrain = false; // the stream is a burst train that has not ended yet
    bool m_cbAudible = false; // the last render was heard
    int m_cbSettle = 0; // frames of silence still to play on a device just opened
    qint64 m_cbLastNs = 0; // when the device last asked for sound (0: count afresh)
};

} // namespace pocko
