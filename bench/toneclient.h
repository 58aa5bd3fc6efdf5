#pragma once

// The bench's minimal PipeWire client: the floor a native stream can reach. The bench's main
// thread opens it and turns its tone on; the tone is made in PipeWire's real-time data thread,
// which reads only an atomic flag.

#include <QString>

#include <atomic>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;

namespace pocko::bench {

// A pw_stream of float32 stereo at 44.1 kHz, as the deck's, asking the graph for 256 frames at
// 48 kHz: silence until tone(true), then a square wave from the next cycle on.
class ToneClient
{
public:
    // `remote`: the daemon's socket (PIPEWIRE_REMOTE's form). Blocks until the stream plays, at
    // most two seconds.
    explicit ToneClient(const QString &remote);
    ~ToneClient();
    ToneClient(const ToneClient &) = delete;
    ToneClient &operator=(const ToneClient &) = delete;

    bool ready() const { return m_ready; }
    void tone(bool on) { m_on.store(on, std::memory_order_release); }

private:
    static void process(void *self);

    pw_thread_loop *m_loop = nullptr;
    pw_context *m_context = nullptr;
    pw_core *m_core = nullptr;
    pw_stream *m_stream = nullptr;
    struct Hook;
    Hook *m_hook = nullptr;
    std::atomic<bool> m_on { false };
    unsigned m_phase = 0; // the data thread's own
    bool m_ready = false;
};

} // namespace pocko::bench
