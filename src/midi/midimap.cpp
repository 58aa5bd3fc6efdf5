#include "midimap.h"

#include <QRegularExpression>
#include <QStringList>

namespace pocko {

namespace {

const QStringList Targets
    = { QStringLiteral("P"),     QStringLiteral("S"),     QStringLiteral("R"),
        QStringLiteral("F"),     QStringLiteral("L"),     QStringLiteral("thspd"),
        QStringLiteral("tloop"), QStringLiteral("tsegs"), QStringLiteral("M1"),
        QStringLiteral("M2"),    QStringLiteral("M3"),    QStringLiteral("P1"),
        QStringLiteral("P2"),    QStringLiteral("P3"),    QStringLiteral("Label1") };

const QString TrackBar = QStringLiteral("Label1");

// A whole number from `low` to `high`, or -1.
int number(const QString &text, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok && value >= low && value <= high ? value : -1;
}

QString kindName(MidiMessage::Kind kind)
{
    return kind == MidiMessage::Kind::Note ? QStringLiteral("note") : QStringLiteral("cc");
}

} // namespace

bool decodeMidi(const unsigned char *bytes, std::size_t size, MidiMessage &message)
{
    if (size < 3)
        return false;
    const int status = bytes[0] & 0xf0;
    message.channel = (bytes[0] & 0x0f) + 1;
    message.number = bytes[1] & 0x7f;
    message.value = bytes[2] & 0x7f;
    if (status == 0x90 || status == 0x80) {
        message.kind = MidiMessage::Kind::Note;
        if (status == 0x80)
            message.value = 0;
        return true;
    }
    if (status == 0xb0) {
        message.kind = MidiMessage::Kind::Control;
        return true;
    }
    return false;
}

MidiMap parseMidiMap(const QString &text)
{
    MidiMap map;
    QList<int> lines; // where each binding was given
    const QStringList all = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < all.size(); ++i) {
        const int line = int(i + 1);
        const auto refuse = [&map, line](const QString &what) {
            map.bindings.clear();
            map.error = QString::number(line) + QStringLiteral(": ") + what;
            return map;
        };
        QString content = all.at(i).section(QLatin1Char('#'), 0, 0);
        content.replace(QLatin1Char('='), QStringLiteral(" = "));
        const QStringList words
            = content.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        const bool channelGiven = words.size() == 6;
        if ((words.size() != 4 && !channelGiven)
            || (words.at(0) != QLatin1String("note") && words.at(0) != QLatin1String("cc"))
            || (channelGiven && words.at(2) != QLatin1String("channel"))
            || words.at(words.size() - 2) != QLatin1String("="))
            return refuse(QStringLiteral("not a binding: write note N [channel C] = TARGET or "
                                         "cc N [channel C] = TARGET"));
        MidiBinding binding;
        binding.kind = words.at(0) == QLatin1String("note") ? MidiMessage::Kind::Note
                                                            : MidiMessage::Kind::Control;
        binding.number = number(words.at(1), 0, 127);
        if (binding.number < 0)
            return refuse(words.at(0) + QLatin1Char(' ') + words.at(1)
                          + QStringLiteral(" is outside 0-127"));
        if (channelGiven) {
            binding.channel = number(words.at(3), 1, 16);
            if (binding.channel < 0)
                return refuse(QStringLiteral("channel ") + words.at(3)
                              + QStringLiteral(" is outside 1-16"));
        }
        binding.target = words.last();
        if (!Targets.contains(binding.target))
            return refuse(QStringLiteral("unknown target ") + binding.target);
        if (binding.target == TrackBar && binding.kind == MidiMessage::Kind::Note)
            return refuse(QStringLiteral("Label1 takes a cc, whose value jumps across the bar"));
        for (qsizetype j = 0; j < map.bindings.size(); ++j) {
            const MidiBinding &other = map.bindings.at(j);
            if (other.kind == binding.kind && other.number == binding.number
                && other.channel == binding.channel)
                return refuse(kindName(binding.kind) + QLatin1Char(' ')
                              + QString::number(binding.number)
                              + QStringLiteral(" is bound twice (first on line ")
                              + QString::number(lines.at(j)) + QLatin1Char(')'));
        }
        map.bindings.append(binding);
        lines.append(line);
    }
    return map;
}

MidiMap defaultMidiMap(int deck)
{
    static const char *const pads[] = { "P1", "P2", "P3", "P", "M1", "M2", "M3", "S" };
    MidiMap map;
    const int first = deck == 2 ? 44 : 36;
    for (int i = 0; i < 8; ++i)
        map.bindings.append(
            MidiBinding { MidiMessage::Kind::Note, first + i, 0, QLatin1String(pads[i]) });
    return map;
}

QString midiTarget(const MidiMap &map, const MidiMessage &message)
{
    const MidiBinding *found = nullptr;
    for (const MidiBinding &binding : map.bindings) {
        if (binding.kind != message.kind || binding.number != message.number)
            continue;
        if (binding.channel == message.channel)
            found = &binding;
        else if (binding.channel == 0 && !found)
            found = &binding;
    }
    if (!found || (message.value == 0 && found->target != TrackBar))
        return QString();
    return found->target;
}

QString midiMonitorLine(const MidiMessage &message, const QString &target, int deck)
{
    const bool note = message.kind == MidiMessage::Kind::Note;
    QString line = kindName(message.kind) + QLatin1Char(' ') + QString::number(message.number)
        + QStringLiteral(" ch ") + QString::number(message.channel)
        + (note ? QStringLiteral(" vel ") : QStringLiteral(" val "))
        + QString::number(message.value) + QStringLiteral(" -> ");
    if (target.isEmpty())
        return line
            + (note && message.value == 0 ? QStringLiteral("release") : QStringLiteral("-"));
    return line + target + QStringLiteral(" (deck ") + QString::number(deck) + QLatin1Char(')');
}

} // namespace pocko
