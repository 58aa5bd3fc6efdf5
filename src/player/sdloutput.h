#pragma once

#include "audiooutput.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <pthread.h>

namespace pocko {

// The sound device through SDL's audio: float32 stereo at 44.1 kHz, converted by SDL when the
// device runs another format. Driven by one thread (the player's output thread); the render
// function runs on SDL's audio thread.
class SdlOutput : public AudioOutput
{
public:
    // `device` as SDL names it; empty for SDL's default device.
    explicit SdlOutput(const QString &device = QString());
    ~SdlOutput() override;

    bool open(int frames, RenderFunction render, void *user) override;
    void close() override;
    bool lost() const override;
    void restart() override;
    bool makeRealtime() override;

private:
    static void callback(void *self, unsigned char *stream, int bytes);

    const QByteArray m_deviceName;
    bool m_initialized = false;
    std::atomic<unsigned> m_device { 0 };
    RenderFunction m_render = nullptr;
    void *m_user = nullptr;
    std::atomic<bool> m_threadKnown { false };
    pthread_t m_thread {};
};

} // namespace pocko
