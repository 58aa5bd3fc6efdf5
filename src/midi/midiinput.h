#pragma once

#include "midimap.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QSocketNotifier;
class QTimer;
class RtMidiIn;

namespace pocko {

// The deck's MIDI input: JACK's MIDI where a JACK server runs, else the ALSA sequencer. It
// connects to every MIDI output there is (or, with a filter, to those whose name contains it),
// and every 500 ms looks for outputs that appeared since. Messages are stamped on arrival, on
// the MIDI back end's own thread, and wait in a queue for the GUI thread. GUI thread, except
// where said.
class MidiInput : public QObject
{
public:
    MidiInput(const QString &clientName, const QString &filter);
    ~MidiInput() override;

    // Chooses the back end and connects what is there. False, with `error` the reason, when
    // there is no MIDI at all; the deck then runs without it.
    bool open(QString *error);
    QString apiName() const { return m_apiName; }

    // The oldest message waiting, taken from the queue.
    bool take(MidiHit &hit);
    // Whether any message waiting is one that `wanted` accepts.
    bool waiting(const std::function<bool(const MidiMessage &)> &wanted);
    // Called on the GUI thread when messages are waiting.
    std::function<void()> arrived;

private:
    struct Connection;
    static void received(double, std::vector<unsigned char> *bytes, void *user);
    void connectNew();

    QString m_clientName;
    QString m_filter;
    QString m_apiName;
    int m_api = 0;
    std::unique_ptr<RtMidiIn> m_lister;
    std::vector<std::unique_ptr<Connection>> m_connections;
    QTimer *m_poll = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    int m_wake[2] = { -1, -1 };

    // Shared with the back end's threads.
    std::mutex m_mutex;
    std::deque<MidiHit> m_queue;
};

} // namespace pocko
