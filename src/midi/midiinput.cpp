#include "midiinput.h"

#include <QSocketNotifier>
#include <QTimer>

#include <RtMidi.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <fcntl.h>
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

// Whether a JACK server answers; JACK's own complaints when none does are kept off stderr.
bool jackRuns()
{
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
    jack_status_t status {};
    jack_client_t *client = jack_client_open("PockoMP3 probe", JackNoStartServer, &status);
    if (client == nullptr)
        return false;
    jack_client_close(client);
    return true;
}

// Whether the ALSA sequencer opens (RtMidi would print its failure before it throws).
bool alsaRuns()
{
    snd_lib_error_set_handler(silentAlsa);
    snd_seq_t *seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
        return false;
    snd_seq_close(seq);
    return true;
}

} // namespace

// One output connected to this deck: an input of our own that listens to it alone.
struct MidiInput::Connection
{
    QString name;
    std::unique_ptr<RtMidiIn> in;
};

MidiInput::MidiInput(const QString &clientName, const QString &filter)
    : m_clientName(clientName)
    , m_filter(filter)
{
}

MidiInput::~MidiInput()
{
    m_connections.clear();
    m_lister.reset();
    for (int fd : m_wake) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool MidiInput::open(QString *error)
{
    const std::string client = m_clientName.toStdString();
    // JACK first where its server runs (JACK's MIDI then reaches every JACK program), else the
    // ALSA sequencer: both go through the same calls, only the back end differs.
    std::vector<RtMidi::Api> apis;
    if (jackRuns())
        apis.push_back(RtMidi::UNIX_JACK);
    if (alsaRuns())
        apis.push_back(RtMidi::LINUX_ALSA);
    for (RtMidi::Api api : apis) {
        try {
            bool failed = false;
            auto lister = std::make_unique<RtMidiIn>(api, client);
            lister->setErrorCallback(quietErrors, &failed);
            lister->getPortCount();
            if (failed)
                continue;
            m_lister = std::move(lister);
            m_lister->setErrorCallback(quietErrors, nullptr);
            m_api = int(api);
            m_apiName = QString::fromStdString(RtMidi::getApiDisplayName(api));
            break;
        } catch (const RtMidiError &) {
        }
    }
    if (!m_lister) {
        *error = QStringLiteral("no MIDI input (no JACK server and no ALSA sequencer)");
        return false;
    }
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_notifier = new QSocketNotifier(m_wake[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] {
            char drained[64];
            while (::read(m_wake[0], drained, sizeof drained) > 0) { }
            if (arrived)
                arrived();
        });
    }
    m_poll = new QTimer(this);
    connect(m_poll, &QTimer::timeout, this, &MidiInput::connectNew);
    m_poll->start(500);
    connectNew();
    return true;
}

void MidiInput::connectNew()
{
    QStringList present;
    const unsigned int count = m_lister->getPortCount();
    for (unsigned int i = 0; i < count; ++i)
        present.append(QString::fromStdString(m_lister->getPortName(i)));

    // An output that went away is let go, so that it is taken again when it comes back.
    std::erase_if(m_connections, [&present](const std::unique_ptr<Connection> &c) {
        return !present.contains(c->name);
    });
    for (unsigned int i = 0; i < count; ++i) {
        const QString &name = present.at(i);
        if (!name.contains(m_filter) || name.startsWith(m_clientName)
            || std::any_of(m_connections.begin(), m_connections.end(),
                           [&name](const auto &c) { return c->name == name; }))
            continue;
        try {
            auto connection = std::make_unique<Connection>();
            connection->name = name;
            connection->in
                = std::make_unique<RtMidiIn>(RtMidi::Api(m_api), m_clientName.toStdString());
            connection->in->setErrorCallback(quietErrors, nullptr);
            connection->in->setCallback(&MidiInput::received, this);
            connection->in->openPort(i, "in");
            m_connections.push_back(std::move(connection));
        } catch (const RtMidiError &) {
        }
    }
}

void MidiInput::received(double, std::vector<unsigned char> *bytes, void *user)
{
    // The back end's thread: the stamp comes first, before anything that may take time.
    const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    auto *self = static_cast<MidiInput *>(user);
    MidiHit hit;
    if (!decodeMidi(bytes->data(), bytes->size(), hit.message))
        return;
    hit.arrivedNs = now;
    {
        const std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_queue.push_back(hit);
    }
    const char one = 1;
    [[maybe_unused]] const ssize_t written = ::write(self->m_wake[1], &one, 1);
}

bool MidiInput::take(MidiHit &hit)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty())
        return false;
    hit = m_queue.front();
    m_queue.pop_front();
    return true;
}

bool MidiInput::waiting(const std::function<bool(const MidiMessage &)> &wanted)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return std::any_of(m_queue.begin(), m_queue.end(),
                       [&wanted](const MidiHit &hit) { return wanted(hit.message); });
}

} // namespace pocko
