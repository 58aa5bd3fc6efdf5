#include "pulseoutput.h"

#include "audioblock.h"

#include <algorithm>
#include <pulse/pulseaudio.h>

#include <chrono>
#include <thread>

namespace pocko {

namespace {

constexpr std::size_t FrameBytes = 2 * sizeof(float);
// A server that neither answers nor refuses is given up on after this long.
constexpr auto ConnectTimeout = std::chrono::seconds(2);
// On PipeWire: how long a rewrite waits to learn where the service has taken the queue, and how
// long it takes to render.
constexpr qint64 TimingWaitNs = 20000000;
constexpr qint64 RenderNs = 500000;

bool failed(pa_context_state_t state)
{
    return !PA_CONTEXT_IS_GOOD(state);
}

bool failed(pa_stream_state_t state)
{
    return !PA_STREAM_IS_GOOD(state);
}

// A long queue: 100 ms for the deck's first size of 256 frames, more for each step up, 250 ms at
// most (the render keeps what it needs to render it again). It is asked for in pieces of 20 ms:
// few wake-ups, each far ahead of the ear. PipeWire's service sizes its graph's cycle by what is
// asked at once, so it gets pieces of 512 frames: a cycle of 256 (what 256 frames give) drops
// out now and then on a busy machine, whatever plays.
constexpr int LongQueueFrames = 4410;
constexpr int LongestQueueFrames = 11025;
static_assert(LongestQueueFrames + PulseOutput::PipeWireMarginFrames < KeptFrames);

// The server holds one buffer of the deck's size and asks for it in halves: the server's own
// choice (a third or less) wakes the client more often than a busy machine can answer in time.
// Or it holds a long queue.
pa_buffer_attr bufferOf(int frames, bool longQueue, bool onPipeWire)
{
    pa_buffer_attr attributes;
    attributes.maxlength = std::uint32_t(-1);
    attributes.tlength = std::uint32_t(frames) * FrameBytes;
    attributes.prebuf = std::uint32_t(-1);
    attributes.minreq = attributes.tlength / 2;
    attributes.fragsize = std::uint32_t(-1);
    if (longQueue) {
        const qint64 queue = std::clamp<qint64>(qint64(LongQueueFrames) * frames / 256,
                                                LongQueueFrames, LongestQueueFrames);
        attributes.tlength = std::uint32_t(queue) * FrameBytes;
        attributes.minreq = std::uint32_t(onPipeWire ? 512 : 882) * FrameBytes;
    }
    return attributes;
}

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

PulseOutput::PulseOutput(const QString &sink)
    : m_sink(sink.toUtf8())
    , m_rewritten(std::size_t(KeptFrames) * 2)
{
}

PulseOutput::~PulseOutput()
{
    close();
}

bool PulseOutput::open(int frames, RenderFunction render, void *user)
{
    close();
    m_render = render;
    m_user = user;
    m_lost.store(false);
    m_lostNs.store(0);
    m_threadKnown.store(false);
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop)
        return false;
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "PockoMP3Player");
    if (!m_context) {
        close();
        return false;
    }
    pa_context_set_state_callback(m_context, &PulseOutput::contextChanged, this);
    // A server that is not running is not started for the deck: that is the session's business.
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0
        || pa_threaded_mainloop_start(m_loop) < 0) {
        close();
        return false;
    }
    pa_threaded_mainloop_lock(m_loop);
    bool ready = waitUntilReady();
    if (ready)
        learnServer();
    if (ready) {
        const pa_sample_spec spec { PA_SAMPLE_FLOAT32NE, OutputRate, 2 };
        m_stream = pa_stream_new(m_context, "PockoMP3Player", &spec, nullptr);
        ready = m_stream != nullptr;
    }
    if (ready) {
        pa_stream_set_state_callback(m_stream, &PulseOutput::streamChanged, this);
        pa_stream_set_write_callback(m_stream, &PulseOutput::write, this);
        pa_stream_set_underflow_callback(m_stream, &PulseOutput::underflow, this);
        m_long = m_allowLong;
        m_written = 0;
        m_cycle = GraphCycle();
        m_drops.reset();
        const pa_buffer_attr attributes = bufferOf(frames, m_long, m_onPipeWire);
        m_pieceFrames = attributes.minreq / FrameBytes;
        if (m_long && m_onPipeWire)
            pa_stream_set_latency_update_callback(m_stream, &PulseOutput::timingKnown, this);
        // The latency asked for is all the server holds, its own mixing included; PipeWire's
        // service takes early requests, with its graph's cycle as small as a piece asked for.
        // The timing of a long queue tells the frame being heard. A server moves the streams of
        // a sink that goes away to another one: the DJ's headphone deck would sound in the room.
        const bool named = !m_sink.isEmpty();
        int flags = named ? PA_STREAM_DONT_MOVE : 0;
        flags |= m_long && m_onPipeWire ? PA_STREAM_EARLY_REQUESTS : PA_STREAM_ADJUST_LATENCY;
        if (m_long)
            flags |= PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE;
        ready = pa_stream_connect_playback(m_stream, named ? m_sink.constData() : nullptr,
                                           &attributes, pa_stream_flags_t(flags), nullptr, nullptr)
            == 0;
        ready = ready && waitUntilReady();
    }
    m_longOpen.store(ready && m_long);
    pa_threaded_mainloop_unlock(m_loop);
    if (!ready)
        close();
    return ready;
}

