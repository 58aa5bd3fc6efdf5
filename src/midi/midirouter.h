#pragma once

#include "midimap.h"

#include <QHash>
#include <QList>
#include <QString>

#include <functional>

namespace pocko {

// One deck's pads: which control each message presses, the --midi-monitor lines, and the lights
// the deck's bindings show on the controller. It knows the deck only through the functions
// below. GUI thread only: the input hands it what its rings hold.
class MidiRouter
{
public:
    MidiRouter(int deck, MidiMap map, bool monitor);

    // The deck's left click on `target` (as DeckController::padHit takes it).
    std::function<void(const QString &target, int value, qint64 arrivedNs)> act;
    // A monitor line, for stdout.
    std::function<void(const QString &line)> print;
    // Whether the control `target` shows lit now (a set cue, a running train, a switch on).
    std::function<bool(const QString &target)> lit;
    // A light's note-on, for every connected device.
    std::function<void(const MidiMessage &message)> sendLight;

    // Acts on every hit that `take` hands over, in order. Of the track bar's values among them
    // only the last acts, so that a fader's stream never queues up behind itself.
    void drain(const std::function<bool(MidiHit &)> &take);
    // Whether `message` would press a control now: a hit that ends a burst train's wait.
    bool presses(const MidiMessage &message) const;
    // Whether a hit of the drain under way, not yet acted on, presses a control (an action
    // that holds in a train's wait asks, as it asks the input for what has come in since).
    bool pressWaiting() const;

    // Sends the lights that changed since last sent; all of them; all dark (the deck closes).
    void refreshLights();
    void sendAllLights();
    void darkenLights();

private:
    QString press(const MidiMessage &message);
    const MidiBinding *binding(const MidiMessage &message, int *index) const;
    void sendLightOf(int index, bool on);

    struct Drain
    {
        QList<MidiHit> hits;
        qsizetype next = 0;
    };
    const Drain *m_drain = nullptr; // the drain under way

    int m_deck;
    MidiMap m_map;
    bool m_monitor;
    QHash<int, int> m_controlValues; // each controller's last value, by number and channel
    QList<int> m_lightChannels; // by binding: the channel it was last pressed on
    QList<int> m_lightsSent; // by binding: 1 lit, 0 dark, as last sent
};

} // namespace pocko
