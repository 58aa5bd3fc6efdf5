#include "midiinput.h"

#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <RtMidi.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace pocko {

namespace {

void silentJack(const char *) { }
void silentAlsa(const char *, int, const char *, int, const char *, ...) { }

// RtMidi reports its warnings through this instead of printing them.
void quietErrors(RtMidiError::Type, const std::string &, void *failed)
{
    if (failed != nullptr)
        *static_cast<bool *>(failed) = true;
}

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Wakes the GUI thread: a non-blocking eventfd only adds to its counter.
void wakeGui(int fd)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
}

// Our own ports, and other decks': a deck never reads another deck's lights.
bool ours(const QString &port)
{
    return port.startsWith(QLatin1String("PockoMP3"));
}

QStringList jackPorts(jack_client_t *client, unsigned long flags)
{
    QStringList names;
    if (const char **ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags)) {
        for (const char **port = ports; *port != nullptr; ++port)
            names.append(QString::fromUtf8(*port));
        jack_free(ports);
    }
    return names;
}

} // namespace

// The JACK client: one input port that every output connects to, one output port for the
// lights. Its members are set before the client is activated and only read after.
struct MidiInput::Jack
{
    jack_client_t *client = nullptr;
    jack_port_t *in = nullptr;
    jack_port_t *out = nullptr;
    bool stampAtCallback = false;
    int wake = -1;
    std::atomic<bool> gone { false }; // the server shut the client down
    MidiHitRing hits;
    MidiRing<MidiMessage, 1024> lights;

    ~Jack()
    {
        if (client != nullptr)
            jack_client_close(client);
    }

    static int process(jack_nframes_t frames, void *user);
    static void shutdown(void *user) { static_cast<Jack *>(user)->gone.store(true); }
};

// One output connected to this deck on the ALSA sequencer: an input of our own that listens to
// it alone, with its own thread and ring.
struct MidiInput::Connection
{
    QString name;
    int wake = -1;
    MidiHitRing hits;
    std::unique_ptr<RtMidiIn> in; // last: its thread ends before the ring goes
};

// One device's input on the ALSA sequencer that the lights go to.
struct MidiInput::Output
{
    QString name;
    std::unique_ptr<RtMidiOut> out;
};

int MidiInput::Jack::process(jack_nframes_t frames, void *user)
{
    auto *self = static_cast<Jack *>(user);
    // The two clocks are read together; JACK's clock is not the steady clock, so it only says
    // how far from this moment an event's frame lies.
    const qint64 nowNs = steadyNs();
    const jack_time_t jackNow = jack_get_time();
    const jack_nframes_t cycle = jack_last_frame_time(self->client);

    void *in = jack_port_get_buffer(self->in, frames);
    const std::uint32_t count = jack_midi_get_event_count(in);
    const std::uint64_t droppedBefore = self->hits.dropped();
    bool pushed = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        jack_midi_event_t event;
        MidiHit hit;
        if (jack_midi_event_get(&event, in, i) != 0
            || !decodeMidi(event.buffer, event.size, hit.message))
            continue;
        hit.arrivedNs = nowNs;
        if (!self->stampAtCallback) {
            const jack_time_t at = jack_frames_to_time(self->client, cycle + event.time);
            hit.arrivedNs += (qint64(at) - qint64(jackNow)) * 1000;
        }
        pushed = self->hits.push(hit) || pushed;
    }
    if (pushed || self->hits.dropped() != droppedBefore)
        wakeGui(self->wake);

    void *out = jack_port_get_buffer(self->out, frames);
    jack_midi_clear_buffer(out);
    MidiMessage light;
    while (const MidiMessage *next = self->lights.peek()) {
        const jack_midi_data_t bytes[3] = { jack_midi_data_t(0x90 | (next->channel - 1)),
                                            jack_midi_data_t(next->number),
                                            jack_midi_data_t(next->value) };
        if (jack_midi_event_write(out, 0, bytes, 3) != 0)
            break; // the buffer is full: the rest go out in the next cycle
        self->lights.pop(light);
    }
    return 0;
}

