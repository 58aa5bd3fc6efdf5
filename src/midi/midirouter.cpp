#include "midirouter.h"

#include <QStringList>

#include <utility>

namespace pocko {

namespace {

const QString TrackBar = QStringLiteral("Label1");

// The controls whose state a pad shows: a set cue, a running train, the song playing, a switch.
bool lights(const MidiBinding &binding)
{
    static const QStringList Lit
        = { QStringLiteral("P"),    QStringLiteral("M1"),    QStringLiteral("M2"),
            QStringLiteral("M3"),   QStringLiteral("P1"),    QStringLiteral("P2"),
            QStringLiteral("P3"),   QStringLiteral("tloop"), QStringLiteral("thspd"),
            QStringLiteral("tsegs") };
    return binding.kind == MidiMessage::Kind::Note && Lit.contains(binding.target);
}

int controlKey(const MidiMessage &message)
{
    return message.number * 16 + message.channel - 1;
}

} // namespace

MidiRouter::MidiRouter(int deck, MidiMap map, bool monitor)
    : m_deck(deck)
    , m_map(std::move(map))
    , m_monitor(monitor)
    , m_lightChannels(m_map.bindings.size(), 1)
    , m_lightsSent(m_map.bindings.size(), 0)
{
}

const MidiBinding *MidiRouter::binding(const MidiMessage &message, int *index) const
{
    int found = -1;
    for (int i = 0; i < m_map.bindings.size(); ++i) {
        const MidiBinding &one = m_map.bindings.at(i);
        if (one.kind != message.kind || one.number != message.number)
            continue;
        if (one.channel == message.channel)
            found = i;
        else if (one.channel == 0 && found < 0)
            found = i;
    }
    if (index)
        *index = found;
    return found < 0 ? nullptr : &m_map.bindings.at(found);
}

bool MidiRouter::presses(const MidiMessage &message) const
{
    const MidiBinding *bound = binding(message, nullptr);
    if (!bound)
        return false;
    if (bound->target == TrackBar)
        return true;
    // A controller bound to a button presses it when its value rises from 0.
    if (message.kind == MidiMessage::Kind::Control)
        return message.value > 0 && m_controlValues.value(controlKey(message), 0) == 0;
    return message.value > 0;
}

QString MidiRouter::press(const MidiMessage &message)
{
    int index = -1;
    const MidiBinding *bound = binding(message, &index);
    if (!bound)
        return QString();
    const bool pressed = presses(message);
    if (message.kind == MidiMessage::Kind::Control)
        m_controlValues.insert(controlKey(message), message.value);
    // A pad's light follows the channel it is played on.
    if (lights(*bound) && m_lightChannels.at(index) != message.channel) {
        if (m_lightsSent.at(index) == 1)
            sendLightOf(index, false);
        m_lightChannels[index] = message.channel;
    }
    return pressed ? bound->target : QString();
}

bool MidiRouter::pressWaiting() const
{
    if (!m_drain)
        return false;
    for (qsizetype i = m_drain->next; i < m_drain->hits.size(); ++i) {
        if (presses(m_drain->hits.at(i).message))
            return true;
    }
    return false;
}

void MidiRouter::drain(const std::function<bool(MidiHit &)> &take)
{
    Drain under;
    QList<MidiHit> &hits = under.hits;
    MidiHit hit;
    while (take(hit))
        hits.append(hit);
    struct Current
    {
        const Drain *&current;
        const Drain *outer;
        ~Current() { current = outer; }
    } current { m_drain, m_drain };
    m_drain = &under;
    qsizetype lastTrackBar = -1;
    for (qsizetype i = 0; i < hits.size(); ++i) {
        const MidiBinding *bound = binding(hits.at(i).message, nullptr);
        if (bound && bound->target == TrackBar)
            lastTrackBar = i;
    }
    for (qsizetype i = 0; i < hits.size(); ++i) {
        const MidiHit &one = hits.at(i);
        under.next = i + 1;
        const QString target = press(one.message);
        const bool passedOver = target == TrackBar && i != lastTrackBar;
        if (m_monitor && print)
            print(midiMonitorLine(one.message, target, m_deck)
                  + (passedOver ? QStringLiteral(", passed over for a later value") : QString()));
        if (!target.isEmpty() && !passedOver && act)
            act(target, one.message.value, one.arrivedNs);
    }
}

void MidiRouter::sendLightOf(int index, bool on)
{
    const MidiBinding &bound = m_map.bindings.at(index);
    MidiMessage light;
    light.kind = MidiMessage::Kind::Note;
    light.number = bound.number;
    light.channel = bound.channel != 0 ? bound.channel : m_lightChannels.at(index);
    light.value = on ? bound.lightOn : bound.lightOff;
    m_lightsSent[index] = on ? 1 : 0;
    if (m_monitor && print)
        print(QStringLiteral("-> note ") + QString::number(light.number) + QStringLiteral(" ch ")
              + QString::number(light.channel) + QStringLiteral(" vel ")
              + QString::number(light.value) + QStringLiteral(" (") + bound.target
              + (on ? QStringLiteral(" lit)") : QStringLiteral(" dark)")));
    if (sendLight)
        sendLight(light);
}

void MidiRouter::refreshLights()
{
    for (int i = 0; i < m_map.bindings.size(); ++i) {
        if (!lights(m_map.bindings.at(i)))
            continue;
        const bool on = lit && lit(m_map.bindings.at(i).target);
        if (on != (m_lightsSent.at(i) == 1))
            sendLightOf(i, on);
    }
}

void MidiRouter::sendAllLights()
{
    for (int i = 0; i < m_map.bindings.size(); ++i) {
        if (lights(m_map.bindings.at(i)))
            sendLightOf(i, lit && lit(m_map.bindings.at(i).target));
    }
}

void MidiRouter::darkenLights()
{
    for (int i = 0; i < m_map.bindings.size(); ++i) {
        if (lights(m_map.bindings.at(i)))
            sendLightOf(i, false);
    }
}

} // namespace pocko
