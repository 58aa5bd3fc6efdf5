#include "toneclient.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <chrono>
#include <thread>

namespace pocko::bench {

struct ToneClient::Hook
{
    spa_hook stream {};
};

ToneClient::ToneClient(const QString &remote)
    : m_hook(new Hook)
{
    pw_init(nullptr, nullptr);
    m_loop = pw_thread_loop_new("bench-tone", nullptr);
    m_context = m_loop ? pw_context_new(pw_thread_loop_get_loop(m_loop), nullptr, 0) : nullptr;
    if (!m_context || pw_thread_loop_start(m_loop) < 0)
        return;
    const QByteArray socket = remote.toLocal8Bit();
    pw_thread_loop_lock(m_loop);
    m_core = pw_context_connect(
        m_context, pw_properties_new(PW_KEY_REMOTE_NAME, socket.constData(), nullptr), 0);
    if (m_core) {
        m_stream = pw_stream_new(m_core, "bench tone",
                                 pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio",
                                                   PW_KEY_MEDIA_CATEGORY, "Playback",
                                                   PW_KEY_NODE_LATENCY, "256/48000", nullptr));
    }
    if (m_stream) {
        static const pw_stream_events events = [] {
            pw_stream_events e {};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = &ToneClient::process;
            return e;
        }();
        pw_stream_add_listener(m_stream, &m_hook->stream, &events, this);
        spa_audio_info_raw info {};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = 44100;
        info.channels = 2;
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        std::uint8_t space[1024];
        spa_pod_builder builder {};
        spa_pod_builder_init(&builder, space, sizeof space);
        const spa_pod *params[1]
            = { spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info) };
        pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                          | PW_STREAM_FLAG_RT_PROCESS),
                          params, 1);
    }
    pw_thread_loop_unlock(m_loop);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (m_stream && !m_ready && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        pw_thread_loop_lock(m_loop);
        m_ready = pw_stream_get_state(m_stream, nullptr) == PW_STREAM_STATE_STREAMING;
        pw_thread_loop_unlock(m_loop);
    }
}

ToneClient::~ToneClient()
{
    if (m_loop) {
        pw_thread_loop_lock(m_loop);
        if (m_stream)
            pw_stream_destroy(m_stream);
        if (m_core)
            pw_core_disconnect(m_core);
        pw_thread_loop_unlock(m_loop);
        pw_thread_loop_stop(m_loop);
        if (m_context)
            pw_context_destroy(m_context);
        pw_thread_loop_destroy(m_loop);
    }
    delete m_hook;
}

void ToneClient::process(void *self)
{
    auto *client = static_cast<ToneClient *>(self);
    pw_buffer *buffer = pw_stream_dequeue_buffer(client->m_stream);
    if (!buffer)
        return;
    spa_data &data = buffer->buffer->datas[0];
    auto *out = static_cast<float *>(data.data);
    std::uint32_t frames = data.maxsize / (2 * sizeof(float));
    if (buffer->requested > 0 && buffer->requested < frames)
        frames = std::uint32_t(buffer->requested);
    const bool on = client->m_on.load(std::memory_order_acquire);
    for (std::uint32_t i = 0; out && i < frames; ++i) {
        const float v = on ? ((client->m_phase++ / 50) % 2 ? 0.25f : -0.25f) : 0.0f;
        out[2 * i] = out[2 * i + 1] = v;
    }
    data.chunk->offset = 0;
    data.chunk->stride = 2 * sizeof(float);
    data.chunk->size = out ? frames * 2 * sizeof(float) : 0;
    pw_stream_queue_buffer(client->m_stream, buffer);
}

} // namespace pocko::bench
