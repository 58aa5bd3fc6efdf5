#include "midi/midimap.h"
#include "midi/midirouter.h"

#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

using namespace pocko;

namespace {

// "note|cc|off N CHANNEL VALUE" as the input decodes it.
MidiMessage message(const QString &text)
{
    const QStringList words = text.split(' ', Qt::SkipEmptyParts);
    const int kind = words.value(0) == "cc" ? 0xb0 : words.value(0) == "off" ? 0x80 : 0x90;
    const unsigned char bytes[3] = { static_cast<unsigned char>(kind + words.value(2).toInt() - 1),
                                     static_cast<unsigned char>(words.value(1).toInt()),
                                     static_cast<unsigned char>(words.value(3).toInt()) };
    MidiMessage decoded;
    decodeMidi(bytes, 3, decoded);
    return decoded;
}

} // namespace

class TestMidi : public QObject
{
    Q_OBJECT

private slots:
    // Rows: a map file's text ("@1", "@2": the default pads of that deck; '|' ends a line), the
    // deck whose section is read and a message; the control it presses, or the file's error.
    void map_data()
    {
        QTest::addColumn<QString>("map");
        QTest::addColumn<int>("deck");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("result");
        const auto row
            = [](const char *name, QString map, QString text, QString result, int deck = 1) {
                  QTest::newRow(name) << map.replace('|', '\n') << deck << text << result;
              };
        row("deck 1's first pad, any channel", "@1", "note 36 10 96", "P1");
        row("deck 1's last pad", "@1", "note 43 1 1", "S");
        row("deck 1 leaves deck 2's pads", "@1", "note 44 1 96", "");
        row("deck 2's first pad", "@2", "note 44 16 96", "P1");
        row("deck 2's last pad", "@2", "note 51 1 96", "S");
        row("deck 2 leaves deck 1's pads", "@2", "note 43 1 96", "");
        row("a release", "@1", "note 36 1 0", "");
        row("a note-off", "@1", "off 36 1 64", "");
        row("a controller button's release", "cc 20 = R", "cc 20 1 0", "");
        row("the track bar takes 0", "cc 7 = Label1", "cc 7 1 0", "Label1");
        row("a note is no controller", "cc 7 = Label1", "note 7 1 9", "");
        row("its own channel wins", "note 60 = P1|note 60 channel 10 = tloop", "note 60 10 1",
            "tloop");
        row("any channel else", "note 60 channel 10 = tloop|note 60 = P1", "note 60 3 1", "P1");
        row("comments, blank lines, = unspaced", "# pads||  note 127=P2 # x", "note 127 1 5", "P2");
        row("lights' velocities", "note 40 = M1 light 21 0", "note 40 1 5", "M1");
        row("lines before a section are deck 1's", "note 1 = P|[deck 2]|note 1 = S", "note 1 1 9",
            "P");
        row("deck 2's section, the same note", "note 1 = P|[deck 2]|note 1 = S", "note 1 1 9", "S",
            2);
        row("deck 1's section after deck 2's", "[deck 2]|note 2 = S|[ deck  1 ]|note 1 = P",
            "note 2 1 9", "", 1);
        row("no section for deck 2", "note 1 = P", "note 1 1 9", " (no section)", 2);
        row("note 128", "note 0 = P1|note 128 = P", "", "2: note 128 is outside 0-127");
        row("unknown target", "note 1 = Play", "", "1: unknown target Play");
        row("a fault in the other deck's section", "note 1 = P|[deck 2]|note 1 = X", "",
            "3: unknown target X");
        row("bound twice", "cc 5 = S|#|cc 5 = R", "", "3: cc 5 is bound twice (first on line 1)");
        row("bound twice in deck 2's section", "cc 5 = S|[deck 2]|cc 5 = R|cc 5 = P", "",
            "4: cc 5 is bound twice (first on line 3)", 2);
        row("channel 17", "note 5 channel 17 = S", "", "1: channel 17 is outside 1-16");
        row("the track bar from a note", "note 5 = Label1", "",
            "1: Label1 takes a cc, whose value jumps across the bar");
        row("no =", "note 5 S", "",
            "1: not a binding: write note N [channel C] = TARGET [light ON OFF] or "
            "cc N [channel C] = TARGET");
        row("a light of 128", "note 5 = S light 128 0", "",
            "1: light takes two velocities 0-127, on a note");
        row("a light on a controller", "cc 5 = S light 1 0", "",
            "1: light takes two velocities 0-127, on a note");
        row("deck 3", "[deck 3]", "", "1: not a section: write [deck 1] or [deck 2]");
        row("a section unclosed", "[deck 2", "", "1: not a section: write [deck 1] or [deck 2]");
    }
    void map()
    {
        QFETCH(QString, map);
        QFETCH(int, deck);
        QFETCH(QString, message);
        QFETCH(QString, result);
        const MidiMap parsed
            = map.startsWith('@') ? defaultMidiMap(map.mid(1).toInt()) : parseMidiMap(map, deck);
        MidiRouter router(deck, parsed, false);
        QString pressed;
        router.act = [&pressed](const QString &target, int, qint64) { pressed = target; };
        bool given = true;
        router.drain([&](MidiHit &hit) {
            hit.message = ::message(message);
            return std::exchange(given, false);
        });
        QCOMPARE(!parsed.error.isEmpty()     ? parsed.error
                     : parsed.sectionMissing ? pressed + " (no section)"
                                             : pressed,
                 result);
    }

