#include "outputchoice.h"

#include "pipewireoutput.h"
#include "pulseoutput.h"
#include "sdloutput.h"

#include <pulse/pulseaudio.h>

#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <optional>

namespace pocko {

namespace {

bool sdlDriverChosen()
{
    const QByteArray driver = qgetenv("SDL_AUDIODRIVER");
    return !driver.isEmpty() && !driver.startsWith("pulse");
}

struct SinkListing
{
    QList<OutputDevice> sinks;
    bool done = false;
};

void addSink(pa_context *, const pa_sink_info *info, int eol, void *user)
{
    auto *listing = static_cast<SinkListing *>(user);
    if (eol != 0 || info == nullptr) {
        listing->done = true;
        return;
    }
    listing->sinks.append(
        OutputDevice { QString::fromUtf8(info->name), QString::fromUtf8(info->description) });
}

// The server's sinks; nothing when no server answers within two seconds.
std::optional<QList<OutputDevice>> pulseSinks()
{
    pa_mainloop *loop = pa_mainloop_new();
    if (!loop)
        return std::nullopt;
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "PockoMP3Player");
    SinkListing listing;
    bool ready = false;
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        pa_operation *operation = nullptr;
        while (!listing.done && std::chrono::steady_clock::now() < deadline) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            if (state == PA_CONTEXT_READY && !operation) {
                ready = true;
                operation = pa_context_get_sink_info_list(context, &addSink, &listing);
                if (!operation)
                    break;
            }
            // At most 10 ms a wait, so that a server that never answers meets the deadline.
            if (pa_mainloop_prepare(loop, 10000) < 0 || pa_mainloop_poll(loop) < 0
                || pa_mainloop_dispatch(loop) < 0)
                break;
        }
        if (operation)
            pa_operation_unref(operation);
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    if (!ready)
        return std::nullopt;
    return listing.sinks;
}

QList<OutputDevice> sdlDevices()
{
    QList<OutputDevice> devices;
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return devices;
    // SDL has no description of its own: the name is what it calls the device.
    for (int i = 0; i < SDL_GetNumAudioDevices(0); ++i) {
        const QString name = QString::fromUtf8(SDL_GetAudioDeviceName(i, 0));
        devices.append(OutputDevice { name, name });
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return devices;
}

} // namespace

std::optional<SoundSystem> forcedSystem()
{
    const QByteArray name = qgetenv("POCKO_AUDIO_OUTPUT").trimmed().toLower();
    if (name == "pipewire")
        return SoundSystem::PipeWire;
    if (name == "pulse")
        return SoundSystem::Pulse;
    if (name == "sdl")
        return SoundSystem::Sdl;
    static bool told = false;
    if (!name.isEmpty() && !told) {
        told = true;
        std::fprintf(stderr, "audio: POCKO_AUDIO_OUTPUT=%s is none of pipewire, pulse, sdl\n",
                     name.constData());
    }
    return std::nullopt;
}

OutputList listOutputs()
{
    const std::optional<SoundSystem> forced = forcedSystem();
    if (forced == SoundSystem::PipeWire)
        return OutputList { SoundSystem::PipeWire,
                            pipeWireSinks().value_or(QList<OutputDevice>()) };
    if (forced == SoundSystem::Pulse)
        return OutputList { SoundSystem::Pulse, pulseSinks().value_or(QList<OutputDevice>()) };
    if (!forced && !sdlDriverChosen()) {
        // A PipeWire daemon may run for video only, and PulseAudio for sound.
        if (std::optional<QList<OutputDevice>> sinks = pipeWireSinks(); sinks && !sinks->isEmpty())
            return OutputList { SoundSystem::PipeWire, *sinks };
        if (std::optional<QList<OutputDevice>> sinks = pulseSinks())
            return OutputList { SoundSystem::Pulse, *sinks };
    }
    return OutputList { SoundSystem::Sdl, sdlDevices() };
}

std::unique_ptr<AudioOutput> makeOutput(SoundSystem system, const QString &device)
{
    if (!device.isEmpty() || forcedSystem() == system) {
        switch (system) {
        case SoundSystem::PipeWire:
            return std::make_unique<PipeWireOutput>(device);
        case SoundSystem::Pulse:
            return std::make_unique<PulseOutput>(device);
        case SoundSystem::Sdl:
            return std::make_unique<SdlOutput>(device);
        }
    }
    if (system == SoundSystem::Sdl)
        return std::make_unique<SdlOutput>();
    auto pulseOrSdl = std::make_unique<FallbackOutput>(std::make_unique<PulseOutput>(),
                                                       std::make_unique<SdlOutput>());
    if (system == SoundSystem::Pulse)
        return pulseOrSdl;
    return std::make_unique<FallbackOutput>(std::make_unique<PipeWireOutput>(),
                                            std::move(pulseOrSdl));
}

std::unique_ptr<AudioOutput> defaultOutput()
{
    if (const std::optional<SoundSystem> forced = forcedSystem())
        return makeOutput(*forced);
    return makeOutput(sdlDriverChosen() ? SoundSystem::Sdl : SoundSystem::PipeWire);
}

} // namespace pocko