MidiInput::MidiInput(const QString &clientName, const QString &filter, const QString &outFilter)
    : m_clientName(clientName)
    , m_filter(filter)
    , m_outFilter(outFilter)
{
}

MidiInput::~MidiInput()
{
    darken();
    m_jack.reset();
    m_connections.clear();
    m_outputs.clear();
    m_lister.reset();
    m_outLister.reset();
    if (m_wake >= 0)
        ::close(m_wake);
}

bool MidiInput::open(QString *error)
{
    // A bench mode: every message of a JACK cycle stamped when the cycle hands it over.
    m_stampAtCallback = qgetenv("POCKO_MIDI_STAMP") == "callback";
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    // JACK first where its server runs (JACK's MIDI then reaches every JACK program), else the
    // ALSA sequencer.
    if (m_wake < 0 || (!openJack() && !openAlsa())) {
        *error = QStringLiteral("no MIDI input (no JACK server and no ALSA sequencer)");
        return false;
    }
    m_notifier = new QSocketNotifier(m_wake, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(m_wake, &count, sizeof count);
        wakeUp();
    });
    m_poll = new QTimer(this);
    connect(m_poll, &QTimer::timeout, this, &MidiInput::connectNew);
    m_poll->start(500);
    connectNew();
    return true;
}

bool MidiInput::openJack()
{
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
    auto jack = std::make_unique<Jack>();
    jack_status_t status {};
    jack->client
        = jack_client_open(m_clientName.toUtf8().constData(), JackNoStartServer, &status);
    if (jack->client == nullptr)
        return false;
    jack->in = jack_port_register(jack->client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack->out
        = jack_port_register(jack->client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack->stampAtCallback = m_stampAtCallback;
    jack->wake = m_wake;
    jack_set_process_callback(jack->client, &Jack::process, jack.get());
    jack_on_shutdown(jack->client, &Jack::shutdown, jack.get());
    if (jack->in == nullptr || jack->out == nullptr || jack_activate(jack->client) != 0)
        return false;
    m_jack = std::move(jack);
    m_apiName = QStringLiteral("JACK");
    return true;
}

bool MidiInput::openAlsa()
{
    // RtMidi would print the sequencer's failure before it throws.
    snd_lib_error_set_handler(silentAlsa);
    snd_seq_t *seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
        return false;
    snd_seq_close(seq);
    try {
        bool failed = false;
        const std::string client = m_clientName.toStdString();
        auto lister = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, client);
        lister->setErrorCallback(quietErrors, &failed);
        lister->getPortCount();
        if (failed)
            return false;
        lister->setErrorCallback(quietErrors, nullptr);
        m_lister = std::move(lister);
        m_outLister = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, client);
        m_outLister->setErrorCallback(quietErrors, nullptr);
    } catch (const RtMidiError &) {
        if (!m_lister)
            return false;
    }
    m_apiName = QStringLiteral("ALSA");
    return true;
}

QString MidiInput::deviceOf(const QString &port)
{
    static const QRegularExpression sides(QStringLiteral("capture|playback"),
                                          QRegularExpression::CaseInsensitiveOption);
    if (port.contains(sides))
        return QString(port).replace(sides, QStringLiteral("*"));
    return port.section(QLatin1Char(':'), 0, 0);
}

bool MidiInput::readsFrom(const QString &name) const
{
    return name.contains(m_filter) && !ours(name);
}

bool MidiInput::lightsTo(const QString &name, const QStringList &sources) const
{
    if (ours(name))
        return false;
    if (!m_outFilter.isEmpty())
        return name.contains(m_outFilter);
    // The sequencer's loop-back port would bring every light back in as a hit.
    if (name.contains(QLatin1String("Midi Through")))
        return false;
    const QString device = deviceOf(name);
    return std::any_of(sources.begin(), sources.end(),
                       [&device](const QString &source) { return deviceOf(source) == device; });
}

