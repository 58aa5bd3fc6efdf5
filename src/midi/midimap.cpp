#include "midimap.h"

#include <QFile>
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

MidiMap parseMidiMap(const QString &text, int deck)
{
    static const QRegularExpression Space(QStringLiteral("\\s+"));
    static const QRegularExpression Section(QStringLiteral("^\\[\\s*deck\\s+([12])\\s*\\]$"));
    struct Given
    {
        MidiBinding binding;
        int line;
    };
    QList<Given> given[2]; // each deck's bindings, where each was given
    bool present[2] = { false, false };
    int section = 0; // deck 1's until a header says otherwise
    MidiMap map;
    const QStringList all = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < all.size(); ++i) {
        const int line = int(i + 1);
        const auto refuse = [&map, line](const QString &what) {
            map.bindings.clear();
            map.error = QString::number(line) + QStringLiteral(": ") + what;
            return map;
        };
        QString content = all.at(i).section(QLatin1Char('#'), 0, 0).trimmed();
        if (content.startsWith(QLatin1Char('['))) {
            const QRegularExpressionMatch header = Section.match(content);
            if (!header.hasMatch())
                return refuse(QStringLiteral("not a section: write [deck 1] or [deck 2]"));
            section = header.captured(1).toInt() - 1;
            present[section] = true;
            continue;
        }
        content.replace(QLatin1Char('='), QStringLiteral(" = "));
        QStringList words = content.split(Space, Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        QStringList light;
        if (words.size() >= 3 && words.at(words.size() - 3) == QLatin1String("light")) {
            light = words.mid(words.size() - 2);
            words = words.mid(0, words.size() - 3);
        }
        const bool channelGiven = words.size() == 6;
        if ((words.size() != 4 && !channelGiven)
            || (words.at(0) != QLatin1String("note") && words.at(0) != QLatin1String("cc"))
            || (channelGiven && words.at(2) != QLatin1String("channel"))
            || words.at(words.size() - 2) != QLatin1String("="))
            return refuse(QStringLiteral("not a binding: write note N [channel C] = TARGET "
                                         "[light ON OFF] or cc N [channel C] = TARGET"));
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
        if (!light.isEmpty()) {
            binding.lightOn = number(light.at(0), 0, 127);
            binding.lightOff = number(light.at(1), 0, 127);
            if (binding.kind != MidiMessage::Kind::Note || binding.lightOn < 0
                || binding.lightOff < 0)
                return refuse(QStringLiteral("light takes two velocities 0-127, on a note"));
        }
        for (const Given &other : std::as_const(given[section])) {
            if (other.binding.kind == binding.kind && other.binding.number == binding.number
                && other.binding.channel == binding.channel)
                return refuse(kindName(binding.kind) + QLatin1Char(' ')
                              + QString::number(binding.number)
                              + QStringLiteral(" is bound twice (first on line ")
                              + QString::number(other.line) + QLatin1Char(')'));
        }
        given[section].append(Given { binding, line });
        present[section] = true;
    }
    const int asked = deck == 2 ? 1 : 0;
    for (const Given &one : std::as_const(given[asked]))
        map.bindings.append(one.binding);
    map.sectionMissing = !present[asked];
    return map;
}

MidiMap readMidiMap(const QString &path, int deck)
{
    if (path.isEmpty())
        return defaultMidiMap(deck);
    MidiMap map;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        map.error = path + QStringLiteral(": cannot read the file");
        return map;
    }
    map = parseMidiMap(QString::fromUtf8(file.readAll()), deck);
    if (!map.error.isEmpty())
        map.error = path + QLatin1Char(':') + map.error;
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
