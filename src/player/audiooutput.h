#pragma once

namespace pocko {

// Fills `frames` frames of float32 stereo at `out`. `audible` is false when the buffer goes
// nowhere (the device was lost and only keeps the pace): the player then holds its place.
using RenderFunction = void (*)(void *user, float *out, int frames, bool audible);

// The sound device a player renders into. The player's output thread alone opens, watches and
// closes it; the render function runs on the device's own thread.
class AudioOutput
{
public:
    virtual ~AudioOutput() = default;

    // Opens the device asking for `frames` frames a buffer and starts calling `render`. May block
    // while it reaches a sound server. False when no device could be opened.
    virtual bool open(int frames, RenderFunction render, void *user) = 0;
    // Stops calling render (once this returns, no call is running) and closes the device.
    virtual void close() = 0;
    // The open device stopped working (its server went away, it was unplugged). Non-blocking.
    virtual bool lost() const = 0;
    // Starts the sound back end afresh, for when its connection to the server is dead.
    virtual void restart() = 0;
    // Gives the device's thread, once it has called render, real-time priority where the system
    // allows it. True when it runs real-time.
    virtual bool makeRealtime() { return false; }
};

} // namespace pocko
