#pragma once

// The deck's MIDI: its pads in, their lights out.
//
// Threads:
// - GUI thread: every public member, the hot-plug poll, `arrived` and `outputConnected`.
// - JACK's process thread (on JACK): process() reads the input port, stamps each note and CC
//   and pushes it into the input's ring, then writes the lights waiting in the light ring to
//   the output port.
// - RtMidi's input threads (on the ALSA sequencer, one a connection): received() stamps the
//   message and pushes it into its connection's ring.
// The MIDI threads never lock, allocate, block, log or touch Qt. Each ring has one producer and
// one consumer, and no lock exists between the threads: a MIDI thread only stores into its ring
// and writes 8 bytes to a non-blocking eventfd, which wakes the GUI thread. A full ring drops
// the newest message and counts it; the GUI thread says so, once, on stderr. Only note and CC
// messages enter a ring: SysEx, clock and the rest are dropped where they come in, uncopied.

#include "midimap.h"
#include "midiring.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTimer;
class RtMidiIn;
class RtMidiOut;

namespace pocko {

// Messages that wait, a ring for each connection.
using MidiHitRing = MidiRing<MidiHit, 1024>;

// The deck's MIDI input and the output for its lights: libjack where a JACK server runs, else
// the ALSA sequencer through RtMidi. The input connects to every MIDI output there is (or, with
// a filter, to those whose name contains it), and every 500 ms looks for outputs that appeared
// since; the output connects to the input port of every device the deck reads from, or, with an
// output filter, to the input ports whose name contains it.
class MidiInput : public QObject
{
public:
    MidiInput(const QString &clientName, const QString &filter, const QString &outFilter = {});
    ~MidiInput() override;

    // Chooses the back end and connects what is there. False, with `error` the reason, when
    // there is no MIDI at all; the deck then runs without it.
    bool open(QString *error);
    QString apiName() const { return m_apiName; }

    // The oldest message waiting, taken from the rings.
    bool take(MidiHit &hit);
    // Whether any message waiting is one that `wanted` accepts.
    bool waiting(const std::function<bool(const MidiMessage &)> &wanted);
    // Called on the GUI thread when messages are waiting.
    std::function<void()> arrived;

    // Non-blocking: a light (a note-on) to every device connected to the output. On JACK it goes
    // out in the next cycle.
    void send(const MidiMessage &message);
    // Called on the GUI thread when a device's input port was just connected to the output (once
    // the connection carries what is sent).
    std::function<void()> outputConnected;
    // Every light sent lit goes dark, and is sent before this returns (at most 200 ms). The
    // destructor does it too.
    void darken();

    // Messages lost to a full ring, since the start.
    std::uint64_t dropped() const;

    // The part of a port's name that names its device: a JACK bridge names a device's two ports
    // with "capture" and "playback", other ports share their client's name.
    static QString deviceOf(const QString &port);

private:
    struct Jack;
    struct Connection;
    struct Output;
    static void received(double, std::vector<unsigned char> *bytes, void *user);
    bool openJack();
    bool openAlsa();
    void connectNew();
    void connectJack();
    void connectAlsa();
    bool readsFrom(const QString &name) const;
    bool lightsTo(const QString &name, const QStringList &sources) const;
    void wakeUp();
    void toldConnected();

    QString m_clientName;
    QString m_filter;
    QString m_outFilter;
    QString m_apiName;
    bool m_stampAtCallback = false;
    std::unique_ptr<Jack> m_jack;
    std::unique_ptr<RtMidiIn> m_lister;
    std::unique_ptr<RtMidiOut> m_outLister;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::vector<std::unique_ptr<Output>> m_outputs;
    QTimer *m_poll = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    int m_wake = -1;
    std::uint64_t m_droppedBefore = 0; // by connections since let go
    bool m_droppedSaid = false;
    std::array<std::uint8_t, 16 * 128> m_lit {}; // the velocity last sent, by channel and note
};

} // namespace pocko
