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
};

struct MidiMap
{
    QList<MidiBinding> bindings;
    QString error; // "LINE: what is wrong" when the text was refused
};

// The text of a map file: one binding a line, `note N [channel C] = TARGET` or
// `cc N [channel C] = TARGET`, with `#` comments and blank lines.
MidiMap parseMidiMap(const QString &text);

// Pads 36 to 43 play deck 1, 44 to 51 deck 2, on any channel: P1, P2, P3, Play, M1, M2, M3, Stop.
MidiMap defaultMidiMap(int deck);

// The control a message presses, or "" when none: an unbound message, or a release (velocity or
// value 0) of a binding that is a button. A binding on the message's own channel wins over one
// on any channel.
QString midiTarget(const MidiMap &map, const MidiMessage &message);

// The line --midi-monitor prints for a message: "note 36 ch 10 vel 96 -> P1 (deck 1)".
QString midiMonitorLine(const MidiMessage &message, const QString &target, int deck);

} // namespace pocko
