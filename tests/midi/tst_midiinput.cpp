#include "midi/midiinput.h"

#include <QProcess>
#include <QtTest>

#include <jack/jack.h>
#include <jack/midiport.h>

#include <csignal>
#include <memory>
#include <mutex>

using namespace pocko;

namespace {

// A fixed name: a killed server's registry entry is taken back by the next start of it.
const char Server[] = "pocko-tst-midiinput";
const int Rate = 48000;
const int Period = 256;

// A device on the test's JACK server: an output that writes prepared events in one cycle, and an
// input that keeps what the deck sends it.
class Device
{
public:
    struct Event
    {
        jack_nframes_t offset;
        QByteArray bytes;
    };

    explicit Device(const char *name)
    {
        m_client = jack_client_open(name, JackNoStartServer, nullptr);
        if (!m_client)
            return;
        m_out = jack_port_register(m_client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        m_in = jack_port_register(m_client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(m_client, &Device::process, this);
        jack_activate(m_client);
    }
    ~Device()
    {
        if (m_client)
            jack_client_close(m_client);
    }

    // The events go out together, in the next cycle.
    void write(QList<Event> events)
    {
        m_events = std::move(events);
        m_pending.store(true);
    }
    bool written() const { return !m_pending.load(); }
    // What came in, as "0x90 40 127" a message.
    QStringList received() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

private:
    static int process(jack_nframes_t frames, void *user)
    {
        auto *self = static_cast<Device *>(user);
        void *out = jack_port_get_buffer(self->m_out, frames);
        jack_midi_clear_buffer(out);
        if (self->m_pending.load()) {
            for (const Event &e : self->m_events)
                jack_midi_event_write(out, e.offset,
                                      reinterpret_cast<const jack_midi_data_t *>(e.bytes.data()),
                                      size_t(e.bytes.size()));
            self->m_pending.store(false);
        }
        void *in = jack_port_get_buffer(self->m_in, frames);
        const std::lock_guard<std::mutex> lock(self->m_mutex); // a test's device may lock
        for (std::uint32_t i = 0; i < jack_midi_get_event_count(in); ++i) {
            jack_midi_event_t event;
            jack_midi_event_get(&event, in, i);
            QStringList bytes;
            for (size_t b = 0; b < event.size; ++b)
                bytes << (b == 0 ? QStringLiteral("0x%1").arg(event.buffer[b], 0, 16)
                                 : QString::number(event.buffer[b]));
            self->m_received << bytes.join(' ');
        }
        return 0;
    }

    jack_client_t *m_client = nullptr;
    jack_port_t *m_out = nullptr;
    jack_port_t *m_in = nullptr;
    QList<Event> m_events;
    std::atomic<bool> m_pending { false };
    mutable std::mutex m_mutex;
    QStringList m_received;
};

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int value : values)
        result.append(char(value));
    return result;
}

QByteArray note(int number, int velocity = 100, int channel = 1)
{
    return bytes({ 0x90 + channel - 1, number, velocity });
}

QString shown(const MidiHit &hit)
{
    return QStringLiteral("%1 %2 ch %3 v %4")
        .arg(hit.message.kind == MidiMessage::Kind::Note ? "note" : "cc")
        .arg(hit.message.number)
        .arg(hit.message.channel)
        .arg(hit.message.value);
}

} // namespace

// The deck's MIDI input and lights, its ring, and its connections on a private JACK server.
class TestMidiInput : public QObject
{
    Q_OBJECT

