#include "pipewireoutput.h"

#include "audioblock.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/dict.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

namespace pocko {

namespace {

constexpr int FrameBytes = 2 * sizeof(float);
// A daemon that neither answers nor refuses is given up on after this long.
constexpr auto AnswerTimeout = std::chrono::seconds(2);
constexpr const char *AudioSink = "Audio/Sink";

void initOnce()
{
    static const bool done = [] {
        pw_init(nullptr, nullptr);
        return true;
    }();
    Q_UNUSED(done);
}

// CLOCK_MONOTONIC, as pw_time.now is; a vDSO call, fit for the data thread.
qint64 monotonicNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool isAudioSink(const char *type, const spa_dict *props)
{
    if (!props || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0)
        return false;
    const char *mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    return mediaClass && std::strcmp(mediaClass, AudioSink) == 0;
}

} // namespace

struct PipeWireOutput::Hooks
{
    spa_hook core {};
    spa_hook registry {};
    spa_hook stream {};
    bool coreOn = false;
    bool registryOn = false;
    bool streamOn = false;
};

// The callbacks. process() runs in the data thread; the others on the loop's thread. None of
// them locks, allocates or logs.
struct PipeWireEvents
{
    static void process(void *self)
    {
        auto *output = static_cast<PipeWireOutput *>(self);
        if (!output->m_threadKnown.load(std::memory_order_relaxed)) {
            output->m_thread = pthread_self();
            output->m_threadKnown.store(true, std::memory_order_release);
        }
        pw_buffer *buffer = pw_stream_dequeue_buffer(output->m_stream);
        if (!buffer)
            return;
        spa_data &data = buffer->buffer->datas[0];
        auto *out = static_cast<float *>(data.data);
        int frames = int(data.maxsize / FrameBytes);
        // What the graph's cycle takes at the deck's rate; without a word, one deck's buffer.
        frames = std::min<int>(frames,
                               buffer->requested > 0
                                   ? int(buffer->requested)
                                   : output->m_frames.load(std::memory_order_relaxed));
        if (out && frames > 0) {
            output->m_render(output->m_user, out, frames, true);
            output->m_given += frames;
        } else {
            frames = 0;
        }
        data.chunk->offset = 0;
        data.chunk->stride = FrameBytes;
        data.chunk->size = std::uint32_t(frames * FrameBytes);
        buffer->size = std::uint64_t(frames); // what pw_time.queued sums
        pw_stream_queue_buffer(output->m_stream, buffer);

        pw_time time {};
        if (pw_stream_get_time_n(output->m_stream, &time, sizeof time) < 0 || time.rate.num == 0
            || time.rate.denom == 0 || time.now == 0)
            return;
        const qint64 tickRate = qint64(time.rate.denom) / time.rate.num;
        if (output->m_ticksKnown
            && PipeWireOutput::skippedCycles(output->m_lastTicks, time.ticks, output->m_lastFrames,
                                             tickRate)
                > 0)
            output->m_dropouts.fetch_add(1, std::memory_order_relaxed);
        output->m_ticksKnown = true;
        output->m_lastTicks = time.ticks;
        output->m_lastFrames = frames;
        const qint64 unheard = PipeWireOutput::unheardAt(
            time.delay, tickRate, qint64(time.buffered), qint64(time.queued), 0);
        const quint32 count = output->m_published.load(std::memory_order_relaxed);
        output->m_published.store(count + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        output->m_publishedGiven.store(output->m_given, std::memory_order_relaxed);
        output->m_publishedHeard.store(output->m_given - unheard, std::memory_order_relaxed);
        output->m_publishedNs.store(time.now, std::memory_order_relaxed);
        output->m_published.store(count + 2, std::memory_order_release);
    }

    static void streamChanged(void *self, pw_stream_state, pw_stream_state state, const char *)
    {
        auto *output = static_cast<PipeWireOutput *>(self);
        if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
            output->markLost();
        pw_thread_loop_signal(output->m_loop, false);
    }

    static void globalAdded(void *self, uint32_t id, uint32_t, const char *type, uint32_t,
                            const spa_dict *props)
    {
        auto *output = static_cast<PipeWireOutput *>(self);
        if (!isAudioSink(type, props))
            return;
        output->m_sinks.fetch_add(1);
        const char *name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        if (!output->m_sink.isEmpty() && name && output->m_sink == name)
            output->m_targetId.store(id);
    }

    static void globalRemoved(void *self, uint32_t id)
    {
        auto *output = static_cast<PipeWireOutput *>(self);
        // The named sink went away: the stream is lost, whatever the session manager does with
        // it, and opens again only when the sink is back.
        if (!output->m_sink.isEmpty() && id == output->m_targetId.load()) {
            output->m_targetId.store(quint32(-1));
            output->markLost();
        }
    }

    static void coreDone(void *self, uint32_t id, int seq)
    {
        auto *output = static_cast<PipeWireOutput *>(self);
        if (id == PW_ID_CORE && seq == output->m_syncSeq.load()) {
            output->m_synced.store(true);
            pw_thread_loop_signal(output->m_loop, false);
        }
    }

    static void coreError(void *self, uint32_t id, int, int, const char *)
    {
        // The daemon went away (EPIPE) or refused the connection.
        auto *output = static_cast<PipeWireOutput *>(self);
        if (id == PW_ID_CORE) {
            output->markLost();
            pw_thread_loop_signal(output->m_loop, false);
        }
    }
};

namespace {

const pw_stream_events &streamEvents()
{
    static const pw_stream_events events = [] {
        pw_stream_events e {};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &PipeWireEvents::streamChanged;
        e.process = &PipeWireEvents::process;
        return e;
    }();
    return events;
}

const pw_registry_events &registryEvents()
{
    static const pw_registry_events events = [] {
        pw_registry_events e {};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &PipeWireEvents::globalAdded;
        e.global_remove = &PipeWireEvents::globalRemoved;
        return e;
    }();
    return events;
}

const pw_core_events &coreEvents()
{
    static const pw_core_events events = [] {
        pw_core_events e {};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = &PipeWireEvents::coreDone;
        e.error = &PipeWireEvents::coreError;
        return e;
    }();
    return events;
}

} // namespace

PipeWireOutput::PipeWireOutput(const QString &sink)
    : m_sink(sink.toUtf8())
    , m_hooks(new Hooks)
{
    initOnce();
}

PipeWireOutput::~PipeWireOutput()
{
    close();
    delete m_hooks;
}

QByteArray PipeWireOutput::latencyOf(int frames)
{
    return QByteArray::number(frames) + '/' + QByteArray::number(OutputRate);
}

quint64 PipeWireOutput::skippedCycles(quint64 lastTicks, quint64 ticks, int frames, qint64 tickRate)
{
    if (frames <= 0 || tickRate <= 0 || ticks <= lastTicks)
        return 0;
    // One cycle of the graph, in its ticks: the deck's buffer at the deck's rate.
    const qint64 cycle = std::max<qint64>(1, qint64(frames) * tickRate / OutputRate);
    const qint64 gap = qint64(ticks - lastTicks);
    // Half a cycle's slack: the resampler hands out a frame more or less now and then.
    const qint64 cycles = (gap + cycle / 2) / cycle;
    return cycles > 1 ? quint64(cycles - 1) : 0;
}

qint64 PipeWireOutput::unheardAt(qint64 delayTicks, qint64 tickRate, qint64 buffered, qint64 queued,
                                 qint64 sinceNs)
{
    if (tickRate <= 0)
        return 0;
    const qint64 delay = delayTicks * OutputRate / tickRate;
    const qint64 heardSince = sinceNs * OutputRate / 1000000000;
    return std::max<qint64>(0, delay + buffered + queued - heardSince);
}

bool PipeWireOutput::sync()
{
    m_synced.store(false);
    m_syncSeq.store(pw_core_sync(m_core, PW_ID_CORE, 0));
    const auto deadline = std::chrono::steady_clock::now() + AnswerTimeout;
    while (!m_synced.load() && !m_lost.load() && std::chrono::steady_clock::now() < deadline)
        pw_thread_loop_timed_wait(m_loop, 1);
    return m_synced.load() && !m_lost.load();
}

bool PipeWireOutput::open(int frames, RenderFunction render, void *user)
{
    close();
    m_render = render;
    m_user = user;
    m_frames = frames;
    m_lost.store(false);
    m_sinks.store(0);
    m_targetId.store(quint32(-1));
    m_threadKnown.store(false);
    m_given = 0;
    m_ticksKnown = false;
    m_publishedHeard.store(-1);
    m_loop = pw_thread_loop_new("pocko-pipewire", nullptr);
    if (!m_loop)
        return false;
    m_context = pw_context_new(pw_thread_loop_get_loop(m_loop), nullptr, 0);
    if (!m_context || pw_thread_loop_start(m_loop) < 0) {
        close();
        return false;
    }
    pw_thread_loop_lock(m_loop);
    // No daemon: this fails at once, and the deck plays through another sound system.
    m_core = pw_context_connect(m_context, nullptr, 0);
    bool ready = m_core != nullptr;
    if (ready) {
        pw_core_add_listener(m_core, &m_hooks->core, &coreEvents(), this);
        m_hooks->coreOn = true;
        m_registry = pw_core_get_registry(m_core, PW_VERSION_REGISTRY, 0);
        ready = m_registry != nullptr;
    }
    if (ready) {
        pw_registry_add_listener(m_registry, &m_hooks->registry, &registryEvents(), this);
        m_hooks->registryOn = true;
        // A daemon that runs for video only lists no sink; a named one must be there.
        ready = sync() && m_sinks.load() > 0
            && (m_sink.isEmpty() || m_targetId.load() != quint32(-1));
    }
    if (ready) {
        const QByteArray latency = latencyOf(frames);
        pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                                 "Playback", PW_KEY_MEDIA_ROLE, "Music",
                                                 PW_KEY_NODE_LATENCY, latency.constData(), nullptr);
        if (!m_sink.isEmpty()) {
            // target.object alone falls back to the default sink when the target is missing.
            pw_properties_set(props, PW_KEY_TARGET_OBJECT, m_sink.constData());
            pw_properties_set(props, PW_KEY_NODE_DONT_RECONNECT, "true");
        }
        m_stream = pw_stream_new(m_core, "PockoMP3Player", props); // takes props
        ready = m_stream != nullptr;
    }
    if (ready) {
        pw_stream_add_listener(m_stream, &m_hooks->stream, &streamEvents(), this);
        m_hooks->streamOn = true;
        spa_audio_info_raw info {};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = OutputRate;
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        std::uint8_t space[1024];
        spa_pod_builder builder {};
        spa_pod_builder_init(&builder, space, sizeof space);
        const spa_pod *params[1]
            = { spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info) };
        const auto flags = pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                           | PW_STREAM_FLAG_RT_PROCESS);
        ready = pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) == 0;
    }
    if (ready) {
        const auto deadline = std::chrono::steady_clock::now() + AnswerTimeout;
        while (!m_lost.load() && pw_stream_get_state(m_stream, nullptr) != PW_STREAM_STATE_STREAMING
               && std::chrono::steady_clock::now() < deadline)
            pw_thread_loop_timed_wait(m_loop, 1);
        ready
            = !m_lost.load() && pw_stream_get_state(m_stream, nullptr) == PW_STREAM_STATE_STREAMING;
    }
    pw_thread_loop_unlock(m_loop);
    if (!ready) {
        close();
        return false;
    }
    m_open.store(true, std::memory_order_release);
    return true;
}

