#pragma once

// The history is written by the render, on whichever thread renders (see deckrender.h), and its
// recorded frames are read by any thread: no lock, no allocation, no I/O, no Qt. Everything is
// preallocated here; what other threads read are atomics.

#include "streammixer.h"

#include <atomic>
#include <cstddef>

namespace pocko {

// What the render kept of what it rendered into a long device queue, so that a rewrite can go
// back: snapshots of the mixer's state, at the start of every buffer and after every command;
// which of them are still restorable, that is, whose decoded blocks are not freed yet; and, for
// every output frame, the song frame and the state there, from which the deck reports where the
// device is heard. Output frames are counted from the first one the render gave.
class RenderHistory
{
public:
    struct Snapshot
    {
        qint64 at = 0; // the output frame it holds before
        std::size_t place = 0; // the block ring's front
        MixerState state;
    };
    static constexpr int Snapshots = 256;

    // Render: the song frame after each output frame and the state there. A buffer starts at
    // output frame `at`; a block's `frames` frames from `cursor` on, `step` song frames apart,
    // sound from output frame `at`; the frames not recorded yet up to `upTo` held the song at
    // `frame` (silence, a fade-out).
    void startBuffer(qint64 at) { m_recordedTo = at; }
    void recordPlayed(qint64 at, int frames, double startFrame, int cursor, double step);
    void recordHeld(qint64 upTo, double frame, int state);

    // Render: keeps the state at output frame `at`, with the block ring's front at `place`;
    // `command`: it is the state a command just made, and no rewrite goes back past it.
    void snapshot(qint64 at, std::size_t place, const MixerState &state, bool command = false);
    // Render, after a buffer that ends at output frame `end`: the place in the block ring before
    // which no snapshot goes back, so that the blocks before it can be freed. Into a short buffer
    // nothing is rendered again: `front` (all taken).
    std::size_t releasable(qint64 end, bool longQueue, std::size_t front);
    // Render: the newest snapshot at or before output frame `from`, or the oldest one when all
    // are later, that lies before `end`; the snapshots after it are dropped. Null when none.
    const Snapshot *goBackTo(qint64 from, qint64 end);
    // Render: the output frames rendered, to be heard from now on.
    void published(qint64 rendered) { m_rendered.store(rendered, std::memory_order_release); }

    // Any thread: where the last command took effect (no rewrite goes back past it); the next
    // output frame to be heard when `unheard` frames of those rendered are not heard yet (or
    // where the last command took effect, when that is later), -1 where only the last render's
    // end is known (unheard < 0, or nothing rendered); and what was recorded for it.
    qint64 commandAt() const { return m_commandAt.load(std::memory_order_relaxed); }
    qint64 nextHeard(qint64 unheard) const;
    double frameAt(qint64 index) const
    {
        return m_frameAt[std::size_t(index) % KeptFrames].load(std::memory_order_relaxed);
    }
    int stateAt(qint64 index) const
    {
        return m_stateAt[std::size_t(index) % KeptFrames].load(std::memory_order_relaxed);
    }

private:
    // By output frame modulo KeptFrames.
    std::atomic<double> m_frameAt[KeptFrames] = {};
    std::atomic<qint8> m_stateAt[KeptFrames] = {};
    std::atomic<qint64> m_rendered { 0 };
    std::atomic<qint64> m_commandAt { 0 };
    qint64 m_recordedTo = 0; // output frames recorded so far in the buffer being rendered
    Snapshot m_snapshots[Snapshots];
    qint64 m_count = 0; // snapshots taken; the last Snapshots of them are kept
    qint64 m_oldestRestorable = 0; // the first snapshot whose blocks are not freed
    qint64 m_lastCommand = 0; // the one taken after the last command: none before is used
};

} // namespace pocko
