#pragma once

// Threads: the player's output thread opens, resizes and closes the stream and asks whether it
// was lost. The render function runs in PipeWire's real-time data thread (the stream's process
// callback): there nothing locks, allocates, logs or does I/O; it talks to the other threads
// through atomics only. The registry's and the stream's events run on the client's own loop
// thread, and they too only set atomics. unheardFrames() is for any thread.

#include "audiooutput.h"
#include "platform/startarguments.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <optional>
#include <pthread.h>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_registry;
struct pw_stream;
struct spa_dict;

namespace pocko {

// The sound device as a stream of PipeWire's own: float32 stereo at 44.1 kHz, which PipeWire
// resamples to its graph's rate. The deck renders in the graph's cycle, asked for with
// node.latency at the deck's buffer size: a command is heard from the next cycle on, with no
// queue of a sound service in between. A larger buffer is asked for on the open stream. Where
// the stream is heard comes from the stream's timing (the graph's delay to the device, what the
// resampler holds and what is queued); a cycle the graph ran without the deck shows as a jump of
// the graph's clock between two of the deck's cycles, and counts as a dropout.
class PipeWireOutput : public AudioOutput
{
public:
    // `sink` empty: the session's default sink, and the session manager may move the stream. A
    // named sink (its node.name) holds the stream: it never moves to another, the stream is lost
    // when the node goes away, and opens only when the node is there.
    explicit PipeWireOutput(const QString &sink = QString());
    ~PipeWireOutput() override;

    // False at once when no PipeWire daemon answers, or it lists no Audio/Sink (it may run for
    // video only), or the named sink is not there.
    bool open(int frames, RenderFunction render, void *user) override;
    void close() override;
    bool resize(int frames) override;
    bool lost() const override { return m_lost.load(); }
    void restart() override { }
    // The data thread is PipeWire's, which gives it real-time priority where it may: this only
    // tells whether it has it.
    bool makeRealtime() override;
    qint64 unheardFrames() const override;
    bool countsDropouts() const override { return true; }
    quint64 dropouts() const override { return m_dropouts.load(); }

    // node.latency for a buffer of `frames` frames at the deck's rate ("256/44100").
    static QByteArray latencyOf(int frames);
    // Cycles a graph clock's jump from `lastTicks` to `ticks` skipped, where the deck's last
    // buffer of `frames` frames at its rate lasted one cycle and the clock runs at `tickRate`
    // (ticks a second): 0 for a jump of one cycle, give or take the rounding of the resampler.
    static quint64 skippedCycles(quint64 lastTicks, quint64 ticks, int frames, qint64 tickRate);
    // Frames not heard yet of those given, `sinceNs` after the stream's timing was taken: the
    // graph's delay to the device (`delayTicks` at `tickRate`), what the resampler holds and
    // what is queued, less what was heard since.
    static qint64 unheardAt(qint64 delayTicks, qint64 tickRate, qint64 buffered, qint64 queued,
                            qint64 sinceNs);

private:
    // The callbacks of the stream, the registry and the core (pipewireoutput.cpp).
    friend struct PipeWireEvents;

    // With the loop locked: waits until the daemon has told all it has (a round trip).
    bool sync();
    void markLost() { m_lost.store(true); }

    const QByteArray m_sink;
    pw_thread_loop *m_loop = nullptr;
    pw_context *m_context = nullptr;
    pw_core *m_core = nullptr;
    pw_registry *m_registry = nullptr;
    pw_stream *m_stream = nullptr;
    // Listeners (spa_hook), kept opaque here.
    struct Hooks;
    Hooks *m_hooks = nullptr;
    RenderFunction m_render = nullptr;
    void *m_user = nullptr;
    std::atomic<int> m_frames { 256 }; // the buffer asked for; read by the data thread

    // Set on the loop's thread.
    std::atomic<int> m_syncSeq { -1 };
    std::atomic<bool> m_synced { false };
    std::atomic<int> m_sinks { 0 }; // Audio/Sink nodes seen
    std::atomic<quint32> m_targetId { quint32(-1) };
    std::atomic<bool> m_lost { false };

    // The data thread's own, and what it publishes under a sequence count (odd while it
    // changes): frames given, frames heard by then, and when (monotonic ns).
    qint64 m_given = 0;
    quint64 m_lastTicks = 0;
    bool m_ticksKnown = false;
    int m_lastFrames = 0;
    std::atomic<quint32> m_published { 0 };
    std::atomic<qint64> m_publishedGiven { 0 };
    std::atomic<qint64> m_publishedHeard { -1 };
    std::atomic<qint64> m_publishedNs { 0 };
    std::atomic<bool> m_open { false };
    std::atomic<quint64> m_dropouts { 0 };
    std::atomic<bool> m_threadKnown { false };
    pthread_t m_thread {};
};

// The Audio/Sink nodes of the PipeWire daemon (node.name, node.description), or nothing when no
// daemon answers within two seconds. GUI thread; blocks.
std::optional<QList<OutputDevice>> pipeWireSinks();

} // namespace pocko
