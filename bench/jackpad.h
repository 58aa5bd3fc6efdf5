#pragma once

// The pad sender: a JACK MIDI output that strikes a pad when the bench asks, as a controller
// behind a bridge does.
//
// Threads: strike() and struckNs() on any thread; process() on JACK's process thread, where it
// never locks, allocates, blocks or does I/O: it only reads and writes atomics and JACK's port
// buffer.

#include <QtGlobal>

#include <jack/jack.h>

#include <atomic>

namespace pocko::bench {

// A pad on a JACK MIDI output. A bridge passes each event on one period after it came, at the
// frame offset where it fell in its cycle: a strike at frame F goes out in the next cycle at
// offset F + period - that cycle's first frame.
class JackPad
{
public:
    JackPad();
    ~JackPad();
    JackPad(const JackPad &) = delete;
    JackPad &operator=(const JackPad &) = delete;

    bool ready() const { return m_client != nullptr; }
    // Any thread: the pad is struck now.
    void strike();
    // When the last strike came (steady clock, ns); 0 until then.
    qint64 struckNs() const { return m_struckNs.load(); }

private:
    static int process(jack_nframes_t frames, void *user);

    jack_client_t *m_client = nullptr;
    jack_port_t *m_port = nullptr;
    std::atomic<bool> m_pending { false };
    std::atomic<jack_nframes_t> m_frame { 0 };
    std::atomic<qint64> m_struckNs { 0 };
};

} // namespace pocko::bench
