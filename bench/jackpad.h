#pragma once

// The pad sender: a JACK MIDI output that strikes a pad when the bench asks.
//
// Threads: hit() and sentNs() on any thread; process() on JACK's process thread, where it never
// locks, allocates, blocks or does I/O: it only reads and writes atomics and JACK's port buffer.

#include <QtGlobal>

#include <jack/jack.h>

#include <atomic>

namespace pocko::bench {

// A pad on a JACK MIDI output: a note-on written at the start of a JACK cycle, stamped then.
class JackPad
{
public:
    JackPad();
    ~JackPad();
    JackPad(const JackPad &) = delete;
    JackPad &operator=(const JackPad &) = delete;

    bool ready() const { return m_client != nullptr; }
    // Any thread: asks for a hit in the next cycle.
    void hit() { m_pending.store(true); }
    // When the last hit went out (steady clock, ns); 0 until then.
    qint64 sentNs() const { return m_sentNs.load(); }

private:
    static int process(jack_nframes_t frames, void *user);

    jack_client_t *m_client = nullptr;
    jack_port_t *m_port = nullptr;
    std::atomic<bool> m_pending { false };
    std::atomic<qint64> m_sentNs { 0 };
};

} // namespace pocko::bench