void PipeWireOutput::close()
{
    m_open.store(false);
    if (!m_loop)
        return;
    pw_thread_loop_lock(m_loop);
    if (m_stream) {
        if (m_hooks->streamOn)
            spa_hook_remove(&m_hooks->stream);
        pw_stream_destroy(m_stream); // once it returns, no process() runs
        m_stream = nullptr;
    }
    if (m_registry) {
        if (m_hooks->registryOn)
            spa_hook_remove(&m_hooks->registry);
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(m_registry));
        m_registry = nullptr;
    }
    if (m_core) {
        if (m_hooks->coreOn)
            spa_hook_remove(&m_hooks->core);
        pw_core_disconnect(m_core);
        m_core = nullptr;
    }
    m_hooks->streamOn = m_hooks->registryOn = m_hooks->coreOn = false;
    pw_thread_loop_unlock(m_loop);
    pw_thread_loop_stop(m_loop);
    if (m_context)
        pw_context_destroy(m_context);
    m_context = nullptr;
    pw_thread_loop_destroy(m_loop);
    m_loop = nullptr;
    m_threadKnown.store(false);
}

bool PipeWireOutput::resize(int frames)
{
    if (!m_loop || !m_stream || m_lost.load())
        return false;
    // The graph runs at the smallest request of its nodes: this asks, on the open stream.
    const QByteArray latency = latencyOf(frames);
    const spa_dict_item item { PW_KEY_NODE_LATENCY, latency.constData() };
    const spa_dict dict { 0, 1, &item };
    pw_thread_loop_lock(m_loop);
    const bool done = pw_stream_update_properties(m_stream, &dict) >= 0;
    pw_thread_loop_unlock(m_loop);
    if (done)
        m_frames = frames;
    return done;
}

