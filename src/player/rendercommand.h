#pragma once

#include <QtGlobal>

namespace pocko {

enum PlayState { Stopped = 0, Paused = 1, Playing = 2 };

// A request from the GUI thread to the render, through the render's command ring: plain data,
// copied in and out.
struct RenderCommand
{
    enum class Type : quint8 { Play, Pause, NewStream };
    Type type = Type::Play;
    quint64 sequence = 0;
    quint64 generation = 0; // NewStream: the stream to switch to
    double frame = 0; // NewStream: song frame the position moves to
    int state = Stopped; // NewStream: state after the switch
    bool fadeIn = false; // NewStream: ramp the new stream in (bursts carry their own ramps)
    bool train = false; // NewStream: a burst train, which runs its time also unheard
    // NewStream: the stream goes on where the callback is, which may be past `frame` (the
    // position the GUI thread read); the new stream's frames before it are skipped.
    bool resume = false;
    // When it happened on the steady clock (ns): it takes effect at the frame that sounds
    // the start delay after that (CommandClock), and what follows starts at that frame, under
    // the fade-out of what played before; 0 for the render's next frame, and what follows after
    // the fade-out.
    qint64 atNs = 0;
};

} // namespace pocko