void MidiInput::connectNew()
{
    if (m_jack)
        connectJack();
    else
        connectAlsa();
}

void MidiInput::connectJack()
{
    if (m_jack->gone.load())
        return;
    jack_client_t *client = m_jack->client;
    const char *in = jack_port_name(m_jack->in);
    const char *out = jack_port_name(m_jack->out);
    for (const QString &name : jackPorts(client, JackPortIsOutput)) {
        const QByteArray port = name.toUtf8();
        if (readsFrom(name) && !jack_port_connected_to(m_jack->in, port.constData()))
            jack_connect(client, port.constData(), in);
    }
    // The devices read from are those connected, also by hand.
    QStringList sources;
    if (const char **connected = jack_port_get_all_connections(client, m_jack->in)) {
        for (const char **port = connected; *port != nullptr; ++port)
            sources.append(QString::fromUtf8(*port));
        jack_free(connected);
    }
    bool lightsConnected = false;
    for (const QString &name : jackPorts(client, JackPortIsInput)) {
        const QByteArray port = name.toUtf8();
        if (lightsTo(name, sources) && !jack_port_connected_to(m_jack->out, port.constData()))
            lightsConnected = jack_connect(client, out, port.constData()) == 0 || lightsConnected;
    }
    if (lightsConnected)
        toldConnected();
}

void MidiInput::connectAlsa()
{
    QStringList present;
    const unsigned int count = m_lister->getPortCount();
    for (unsigned int i = 0; i < count; ++i)
        present.append(QString::fromStdString(m_lister->getPortName(i)));

    // An output that went away is let go, so that it is taken again when it comes back.
    std::erase_if(m_connections, [this, &present](const std::unique_ptr<Connection> &c) {
        if (present.contains(c->name))
            return false;
        m_droppedBefore += c->hits.dropped();
        return true;
    });
    for (unsigned int i = 0; i < count; ++i) {
        const QString &name = present.at(i);
        if (!readsFrom(name)
            || std::any_of(m_connections.begin(), m_connections.end(),
                           [&name](const auto &c) { return c->name == name; }))
            continue;
        try {
            auto connection = std::make_unique<Connection>();
            connection->name = name;
            connection->wake = m_wake;
            connection->in = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA,
                                                        m_clientName.toStdString());
            connection->in->setErrorCallback(quietErrors, nullptr);
            connection->in->ignoreTypes(true, true, true);
            connection->in->setCallback(&MidiInput::received, connection.get());
            connection->in->openPort(i, "in");
            m_connections.push_back(std::move(connection));
        } catch (const RtMidiError &) {
        }
    }

    if (!m_outLister)
        return;
    QStringList sources;
    for (const auto &connection : m_connections)
        sources.append(connection->name);
    QStringList inputs;
    const unsigned int outCount = m_outLister->getPortCount();
    for (unsigned int i = 0; i < outCount; ++i)
        inputs.append(QString::fromStdString(m_outLister->getPortName(i)));
    std::erase_if(m_outputs, [&inputs](const std::unique_ptr<Output> &o) {
        return !inputs.contains(o->name);
    });
    bool lightsConnected = false;
    for (unsigned int i = 0; i < outCount; ++i) {
        const QString &name = inputs.at(i);
        if (!lightsTo(name, sources)
            || std::any_of(m_outputs.begin(), m_outputs.end(),
                           [&name](const auto &o) { return o->name == name; }))
            continue;
        try {
            auto output = std::make_unique<Output>();
            output->name = name;
            output->out = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA,
                                                      m_clientName.toStdString());
            output->out->setErrorCallback(quietErrors, nullptr);
            output->out->openPort(i, "out");
            m_outputs.push_back(std::move(output));
            lightsConnected = true;
        } catch (const RtMidiError &) {
        }
    }
    if (lightsConnected)
        toldConnected();
}

