#pragma once

#include <QList>
#include <QString>

#include <cstddef>

namespace pocko {

// One MIDI message as the deck reads it: a note-on (a note-off is a note-on at velocity 0) or a
// control change. Channels are 1 to 16.
struct MidiMessage
{
    enum class Kind { Note, Control };
    Kind kind = Kind::Note;
    int number = 0;
    int channel = 1;
    int value = 0; // velocity, or the controller's value
};

// A message with the steady clock's reading, in nanoseconds, of when it came in: on JACK the
// time of its own frame, on the ALSA sequencer its arrival.
struct MidiHit
{
    MidiMessage message;
    qint64 arrivedNs = 0;
};

// Reads the bytes of one message; false for anything the deck does not act on (clock, sysex,
// aftertouch, ...).
bool decodeMidi(const unsigned char *bytes, std::size_t size, MidiMessage &message);

// A note or controller bound to one of the deck's controls, by the control's name or caption
// (P, S, R, F, L, thspd, tloop, tsegs, M1-M3, P1-P3; Label1 for the track bar, from a controller).
struct MidiBinding
{
    MidiMessage::Kind kind = MidiMessage::Kind::Note;
    int number = 0;
    int channel = 0; // 0: any channel
    QString target;
    // The velocities of the note-on that lights the pad and darkens it (`light ON OFF`).
    int lightOn = 127;
    int lightOff = 0;
};

struct MidiMap
{
    QList<MidiBinding> bindings;
    QString error; // "LINE: what is wrong" when the text was refused
    bool sectionMissing = false; // the text has no bindings for the deck asked for
};

// The text of a map file: one binding a line, `note N [channel C] = TARGET [light ON OFF]` or
// `cc N [channel C] = TARGET`, with `#` comments and blank lines. `[deck 1]` and `[deck 2]`
// start each deck's bindings (lines before any section are deck 1's); the bindings of `deck`
// are returned, and a fault anywhere refuses the whole text.
MidiMap parseMidiMap(const QString &text, int deck = 1);

// The map `deck` plays by: the default pads when `path` is empty, else its section of the file.
// A file that cannot be read or is refused gives `error` as "PATH: what" or "PATH:LINE: what".
MidiMap readMidiMap(const QString &path, int deck);

// Pads 36 to 43 play deck 1, 44 to 51 deck 2, on any channel: P1, P2, P3, Play, M1, M2, M3, Stop.
MidiMap defaultMidiMap(int deck);

// The line --midi-monitor prints for a message: "note 36 ch 10 vel 96 -> P1 (deck 1)".
QString midiMonitorLine(const MidiMessage &message, const QString &target, int deck);

} // namespace pocko