bool PipeWireOutput::makeRealtime()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!m_threadKnown.load(std::memory_order_acquire)) {
        if (!m_open.load() || std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int policy = 0;
    sched_param param {};
    if (pthread_getschedparam(m_thread, &policy, &param) == 0
        && (policy == SCHED_FIFO || policy == SCHED_RR))
        return true;
    return setRealtime(m_thread);
}

qint64 PipeWireOutput::unheardFrames() const
{
    if (!m_open.load(std::memory_order_acquire))
        return -1;
    qint64 given = 0, heard = -1, at = 0;
    for (int tries = 0; tries < 100; ++tries) {
        const quint32 before = m_published.load(std::memory_order_acquire);
        given = m_publishedGiven.load(std::memory_order_relaxed);
        heard = m_publishedHeard.load(std::memory_order_relaxed);
        at = m_publishedNs.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (before % 2 == 0 && m_published.load(std::memory_order_relaxed) == before)
            break;
    }
    if (heard < 0 || m_lost.load())
        return -1;
    // The graph goes on at its rate since it last told where it was.
    heard += std::max<qint64>(0, monotonicNs() - at) * OutputRate / 1000000000;
    return std::clamp<qint64>(given - heard, 0, given);
}

namespace {

struct SinkListing
{
    QList<OutputDevice> sinks;
    pw_core *core = nullptr;
    int seq = -1;
    bool done = false;
    bool failed = false;
};

} // namespace

std::optional<QList<OutputDevice>> pipeWireSinks()
{
    // On the calling thread: its own loop, iterated here, so the callbacks run here too.
    initOnce();
    pw_main_loop *loop = pw_main_loop_new(nullptr);
    if (!loop)
        return std::nullopt;
    pw_context *context = pw_context_new(pw_main_loop_get_loop(loop), nullptr, 0);
    pw_core *core = context ? pw_context_connect(context, nullptr, 0) : nullptr;
    std::optional<QList<OutputDevice>> result;
    if (core) {
        SinkListing listing;
        listing.core = core;
        pw_registry *registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
        spa_hook registryHook {};
        spa_hook coreHook {};
        pw_registry_events registryEvents {};
        registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
        registryEvents.global = [](void *to, uint32_t, uint32_t, const char *type, uint32_t,
                                   const spa_dict *props) {
            if (!isAudioSink(type, props))
                return;
            const char *name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
            const char *description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
            if (name)
                static_cast<SinkListing *>(to)->sinks.append(OutputDevice {
                    QString::fromUtf8(name), QString::fromUtf8(description ? description : name) });
        };
        pw_core_events coreEvents {};
        coreEvents.version = PW_VERSION_CORE_EVENTS;
        coreEvents.done = [](void *to, uint32_t id, int seq) {
            auto *l = static_cast<SinkListing *>(to);
            if (id == PW_ID_CORE && seq == l->seq)
                l->done = true;
        };
        coreEvents.error = [](void *to, uint32_t id, int, int, const char *) {
            if (id == PW_ID_CORE)
                static_cast<SinkListing *>(to)->failed = true;
        };
        if (registry) {
            pw_registry_add_listener(registry, &registryHook, &registryEvents, &listing);
            pw_core_add_listener(core, &coreHook, &coreEvents, &listing);
            listing.seq = pw_core_sync(core, PW_ID_CORE, 0);
            const auto deadline = std::chrono::steady_clock::now() + AnswerTimeout;
            pw_loop *inner = pw_main_loop_get_loop(loop);
            pw_loop_enter(inner);
            while (!listing.done && !listing.failed && std::chrono::steady_clock::now() < deadline)
                pw_loop_iterate(inner, 10);
            pw_loop_leave(inner);
            spa_hook_remove(&coreHook);
            spa_hook_remove(&registryHook);
            pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry));
            if (listing.done)
                result = listing.sinks;
        }
        pw_core_disconnect(core);
    }
    if (context)
        pw_context_destroy(context);
    pw_main_loop_destroy(loop);
    return result;
}

} // namespace pocko