void MidiInput::toldConnected()
{
    // JACK changes its graph a cycle or two after the connection is asked for, and what is sent
    // before that is lost: the state goes out a little later.
    QTimer::singleShot(200, this, [this] {
        if (outputConnected)
            outputConnected();
    });
}

void MidiInput::received(double, std::vector<unsigned char> *bytes, void *user)
{
    // RtMidi's thread: the stamp comes first, before anything that may take time.
    const qint64 now = steadyNs();
    auto *connection = static_cast<Connection *>(user);
    MidiHit hit;
    if (!decodeMidi(bytes->data(), bytes->size(), hit.message))
        return;
    hit.arrivedNs = now;
    connection->hits.push(hit);
    wakeGui(connection->wake);
}

void MidiInput::wakeUp()
{
    if (!m_droppedSaid && dropped() > 0) {
        m_droppedSaid = true;
        std::fputs("PockoMP3Player: MIDI messages came faster than the deck takes them; the "
                   "newest are dropped\n",
                   stderr);
    }
    if (arrived)
        arrived();
}

std::uint64_t MidiInput::dropped() const
{
    std::uint64_t count = m_droppedBefore + (m_jack ? m_jack->hits.dropped() : 0);
    for (const auto &connection : m_connections)
        count += connection->hits.dropped();
    return count;
}

bool MidiInput::take(MidiHit &hit)
{
    // The oldest of the rings' oldest: each ring is in order already.
    MidiHitRing *oldest = nullptr;
    qint64 oldestNs = 0;
    const auto consider = [&oldest, &oldestNs](MidiHitRing &ring) {
        if (const MidiHit *next = ring.peek(); next && (!oldest || next->arrivedNs < oldestNs)) {
            oldest = &ring;
            oldestNs = next->arrivedNs;
        }
    };
    if (m_jack)
        consider(m_jack->hits);
    for (const auto &connection : m_connections)
        consider(connection->hits);
    return oldest != nullptr && oldest->pop(hit);
}

bool MidiInput::waiting(const std::function<bool(const MidiMessage &)> &wanted)
{
    const auto accepts = [&wanted](const MidiHit &hit) { return wanted(hit.message); };
    if (m_jack && m_jack->hits.any(accepts))
        return true;
    return std::any_of(m_connections.begin(), m_connections.end(),
                       [&accepts](const auto &c) { return c->hits.any(accepts); });
}

void MidiInput::send(const MidiMessage &message)
{
    if (message.channel < 1 || message.channel > 16 || message.number < 0
        || message.number > 127)
        return;
    const int value = std::clamp(message.value, 0, 127);
    m_lit[size_t((message.channel - 1) * 128 + message.number)] = std::uint8_t(value);
    MidiMessage light = message;
    light.kind = MidiMessage::Kind::Note;
    light.value = value;
    if (m_jack) {
        m_jack->lights.push(light);
        return;
    }
    const unsigned char bytes[3] = { static_cast<unsigned char>(0x90 | (light.channel - 1)),
                                     static_cast<unsigned char>(light.number),
                                     static_cast<unsigned char>(light.value) };
    for (const auto &output : m_outputs) {
        try {
            output->out->sendMessage(bytes, sizeof bytes);
        } catch (const RtMidiError &) {
        }
    }
}

void MidiInput::darken()
{
    for (int i = 0; i < int(m_lit.size()); ++i) {
        if (m_lit[size_t(i)] != 0)
            send({ MidiMessage::Kind::Note, i % 128, i / 128 + 1, 0 });
    }
    if (!m_jack || m_jack->gone.load())
        return;
    // JACK sends them from its own thread: wait until the ring is empty, then for the cycle
    // that wrote them to be read.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!m_jack->lights.empty() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double period = double(jack_get_buffer_size(m_jack->client))
                          / std::max<jack_nframes_t>(1, jack_get_sample_rate(m_jack->client));
    std::this_thread::sleep_for(std::chrono::duration<double>(2 * period));
}

} // namespace pocko
