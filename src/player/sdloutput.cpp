#include "sdloutput.h"

#include "audioblock.h"

#include <SDL.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace pocko {

SdlOutput::SdlOutput(const QString &device)
    : m_deviceName(device.toUtf8())
{
}

SdlOutput::~SdlOutput()
{
    close();
    if (m_initialized)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

bool SdlOutput::open(int frames, RenderFunction render, void *user)
{
    close();
    if (!m_initialized) {
        // SDL would otherwise catch SIGINT and SIGTERM for an event queue nobody reads, and the
        // program would no longer end when the session asks it to.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
            return false;
        m_initialized = true;
    }
    m_render = render;
    m_user = user;
    SDL_AudioSpec want;
    std::memset(&want, 0, sizeof want);
    want.freq = OutputRate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = Uint16(frames);
    want.callback = &SdlOutput::callback;
    want.userdata = this;
    SDL_AudioSpec have;
    // No allowed changes: SDL converts when the device runs another format or buffer size.
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(
        m_deviceName.isEmpty() ? nullptr : m_deviceName.constData(), 0, &want, &have, 0);
    if (device == 0)
        return false;
    m_threadKnown.store(false);
    m_device.store(device, std::memory_order_release);
    SDL_PauseAudioDevice(device, 0);
    return true;
}

void SdlOutput::close()
{
    const SDL_AudioDeviceID device = m_device.exchange(0);
    if (device != 0)
        SDL_CloseAudioDevice(device); // joins SDL's audio thread
    m_threadKnown.store(false);
}

bool SdlOutput::lost() const
{
    const SDL_AudioDeviceID device = m_device.load(std::memory_order_acquire);
    return device != 0 && SDL_GetAudioDeviceStatus(device) == SDL_AUDIO_STOPPED;
}

void SdlOutput::restart()
{
    close();
    if (m_initialized)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    m_initialized = false;
}

bool SdlOutput::makeRealtime()
{
    // SDL starts its audio thread on its own; the callback tells which one it is.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!m_threadKnown.load(std::memory_order_acquire)) {
        if (m_device.load() == 0 || std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return setRealtime(m_thread);
}

void SdlOutput::callback(void *self, unsigned char *stream, int bytes)
{
    auto *output = static_cast<SdlOutput *>(self);
    if (!output->m_threadKnown.load(std::memory_order_relaxed)) {
        output->m_thread = pthread_self();
        output->m_threadKnown.store(true, std::memory_order_release);
    }
    // After a disconnect SDL goes on calling at the device's pace into a buffer nobody hears.
    const bool audible = SDL_GetAudioDeviceStatus(output->m_device.load(std::memory_order_relaxed))
        == SDL_AUDIO_PLAYING;
    output->m_render(output->m_user, reinterpret_cast<float *>(stream),
                     bytes / int(2 * sizeof(float)), audible);
}

} // namespace pocko