    // A map file is read whole, and told by its path.
    void mapFile()
    {
        QTemporaryDir dir;
        const QString bad = dir.filePath("bad.map");
        QFile file(bad);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("\n[deck 2]\ncc 1 = X\n") > 0);
        file.close();
        QCOMPARE(readMidiMap(bad, 1).error, bad + ":3: unknown target X");
        QCOMPARE(readMidiMap(dir.filePath("none"), 1).error,
                 dir.filePath("none") + ": cannot read the file");
        QCOMPARE(readMidiMap(QString(), 2).bindings.size(), 8);
    }

    // Rows: a map, what comes in and what the deck shows, step by step (';' between steps), and
    // everything the router did ('|' between): the deck's actions with their stamps, the
    // monitor's lines and the lights sent. A step is the messages of one drain (',' between),
    // "lit X" / "dark X" (the deck's state changed), "connect" (a device's input connected),
    // "close", or "presses MESSAGE" (would it end a train's wait?).
    void route_data()
    {
        QTest::addColumn<QString>("map");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("done");
        const auto row = [](const char *name, QString map, QString steps, QString done) {
            QTest::newRow(name) << map.replace('|', '\n') << steps << done;
        };
        row("a pad hit, monitored", "@1", "note 40 3 96",
            "note 40 ch 3 vel 96 -> M1 (deck 1)|act M1 96 @1");
        row("unbound and released", "@1", "note 60 1 9, note 40 1 0",
            "note 60 ch 1 vel 9 -> -|note 40 ch 1 vel 0 -> release");
        row("a fader's values: the last acts, with its stamp, others keep their order",
            "cc 7 = Label1|note 1 = S", "cc 7 1 10, note 1 1 5, cc 7 1 20, cc 7 1 30; cc 7 1 40",
            "cc 7 ch 1 val 10 -> Label1 (deck 1), passed over for a later value|"
            "note 1 ch 1 vel 5 -> S (deck 1)|act S 5 @2, a press waits|"
            "cc 7 ch 1 val 20 -> Label1 (deck 1), passed over for a later value|"
            "cc 7 ch 1 val 30 -> Label1 (deck 1)|act Label1 30 @4|"
            "cc 7 ch 1 val 40 -> Label1 (deck 1)|act Label1 40 @5");
        row("a controller button fires on its rise from 0", "cc 20 = R",
            "cc 20 1 0, cc 20 1 64, cc 20 1 127; presses cc 20 1 100; cc 20 1 0; presses cc 20 1 1",
            "cc 20 ch 1 val 0 -> -|cc 20 ch 1 val 64 -> R (deck 1)|act R 64 @2|"
            "cc 20 ch 1 val 127 -> -|presses 0|cc 20 ch 1 val 0 -> -|presses 1");
        row("any bound pad ends a train's wait, not a release or an unbound one", "@1",
            "presses note 43 1 9; presses note 36 1 9; presses note 43 1 0; presses note 60 1 9",
            "presses 1|presses 1|presses 0|presses 0");
        row("a train's wait ends for a press taken in the same drain", "@1",
            "note 36 1 9, note 60 1 9, note 43 1 0, note 43 1 9; note 37 1 9, note 60 1 9",
            "note 36 ch 1 vel 9 -> P1 (deck 1)|act P1 9 @1, a press waits|"
            "note 60 ch 1 vel 9 -> -|note 43 ch 1 vel 0 -> release|"
            "note 43 ch 1 vel 9 -> S (deck 1)|act S 9 @4|"
            "note 37 ch 1 vel 9 -> P2 (deck 1)|act P2 9 @5|note 60 ch 1 vel 9 -> -");
        row("a light on the channel last played, only what changed", "@1",
            "lit M1; lit M1; note 40 5 9; lit M1; dark M1",
            "-> note 40 ch 1 vel 127 (M1 lit)|-> note 40 ch 1 vel 0 (M1 dark)|"
            "note 40 ch 5 vel 9 -> M1 (deck 1)|act M1 9 @1|-> note 40 ch 5 vel 127 (M1 lit)|"
            "-> note 40 ch 5 vel 0 (M1 dark)");
        row("a map's velocities and channel", "note 40 channel 2 = M1 light 21 3|cc 9 = tloop",
            "lit M1; lit tloop; close",
            "-> note 40 ch 2 vel 21 (M1 lit)|-> note 40 ch 2 vel 3 (M1 dark)");
        row("the whole state to a device that connects, all dark at close",
            "note 1 = P|note 2 = tsegs|note 3 = S|note 4 = P2", "lit P2; connect; close",
            "-> note 4 ch 1 vel 127 (P2 lit)|-> note 1 ch 1 vel 0 (P dark)|"
            "-> note 2 ch 1 vel 0 (tsegs dark)|-> note 4 ch 1 vel 127 (P2 lit)|"
            "-> note 1 ch 1 vel 0 (P dark)|-> note 2 ch 1 vel 0 (tsegs dark)|"
            "-> note 4 ch 1 vel 0 (P2 dark)");
        row("deck 2 lights only its own section", "note 1 = P|[deck 2]|note 2 = P", "lit P",
            "-> note 2 ch 1 vel 127 (P lit)");
    }
    void route()
    {
        QFETCH(QString, map);
        QFETCH(QString, steps);
        QFETCH(QString, done);
        const MidiMap parsed = map.startsWith('@')
            ? defaultMidiMap(map.mid(1).toInt())
            : parseMidiMap(map, map.contains("deck 2") ? 2 : 1);
        QVERIFY(parsed.error.isEmpty());
        MidiRouter router(1, parsed, true);
        QStringList log;
        QSet<QString> lit;
        router.print = [&log](const QString &line) { log << line; };
        router.act = [&log, &router](const QString &target, int value, qint64 stamp) {
            log << QString("act %1 %2 @%3").arg(target).arg(value).arg(stamp)
                    + (router.pressWaiting() ? ", a press waits" : "");
        };
        router.lit = [&lit](const QString &target) { return lit.contains(target); };
        router.sendLight = [&log](const MidiMessage &light) {
            QVERIFY(log.last().startsWith(QString("-> note %1 ch %2 vel %3 ")
                                              .arg(light.number)
                                              .arg(light.channel)
                                              .arg(light.value)));
        };
        qint64 stamp = 0;
        for (const QString &step : steps.split(';')) {
            const QString s = step.trimmed();
            if (s.startsWith("lit ") || s.startsWith("dark ")) {
                if (s.startsWith("lit "))
                    lit.insert(s.mid(4));
                else
                    lit.remove(s.mid(5));
                router.refreshLights();
            } else if (s == "connect") {
                router.sendAllLights();
            } else if (s == "close") {
                router.darkenLights();
            } else if (s.startsWith("presses ")) {
                log << QString("presses %1").arg(router.presses(message(s.mid(8))));
            } else {
                QStringList messages = s.split(',');
                router.drain([&](MidiHit &hit) {
                    if (messages.isEmpty())
                        return false;
                    hit.message = message(messages.takeFirst());
                    hit.arrivedNs = ++stamp;
                    return true;
                });
            }
        }
        QCOMPARE(log.join('|'), done);
    }
};

QTEST_GUILESS_MAIN(TestMidi)
#include "tst_midi.moc"