    QProcess m_jackd;

private slots:
    // Rows: pushes (+N) and pops (-) into a ring of 4; what was popped, what is left, drops.
    void ring_data()
    {
        QTest::addColumn<QString>("operations");
        QTest::addColumn<QString>("result");
        QTest::newRow("full: the newest is dropped")
            << "+1 +2 +3 +4 +5 +6" << "popped , left 1 2 3 4, dropped 2";
        QTest::newRow("room again after a pop") << "+1 +2 +3 +4 +5 - +6"
                                                << "popped 1, left 2 3 4 6, dropped 1";
        QTest::newRow("order across the wrap")
            << "+1 +2 +3 - - +4 +5 +6 - +7" << "popped 1 2 3, left 4 5 6 7, dropped 0";
        QTest::newRow("pop from empty") << "- +1 - -" << "popped 1, left , dropped 0";
    }
    void ring()
    {
        QFETCH(QString, operations);
        QFETCH(QString, result);
        MidiRing<int, 4> ring;
        QStringList popped;
        for (const QString &op : operations.split(' ')) {
            int item = 0;
            if (op == "-" && ring.pop(item))
                popped << QString::number(item);
            else if (op != "-")
                ring.push(op.mid(1).toInt());
        }
        QStringList left;
        ring.any([&left](int item) {
            left << QString::number(item);
            return false;
        });
        QCOMPARE(QString("popped %1, left %2, dropped %3")
                     .arg(popped.join(' '), left.join(' '))
                     .arg(ring.dropped()),
                 result);
    }

