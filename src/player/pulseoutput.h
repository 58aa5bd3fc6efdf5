#pragma once

#include "audiooutput.h"
#include "graphcycle.h"
#include "graphdrops.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <pthread.h>
#include <vector>

struct pa_context;
struct pa_operation;
struct pa_server_info;
struct pa_stream;
struct pa_threaded_mainloop;

namespace pocko {

// The sound device through PulseAudio (or PipeWire's PulseAudio service) directly: float32 stereo
// at 44.1 kHz. The server holds a long queue (100 ms, up to 250 ms after buffer steps), which a
// late client or a late server rides out, and a command is heard a few milliseconds after it
// came all the same: the queue is written again from just after the frame being heard, which
// the stream's timing tells, through to its end (the server rewinds its sink for it). With a
// pinned buffer the server holds just one buffer of that size, so a click is heard within it.
// The buffer grows on the open stream, without a break. Unlike SDL's audio it tells when the
// server had to play silence for want of sound, which is what the player's buffer steps go by.
// Driven by the player's output thread; the render function runs on the client library's own
// thread, and a rewrite on the thread that asks for it, under the library's lock.
class PulseOutput : public AudioOutput
{
public:
    // `sink` empty: the server's default sink, and the server may move the stream. A named sink
    // holds the stream: when it goes away the stream is lost, and opens again only on it.
    explicit PulseOutput(const QString &sink = QString());
    ~PulseOutput() override;

    bool open(int frames, RenderFunction render, void *user) override;
    void close() override;
    bool resize(int frames) override;
    void allowLongQueue(bool allow) override { m_allowLong = allow; }
    bool rewrites() const override { return m_long && m_stream; }
    bool rewrite(RewriteFunction renderAgain, void *user) override;
    qint64 unheardFrames() const override;
    bool lost() const override { return m_lost.load(); }
    void restart() override { }
    bool makeRealtime() override;
    bool countsDropouts() const override { return true; }
    quint64 dropouts() const override { return m_underflows.load(); }
    quint64 lostCycles() const override { return m_lostCycles.load(); }
    // PipeWire's PulseAudio service: below 512 frames its queue runs out between the graph's
    // cycles, mostly without a report, and 512 frames are heard as soon as 256 there.
    int leastFrames() const override { return m_onPipeWire ? PipeWireLeastFrames : 0; }
    static constexpr int PipeWireLeastFrames = 512;
    // How far after the frame being heard a rewrite starts: what the server has mixed already
    // and cannot take back. PipeWire's service replaces only what its graph has not taken, and
    // tells where that ends when asked: a rewrite starts just after it, one take later when a
    // take may come before the write lands (GraphCycle), and a trip later for each trip to the
    // service and back that the question took. Without an answer it starts a fixed 16 ms after
    // the frame heard (a cycle of 512 frames more, and the time the service's main thread takes
    // to read the write; at 10 ms a burst's first 2-18 ms were lost on a busy machine).
    static constexpr int PulseMarginFrames = 221; // 5 ms
    static constexpr int PipeWireMarginFrames = 706; // 16 ms

private:
    static void contextChanged(pa_context *context, void *self);
    static void streamChanged(pa_stream *stream, void *self);
    static void write(pa_stream *stream, std::size_t bytes, void *self);
    static void underflow(pa_stream *stream, void *self);
    static void resized(pa_stream *stream, int success, void *self);
    static void timingKnown(pa_stream *stream, void *self);
    static void serverKnown(pa_context *context, const pa_server_info *info, void *self);
    bool waitUntilReady();
    void markLost();
    // With the loop locked: frames heard since the stream began (-1 while its timing is not
    // known yet), and what any thread reads of them.
    qint64 heardNow() const;
    void publish(qint64 heard);
    void learnServer();
    // With the loop locked: where the service's queue has been taken up to, asked afresh (frames
    // since the stream began), or -1 without an answer in time.
    qint64 takenNow();
    // Waits, with the loop locked, until `answer` leaves -1, the operation ends or time is up.
    void await(pa_operation *operation, const int &answer);

    const QByteArray m_sink;
    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    pa_stream *m_stream = nullptr;
    RenderFunction m_render = nullptr;
    void *m_user = nullptr;
    std::atomic<bool> m_lost { false };
    int m_resized = -1; // the server's answer to the last resize; under the loop's lock
    int m_serverKnown = -1; // 1 once the server's name has come; under the loop's lock
    bool m_onPipeWire = false;
    bool m_allowLong = true;
    bool m_long = false; // the open stream keeps a long queue
    qint64 m_written = 0; // frames written since the stream began; under the loop's lock
    GraphCycle m_cycle; // PipeWire's takes, from its requests; under the loop's lock
    GraphDrops m_drops; // PipeWire's cycles played without the stream; under the loop's lock
    qint64 m_pieceFrames = 0; // what the server asks for at once; under the loop's lock
    std::vector<float> m_rewritten; // what a rewrite renders
    // Published for any thread under a sequence count (odd while it changes): frames written,
    // frames heard then (-1: not known), and when (steady clock, ns).
    std::atomic<quint32> m_published { 0 };
    std::atomic<qint64> m_publishedWritten { 0 };
    std::atomic<qint64> m_publishedHeard { -1 };
    std::atomic<qint64> m_publishedNs { 0 };
    std::atomic<bool> m_longOpen { false };
    std::atomic<qint64> m_lostNs { 0 }; // when the stream was lost: nothing was heard after
    std::atomic<quint64> m_underflows { 0 };
    std::atomic<quint64> m_lostCycles { 0 };
    std::atomic<bool> m_threadKnown { false };
    pthread_t m_thread {};
};

} // namespace pocko
