#pragma once

namespace pocko {

// ALSA's and JACK's libraries print their own complaints on stderr (SDL's and RtMidi's use of
// ALSA among them): a start with no sound server and no MIDI would write a screenful. These
// handlers, one for the whole process, keep them off; the deck tells each missing part in one
// line of its own. Main thread, first thing in main(), before any thread that uses them starts.
void silenceLibraryErrors();

} // namespace pocko
