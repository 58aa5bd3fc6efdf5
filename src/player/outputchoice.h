#pragma once

#include "audiooutput.h"
#include "platform/startarguments.h"

#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace pocko {

// Which sound system the deck plays through: a PipeWire stream of its own, PulseAudio (or
// PipeWire's PulseAudio service) directly, or SDL's audio with whatever driver SDL picks.
enum class SoundSystem { PipeWire, Pulse, Sdl };

// The system POCKO_AUDIO_OUTPUT (pipewire, pulse or sdl) forces, if it names one. A name it does
// not know is told on stderr once and ignored.
std::optional<SoundSystem> forcedSystem();

// The outputs there are now, and the system they belong to: PipeWire's Audio/Sink nodes when a
// PipeWire daemon answers and lists one, else the sinks when a PulseAudio server answers (unless
// SDL_AUDIODRIVER names another of SDL's drivers), else SDL's playback devices; only the forced
// system's, when one is. Blocks for at most about four seconds. GUI thread, before the player
// starts.
struct OutputList
{
    SoundSystem system = SoundSystem::Sdl;
    QList<OutputDevice> devices;
};
OutputList listOutputs();

// The output a player plays on. With no `device`: the PipeWire stream where a PipeWire daemon
// lists an Audio/Sink, PulseAudio where a server runs, SDL's audio where neither does, chosen
// afresh at every open. With a `device` of `system`: that one alone, so
// that a deck whose output went away waits for it and never sounds anywhere else.
std::unique_ptr<AudioOutput> makeOutput(SoundSystem system = SoundSystem::Pulse,
                                        const QString &device = QString());

// makeOutput() with no device, but the forced system's alone where POCKO_AUDIO_OUTPUT names one,
// and SDL's alone where SDL_AUDIODRIVER names another of SDL's drivers than its PulseAudio one
// (the tests' disk driver, or ALSA by hand).
std::unique_ptr<AudioOutput> defaultOutput();

} // namespace pocko
