#pragma once

// Threads of the deck's player, and the rules each one keeps:
// - GUI thread: every public method (one thread at a time). It never waits on the audio callback,
//   except pause(), which waits at most one device buffer for the exact position it holds. Into
//   a device's long queue it rewrites the queue itself after each command (under the sound
//   library's lock, which the device's callback holds only while it renders).
// - Decoder thread (DecoderFeed): decodes and pushes fixed blocks into a preallocated
//   single-producer/single-consumer ring. It shares one mutex with the GUI thread (the open song
//   and the stream plan).
// - Output and standby threads (OutputKeeper): open, watch and reopen the sound device; the only
//   threads that may block on the sound system for long.
// - The render (DeckRender, on the device's thread, the standby thread or in a rewrite): the only
//   place that moves the play position; its rules stand at the top of deckrender.h and hold in
//   its parts, the command clock (CommandClock), the mixer (StreamMixer) and the history
//   (RenderHistory).

#include "deckrender.h"
#include "decoderfeed.h"
#include "outputkeeper.h"
#include "player.h"

#include <QString>

#include <sys/types.h>

#include <memory>

namespace pocko {

// The deck's player: MP3 files through libmpg123, the rate through libsoxr, sound through one audio
// device (PipeWire's, PulseAudio's or SDL's, unless another output is given) that stays open and
// plays silence while idle.
// While the device is gone the song holds its place, and every command still takes effect; when it
// comes back, sound goes on from that place. Used from the GUI thread; it runs its own decoder,
// output and standby threads besides the device's.
class DeckPlayer : public MediaPlayer
{
public:
    // GUI thread. Starts the threads and waits for the first try to open the device (see
    // soundDeviceEnabled). POCKO_AUDIO_FRAMES=N pins the device buffer to N frames.
    explicit DeckPlayer(std::unique_ptr<AudioOutput> output = nullptr);
    // GUI thread. Closes the device, then ends the threads.
    ~DeckPlayer() override;
    DeckPlayer(const DeckPlayer &) = delete;
    DeckPlayer &operator=(const DeckPlayer &) = delete;

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

    // GUI thread; non-blocking. A change while playing takes effect at the callback's next frame,
    // or a device's margin after the frame being heard.
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
    // GUI thread; non-blocking.
    void setStartTime(qint64 steadyNs) override { m_startNs = steadyNs; }
    // Any thread: the fixed delay from a start time to its sound leaving the player, and the
    // starts that came too late to keep it.
    qint64 startDelayNs() const { return m_render.startDelayNs(); }
    quint64 lateStarts() const { return m_render.lateStarts(); }

    // Any thread: device buffers that found no decoded audio while playing; buffers the device
    // asked for so late that it must have run dry; and the times the device ran dry, as the
    // device tells them where it can (PulseAudio), else the late buffers.
    quint64 underruns() const { return m_render.underruns(); }
    quint64 lateBuffers() const { return m_render.lateBuffers(); }
    quint64 dropouts() const { return m_keeper.dropouts(); }
    // Any thread: the device's buffer size in frames (0 while none is open), and whether its
    // thread runs at real-time priority.
    int deviceFrames() const { return m_keeper.deviceFrames(); }
    bool realtime() const { return m_keeper.realtime(); }
    // GUI thread: waits (up to timeoutMs) until the decoder has the start of the latest stream
    // ready (its first ReservedBlocks blocks, or all it has); false on timeout.
    bool waitForStream(int timeoutMs) const { return m_feed.waitForStream(timeoutMs); }
    // GUI thread: room for a handler's commands (a handler posts a few at most).
    bool commandsFit() const override { return m_render.commandRoom() >= 16; }

private:
    void closeSong();
    void restartStream(qint64 frame, int state, const StreamPlan *train = nullptr,
                       bool resume = false);
    void post(const RenderCommand &command, double frame, int state);
    qint64 frameOf(double seconds) const;
    double knownFrame() const;
    int knownState() const;
    qint64 selectionStartFrame() const;
    qint64 selectionEndFrame() const;

    // Declared in this order so that they end in reverse: the device closes first, the decoder
    // last. The render holds the rings that the others share.
    DeckRender m_render;
    DecoderFeed m_feed;
    OutputKeeper m_keeper;

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
    quint64 m_sequence = 0;
    quint64 m_pendingSequence = 0; // the last command; its values hold until it is acknowledged
    double m_pendingFrame = 0;
    int m_pendingState = Stopped;
    bool m_songOpen = false;
    qint64 m_startNs = 0; // the start time the commands carry
};

} // namespace pocko
