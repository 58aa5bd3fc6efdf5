#pragma once

#include "audiooutput.h"
#include "platform/startarguments.h"

#include <QList>
#include <QString>

#include <memory>

namespace pocko {

// Which sound system the deck plays through: PulseAudio (or PipeWire's PulseAudio service)
// directly, or SDL's audio with whatever driver SDL picks.
enum class SoundSystem { Pulse, Sdl };

// The outputs there are now, and the system they belong to: the sinks when a PulseAudio server
// answers (unless SDL_AUDIODRIVER names another of SDL's drivers), else SDL's playback devices.
// Blocks for at most about two seconds. GUI thread, before the player starts.
struct OutputList
{
    SoundSystem system = SoundSystem::Sdl;
    QList<OutputDevice> devices;
};
OutputList listOutputs();

// The output a player plays on. With no `device`: PulseAudio where a server runs, SDL's audio
// where none does, chosen afresh at every open. With a `device` of `system`: that one alone, so
// that a deck whose output went away waits for it and never sounds anywhere else.
std::unique_ptr<AudioOutput> makeOutput(SoundSystem system = SoundSystem::Pulse,
                                        const QString &device = QString());

// makeOutput() with no device, but SDL's alone where SDL_AUDIODRIVER names another of SDL's
// drivers than its PulseAudio one (the tests' disk driver, or ALSA by hand).
std::unique_ptr<AudioOutput> defaultOutput();

} // namespace pocko
