#pragma once

#include "audiooutput.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <pthread.h>

struct pa_context;
struct pa_operation;
struct pa_server_info;
struct pa_stream;
struct pa_threaded_mainloop;

namespace pocko {

// The sound device through PulseAudio (or PipeWire's PulseAudio service) directly: float32 stereo
// at 44.1 kHz, the server holding one buffer of it, so a click is heard within that buffer; the
// buffer grows on the open stream, without a break. Unlike
// SDL's audio it tells when the server had to play silence for want of sound, which is what the
// player's buffer steps go by. Driven by the player's output thread; the render function runs on
// the client library's own thread.
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
    bool lost() const override { return m_lost.load(); }
    void restart() override { }
    bool makeRealtime() override;
    bool countsDropouts() const override { return true; }
    quint64 dropouts() const override { return m_underflows.load(); }
    // PipeWire's PulseAudio service: below 512 frames its queue runs out between the graph's
    // cycles, mostly without a report, and 512 frames are heard as soon as 256 there.
    int leastFrames() const override { return m_onPipeWire ? PipeWireLeastFrames : 0; }
    static constexpr int PipeWireLeastFrames = 512;

private:
    static void contextChanged(pa_context *context, void *self);
    static void streamChanged(pa_stream *stream, void *self);
    static void write(pa_stream *stream, std::size_t bytes, void *self);
    static void underflow(pa_stream *stream, void *self);
    static void resized(pa_stream *stream, int success, void *self);
    static void serverKnown(pa_context *context, const pa_server_info *info, void *self);
    bool waitUntilReady();
    void learnServer();
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
    std::atomic<quint64> m_underflows { 0 };
    std::atomic<bool> m_threadKnown { false };
    pthread_t m_thread {};
};

} // namespace pocko