qint64 PulseOutput::heardNow() const
{
    pa_usec_t played = 0;
    if (pa_stream_get_time(m_stream, &played) < 0)
        return -1;
    return qint64(played * OutputRate / 1000000);
}

void PulseOutput::publish(qint64 heard)
{
    const quint32 count = m_published.load(std::memory_order_relaxed);
    m_published.store(count + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    m_publishedWritten.store(m_written, std::memory_order_relaxed);
    m_publishedHeard.store(heard, std::memory_order_relaxed);
    m_publishedNs.store(steadyNs(), std::memory_order_relaxed);
    m_published.store(count + 2, std::memory_order_release);
}

qint64 PulseOutput::unheardFrames() const
{
    if (!m_longOpen.load(std::memory_order_acquire))
        return -1;
    qint64 written = 0, heard = -1, at = 0;
    for (int tries = 0; tries < 100; ++tries) {
        const quint32 before = m_published.load(std::memory_order_acquire);
        written = m_publishedWritten.load(std::memory_order_relaxed);
        heard = m_publishedHeard.load(std::memory_order_relaxed);
        at = m_publishedNs.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (before % 2 == 0 && m_published.load(std::memory_order_relaxed) == before)
            break;
    }
    if (heard < 0)
        return -1;
    // The sound goes on at its rate since the server last told where it was, until it was lost.
    const qint64 lostNs = m_lostNs.load(std::memory_order_relaxed);
    const qint64 now = m_lost.load() && lostNs != 0 ? lostNs : steadyNs();
    heard += std::max<qint64>(0, now - at) * OutputRate / 1000000000;
    return std::clamp<qint64>(written - heard, 0, written);
}

bool PulseOutput::rewrite(RewriteFunction renderAgain, void *user)
{
    if (!m_loop || !m_stream || !m_long || m_lost.load())
        return false;
    pa_threaded_mainloop_lock(m_loop);
    bool done = pa_stream_get_state(m_stream) == PA_STREAM_READY;
    qint64 taken = -1;
    qint64 asked = 0, answered = 0;
    if (done && m_onPipeWire) {
        asked = steadyNs();
        taken = takenNow();
        answered = steadyNs();
        // The lock was let go while the service answered: the stream may have failed meanwhile.
        done = pa_stream_get_state(m_stream) == PA_STREAM_READY;
    }
    if (done) {
        const qint64 heard = heardNow();
        const qint64 unheard
            = heard < 0 ? m_written : std::clamp<qint64>(m_written - heard, 0, m_written);
        const qint64 fixed = m_onPipeWire ? PipeWireMarginFrames : PulseMarginFrames;
        qint64 margin = fixed;
        if (taken >= 0 && heard >= 0) {
            // The write lands about one more trip after the answer, and the render takes a
            // little; a take due before then leaves the first piece of the rewrite unheard.
            const qint64 trip = answered - asked;
            const bool clear = m_cycle.clear(asked, answered + trip + RenderNs);
            margin = takenMargin(taken, heard, trip, clear ? 0 : PipeWireLeastFrames);
        }
        // Unknown timing: nothing is replaced, the commands sound from the next piece.
        const qint64 back = heard < 0 ? 0 : std::clamp<qint64>(unheard - margin, 0, KeptFrames);
        const qint64 timedBack = heard < 0 ? 0 : std::clamp<qint64>(unheard - fixed, 0, KeptFrames);
        const qint64 frames = renderAgain(user, m_rewritten.data(), back, timedBack, unheard);
        // One write from the first frame replaced through to the old end: a write that ends
        // inside what the server holds corrupts its queue (PulseAudio 16).
        if (frames > 0)
            done = pa_stream_write(m_stream, m_rewritten.data(), std::size_t(frames) * FrameBytes,
                                   nullptr, -frames * qint64(FrameBytes), PA_SEEK_RELATIVE)
                == 0;
        publish(heard);
    }
    pa_threaded_mainloop_unlock(m_loop);
    return done;
}

qint64 PulseOutput::takenNow()
{
    // Called with the loop locked; the answer's callback needs it unlocked to run. A service that
    // takes long to answer leaves the rewrite to the fixed margin.
    int answer = -1;
    pa_operation *operation = pa_stream_update_timing_info(
        m_stream, [](pa_stream *, int success, void *to) { *static_cast<int *>(to) = success; },
        &answer);
    const qint64 deadline = steadyNs() + TimingWaitNs;
    while (operation && answer < 0 && pa_operation_get_state(operation) == PA_OPERATION_RUNNING
           && steadyNs() < deadline) {
        pa_threaded_mainloop_unlock(m_loop);
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        pa_threaded_mainloop_lock(m_loop);
    }
    if (operation) {
        // The answer's callback writes into this frame: it must not run once this returns.
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
    }
    const pa_timing_info *timing = answer > 0 ? pa_stream_get_timing_info(m_stream) : nullptr;
    if (!timing || timing->read_index_corrupt || timing->read_index < 0)
        return -1;
    return timing->read_index / qint64(FrameBytes);
}

bool PulseOutput::resize(int frames)
{
    if (!m_loop || !m_stream || m_lost.load())
        return false;
    pa_threaded_mainloop_lock(m_loop);
    const pa_buffer_attr attributes = bufferOf(frames, m_long, m_onPipeWire);
    m_resized = -1;
    pa_operation *operation
        = pa_stream_set_buffer_attr(m_stream, &attributes, &PulseOutput::resized, this);
    await(operation, m_resized);
    const bool done = m_resized > 0;
    if (done) {
        m_pieceFrames = attributes.minreq / FrameBytes;
        m_drops.reset();
    }
    pa_threaded_mainloop_unlock(m_loop);
    return done;
}

void PulseOutput::resized(pa_stream *, int success, void *self)
{
    static_cast<PulseOutput *>(self)->m_resized = success ? 1 : 0;
}

void PulseOutput::learnServer()
{
    // Called with the loop locked, as waitUntilReady is.
    m_serverKnown = -1;
    m_onPipeWire = false;
    await(pa_context_get_server_info(m_context, &PulseOutput::serverKnown, this), m_serverKnown);
}

void PulseOutput::await(pa_operation *operation, const int &answer)
{
    // Called with the loop locked; the answer's callback needs it unlocked to run.
    const auto deadline = std::chrono::steady_clock::now() + ConnectTimeout;
    while (operation && answer < 0 && pa_operation_get_state(operation) == PA_OPERATION_RUNNING
           && std::chrono::steady_clock::now() < deadline) {
        pa_threaded_mainloop_unlock(m_loop);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pa_threaded_mainloop_lock(m_loop);
    }
    if (operation)
        pa_operation_unref(operation);
}

void PulseOutput::serverKnown(pa_context *, const pa_server_info *info, void *self)
{
    auto *output = static_cast<PulseOutput *>(self);
    // PipeWire names itself: "PulseAudio (on PipeWire 0.3.65)".
    output->m_onPipeWire
        = info && info->server_name && QByteArray(info->server_name).contains("PipeWire");
    output->m_serverKnown = 1;
}

bool PulseOutput::waitUntilReady()
{
    // Called with the loop locked; the state callbacks need it unlocked to run.
    const auto deadline = std::chrono::steady_clock::now() + ConnectTimeout;
    for (;;) {
        const pa_context_state_t context = pa_context_get_state(m_context);
        if (failed(context))
            return false;
        const bool contextReady = context == PA_CONTEXT_READY;
        if (contextReady && !m_stream)
            return true;
        if (contextReady) {
            const pa_stream_state_t stream = pa_stream_get_state(m_stream);
            if (failed(stream))
                return false;
            if (stream == PA_STREAM_READY)
                return true;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        pa_threaded_mainloop_unlock(m_loop);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pa_threaded_mainloop_lock(m_loop);
    }
}

void PulseOutput::close()
{
    m_longOpen.store(false);
    if (!m_loop)
        return;
    pa_threaded_mainloop_lock(m_loop);
    if (m_stream) {
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_set_write_callback(m_stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(m_stream, nullptr, nullptr);
        pa_stream_set_latency_update_callback(m_stream, nullptr, nullptr);
        pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
    }
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    pa_threaded_mainloop_unlock(m_loop);
    pa_threaded_mainloop_stop(m_loop); // joins the loop's thread: no render runs any more
    pa_threaded_mainloop_free(m_loop);
    m_loop = nullptr;
    m_threadKnown.store(false);
}

bool PulseOutput::makeRealtime()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!m_threadKnown.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return setRealtime(m_thread);
}

void PulseOutput::markLost()
{
    if (!m_lost.exchange(true))
        m_lostNs.store(steadyNs());
}

void PulseOutput::contextChanged(pa_context *context, void *self)
{
    if (failed(pa_context_get_state(context)))
        static_cast<PulseOutput *>(self)->markLost();
}

void PulseOutput::streamChanged(pa_stream *stream, void *self)
{
    if (failed(pa_stream_get_state(stream)))
        static_cast<PulseOutput *>(self)->markLost();
}

void PulseOutput::underflow(pa_stream *, void *self)
{
    auto *output = static_cast<PulseOutput *>(self);
    output->m_underflows.fetch_add(1);
    output->m_drops.reset(); // told already; the index stands until the queue fills again
}

void PulseOutput::timingKnown(pa_stream *stream, void *self)
{
    // On the loop's thread, for every timing answer: the library's own every 1.5 s, and a
    // rewrite's.
    auto *output = static_cast<PulseOutput *>(self);
    const pa_timing_info *timing = pa_stream_get_timing_info(stream);
    if (!timing || timing->read_index_corrupt || !timing->playing) {
        output->m_drops.reset();
        return;
    }
    const qint64 ns = qint64(timing->timestamp.tv_sec) * 1000000000
        + qint64(timing->timestamp.tv_usec) * 1000;
    if (output->m_drops.observe(ns, steadyNs(), timing->read_index / qint64(FrameBytes),
                                output->m_pieceFrames))
        output->m_lostCycles.fetch_add(1);
}

void PulseOutput::write(pa_stream *stream, std::size_t bytes, void *self)
{
    auto *output = static_cast<PulseOutput *>(self);
    if (!output->m_threadKnown.load(std::memory_order_relaxed)) {
        output->m_thread = pthread_self();
        output->m_threadKnown.store(true, std::memory_order_release);
    }
    output->m_cycle.requested(steadyNs());
    while (bytes >= FrameBytes) {
        void *data = nullptr;
        std::size_t size = bytes;
        if (pa_stream_begin_write(stream, &data, &size) < 0 || !data || size < FrameBytes)
            return;
        const std::size_t frames = size / FrameBytes;
        output->m_render(output->m_user, static_cast<float *>(data), int(frames), true);
        pa_stream_write(stream, data, frames * FrameBytes, nullptr, 0, PA_SEEK_RELATIVE);
        output->m_written += qint64(frames);
        bytes -= frames * FrameBytes;
    }
    if (output->m_long)
        output->publish(output->heardNow());
}

} // namespace pocko