    // Rows: an output port and an input port; whether they are one device's.
    void device_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("same");
        QTest::newRow("ALSA bridge") << "a2j:nanoPAD2 [20] (capture): nanoPAD2 MIDI 1"
                                     << "a2j:nanoPAD2 [20] (playback): nanoPAD2 MIDI 1" << true;
        QTest::newRow("ALSA bridge, other device")
            << "a2j:nanoPAD2 [20] (capture): nanoPAD2 MIDI 1"
            << "a2j:LPD8 [24] (playback): LPD8 MIDI 1" << false;
        QTest::newRow("PipeWire bridge")
            << "Midi-Bridge:LPD8 0:(capture_0) LPD8 MIDI 1"
            << "Midi-Bridge:LPD8 0:(playback_0) LPD8 MIDI 1" << true;
        QTest::newRow("PipeWire bridge, other port")
            << "Midi-Bridge:LPD8 0:(capture_0) LPD8 MIDI 1"
            << "Midi-Bridge:LPD8 0:(playback_1) LPD8 MIDI 2" << false;
        QTest::newRow("a JACK client's own ports") << "first pad:out" << "first pad:in" << true;
        QTest::newRow("the sequencer, through RtMidi")
            << "nanoPAD2:nanoPAD2 MIDI 1 20:0" << "nanoPAD2:nanoPAD2 MIDI 1 20:0" << true;
    }
    void device()
    {
        QFETCH(QString, output);
        QFETCH(QString, input);
        QFETCH(bool, same);
        QCOMPARE(MidiInput::deviceOf(output) == MidiInput::deviceOf(input), same);
    }

    void initTestCase()
    {
        if (QStandardPaths::findExecutable("jackd").isEmpty())
            return;
        jack_set_error_function([](const char *) { });
        jack_set_info_function([](const char *) { });
        qputenv("JACK_DEFAULT_SERVER", Server);
        m_jackd.setStandardOutputFile(QProcess::nullDevice());
        m_jackd.setStandardErrorFile(QProcess::nullDevice());
        m_jackd.start("jackd", { "-n", Server, "-d", "dummy", "-r", QString::number(Rate), "-p",
                                 QString::number(Period) });
        QVERIFY(QTest::qWaitFor([] {
            jack_client_t *probe = jack_client_open("probe", JackNoStartServer, nullptr);
            if (probe)
                jack_client_close(probe);
            return probe != nullptr;
        }, 10000));
    }
    void cleanupTestCase()
    {
        if (m_jackd.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_jackd.processId()), SIGTERM); // a killed server keeps its registry entry
        m_jackd.waitForFinished(5000);
    }

    // Rows: the events a device writes in one cycle, the stamping; what the deck takes, with
    // each hit's time after the first's in frames.
    void jack_data()
    {
        QTest::addColumn<QList<Device::Event>>("events");
        QTest::addColumn<QByteArray>("stamp");
        QTest::addColumn<QString>("result");
        const QList<Device::Event> two = { { 0, note(36) }, { 128, note(37) } };
        QTest::newRow("each at its own frame")
            << two << QByteArray() << "note 36 ch 1 v 100 @0, note 37 ch 1 v 100 @128";
        QTest::newRow("all at the callback")
            << two << QByteArray("callback") << "note 36 ch 1 v 100 @0, note 37 ch 1 v 100 @0";
        QTest::newRow("only notes and CCs come in")
            << QList<Device::Event> { { 0, QByteArray(300, '\x7f').prepend('\xf0').append('\xf7') },
                                      { 1, QByteArray(1, '\xf8') },
                                      { 2, bytes({ 0xc0, 5 }) },
                                      { 3, bytes({ 0xb9, 7, 64 }) },
                                      { 4, bytes({ 0x83, 40, 64 }) },
                                      { 5, bytes({ 0xa0, 40, 64 }) } }
            << QByteArray() << "cc 7 ch 10 v 64 @0, note 40 ch 4 v 0 @0";
        QList<Device::Event> flood;
        for (int i = 0; i < 1100; ++i)
            flood.append({ jack_nframes_t(i / 8), note(i % 128) });
        QTest::newRow("a full ring keeps the first 1024")
            << flood << QByteArray() << "1024 taken, the last note 127, 76 dropped";
    }
    void jack()
    {
        if (m_jackd.state() != QProcess::Running)
            QSKIP("no jackd");
        QFETCH(QList<Device::Event>, events);
        QFETCH(QByteArray, stamp);
        QFETCH(QString, result);
        qputenv("POCKO_MIDI_STAMP", stamp);
        auto input = std::make_unique<MidiInput>("PockoMP3 deck 1", QString());
        QString error;
        QVERIFY2(input->open(&error), qPrintable(error));
        qunsetenv("POCKO_MIDI_STAMP");
        // The state a device gets when it connects reaches it.
        int lightsConnected = 0;
        input->outputConnected = [&lightsConnected, &input] {
            ++lightsConnected;
            input->send({ MidiMessage::Kind::Note, 40, 2, 127 });
        };
        {
            // The device comes after the deck: the hot-plug poll finds it.
            Device pad("test pad");
            jack_client_t *client = jack_client_open("look", JackNoStartServer, nullptr);
            QVERIFY(QTest::qWaitFor([&] {
                return lightsConnected == 1
                    && jack_port_connected_to(jack_port_by_name(client, "test pad:out"),
                                              "PockoMP3 deck 1:in");
            }, 2000));
            jack_client_close(client);

            pad.write(events);
            QVERIFY(QTest::qWaitFor([&pad] { return pad.written(); }, 1000));
            QTest::qWait(50);
            QStringList taken;
            MidiHit hit;
            qint64 firstNs = 0;
            int count = 0;
            while (input->take(hit)) {
                firstNs = count++ == 0 ? hit.arrivedNs : firstNs;
                const double frames = double(hit.arrivedNs - firstNs) * Rate / 1e9;
                taken << shown(hit) + QString(" @%1").arg(qRound(frames / 8) * 8);
            }
            if (events.size() > 1024) {
                QCOMPARE(QString("%1 taken, the last note %2, %3 dropped")
                             .arg(count)
                             .arg(hit.message.number)
                             .arg(input->dropped()),
                         result);
            } else {
                QCOMPARE(taken.join(", "), result);
            }

            // Every light dark when the deck closes.
            QVERIFY(QTest::qWaitFor([&pad] { return !pad.received().isEmpty(); }, 1000));
            input.reset();
            QCOMPARE(pad.received(), QStringList({ "0x91 40 127", "0x91 40 0" }));
        }
    }
};

QTEST_MAIN(TestMidiInput)
#include "tst_midiinput.moc"
