#pragma once

#include <QtGlobal>

#include <algorithm>

namespace pocko {

// The sound device's buffer size: small, for a short way from a click to the sound, and a step up
// whenever the device keeps running dry (two dropouts within ten seconds): 256, 512, 1024, then
// 2048 frames. The last step is for a sound server that is itself starved, late by more than
// 23 ms now and then on a machine whose cores are all busy. It never steps down while the program
// runs. A pinned size never steps.
class BufferSteps
{
public:
    static constexpr int Smallest = 256;
    static constexpr int Largest = 2048;
    static constexpr qint64 WindowMs = 10000;

    // pinned: a size to keep (POCKO_AUDIO_FRAMES), or 0 to step.
    explicit BufferSteps(int pinned = 0)
        : m_frames(pinned > 0 ? pinned : Smallest)
        , m_pinned(pinned > 0)
    {
    }

    int frames() const { return m_frames; }
    bool pinned() const { return m_pinned; }

    // A dropout at `ms` (a steady clock). True when the size has just stepped up.
    bool dropout(qint64 ms)
    {
        const bool again = m_last >= 0 && ms - m_last <= WindowMs;
        m_last = ms;
        if (!again || m_pinned || m_frames >= Largest)
            return false;
        m_frames *= 2;
        m_last = -1; // the new size starts with a clean slate
        return true;
    }

    // A size the device needs from the start, not a step (a pinned size stays).
    void atLeast(int frames)
    {
        if (!m_pinned && frames > m_frames) {
            m_frames = std::min(frames, Largest);
            m_last = -1;
        }
    }

private:
    int m_frames;
    bool m_pinned;
    qint64 m_last = -1;
};

} // namespace pocko
