#include "deckplayer.h"

#include "outputchoice.h"
#include "platform/filenames.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace pocko {

namespace {

// How long a change of stream waits for the decoder to have the new stream's start ready. Until the
// callback takes the change it goes on playing the old stream, so a slow decoder costs latency,
// not a hole; it takes well under a millisecond on an idle machine.
constexpr int StreamReadyTimeoutMs = 100;

// POCKO_AUDIO_FRAMES=N pins the device buffer (0: step up from the smallest size as needed).
int pinnedFrames()
{
    const QByteArray text = qgetenv("POCKO_AUDIO_FRAMES");
    if (text.isEmpty())
        return 0;
    bool ok = false;
    const int frames = text.toInt(&ok);
    if (ok && frames >= 16 && frames <= 16384)
        return frames;
    std::fprintf(stderr,
                 "audio: POCKO_AUDIO_FRAMES=%s is not a buffer size of 16 to 16384 "
                 "frames; ignored\n",
                 text.constData());
    return 0;
}

qint64 mtimeNs(const struct stat &info)
{
    return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

} // namespace

DeckPlayer::DeckPlayer(std::unique_ptr<AudioOutput> output)
    : m_feed(m_render.blocks())
    , m_keeper(output ? std::move(output) : defaultOutput(), pinnedFrames(), m_render)
{
    // The rings and the callback's state are touched now and kept in memory, so that the audio
    // thread never waits for a page.
    ::mlock(this, sizeof *this);
    m_keeper.start();
}

DeckPlayer::~DeckPlayer()
{
    ::munlock(this, sizeof *this);
}

bool DeckPlayer::soundDeviceEnabled()
{
    return m_keeper.soundDeviceEnabled();
}

void DeckPlayer::setPostOpenReset(int value)
{
    Q_UNUSED(value);
}

// ---- GUI thread: songs ----

void DeckPlayer::setFileName(const QString &path)
{
    // An empty name is no failure: it closes the song, and fileName() then reads "".
    if (path.isEmpty()) {
        closeSong();
        return;
    }
    const QByteArray bytes = encodeFileName(path);
    const int fd = ::open(bytes.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && ::fstat(fd, &info) != 0) {
        ::close(fd);
        closeSong();
        throw PlayerFailure("cannot read the file");
    }
    if (fd >= 0 && m_length > 0 && path == m_path && info.st_dev == m_fileDevice
        && info.st_ino == m_fileInode && info.st_size == m_fileSize
        && mtimeNs(info) == m_fileMtimeNs) {
        // The same file again: restart it with the handle that is already open.
        ::close(fd);
        m_selectionStart = -1;
        m_selectionEnd = -1;
        restartStream(0, Playing);
        return;
    }
    closeSong();
    if (fd < 0)
        throw PlayerFailure("cannot open the file");
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        throw PlayerFailure("not a file");
    }
    auto song = std::make_unique<SongDecoder>(fd); // owns fd from here on; throws when refused
    m_length = song->length();
    m_fileRate = song->fileRate();
    m_path = path;
    m_fileDevice = info.st_dev;
    m_fileInode = info.st_ino;
    m_fileSize = info.st_size;
    m_fileMtimeNs = mtimeNs(info);
    m_feed.setSong(std::move(song));
    m_songOpen = true;
    m_selectionStart = -1;
    m_selectionEnd = -1;
    restartStream(0, Playing);
}

void DeckPlayer::closeSong()
{
    if (m_length == 0 && !m_songOpen)
        return;
    const quint64 generation = m_feed.start(StreamPlan {});
    m_feed.setSong(nullptr);
    m_songOpen = false;
    RenderCommand command;
    command.type = RenderCommand::Type::NewStream;
    command.generation = generation;
    command.state = Stopped;
    post(command, 0, Stopped);
    m_length = 0;
    m_fileRate = 0;
    m_path.clear();
    m_selectionStart = -1;
    m_selectionEnd = -1;
}

QString DeckPlayer::fileName() const
{
    return m_length > 0 ? m_path : QString();
}

double DeckPlayer::duration() const
{
    return m_length > 0 ? double(m_length) / double(m_fileRate) : 0.0;
}

// ---- GUI thread: position and state ----

qint64 DeckPlayer::frameOf(double seconds) const
{
    if (!(seconds > 0))
        return 0;
    return std::min<qint64>(m_length, std::llround(seconds * double(m_fileRate)));
}

double DeckPlayer::knownFrame() const
{
    if (m_render.acknowledged() >= m_pendingSequence)
        return m_render.heardFrame(m_keeper.unheardFrames());
    return m_pendingFrame;
}

int DeckPlayer::knownState() const
{
    if (m_render.acknowledged() >= m_pendingSequence)
        return m_render.heardState(m_keeper.unheardFrames());
    return m_pendingState;
}

double DeckPlayer::currentPosition() const
{
    if (m_length == 0)
        return 0.0;
    return std::clamp(knownFrame(), 0.0, double(m_length)) / double(m_fileRate);
}

int DeckPlayer::playState() const
{
    return m_length > 0 ? knownState() : Stopped;
}

qint64 DeckPlayer::selectionStartFrame() const
{
    return m_selectionStart < 0 ? 0 : frameOf(m_selectionStart);
}

qint64 DeckPlayer::selectionEndFrame() const
{
    return m_selectionEnd < 0 ? m_length : frameOf(m_selectionEnd);
}

void DeckPlayer::post(const RenderCommand &command, double frame, int state)
{
    RenderCommand sent = command;
    sent.sequence = ++m_sequence;
    sent.atNs = m_startNs;
    m_pendingSequence = sent.sequence;
    m_pendingFrame = frame;
    m_pendingState = state;
    // The callback (or the standby thread while no device is open) empties the queue every few
    // milliseconds; it is only full under a flood of commands.
    for (int tries = 0; !m_render.post(sent); ++tries) {
        if (tries == 1000)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Into a long queue the command sounds once the queue is rewritten from the frame it takes
    // effect at.
    m_keeper.rewrite();
}

void DeckPlayer::restartStream(qint64 frame, int state, const StreamPlan *train, bool resume)
{
    if (m_length == 0)
        return;
    StreamPlan plan = train ? *train : StreamPlan {};
    plan.active = true;
    plan.startFrame = std::clamp<qint64>(frame, 0, m_length);
    plan.selectionStart = selectionStartFrame();
    plan.selectionEnd = selectionEndFrame();
    plan.rate = m_rate;
    plan.generation = m_feed.start(plan);
    // Switching before the new stream has a few blocks would play them and then fall silent.
    m_feed.waitForStream(StreamReadyTimeoutMs);
    RenderCommand command;
    command.type = RenderCommand::Type::NewStream;
    command.generation = plan.generation;
    command.frame = double(plan.startFrame);
    command.state = state;
    command.fadeIn = train == nullptr;
    command.train = train != nullptr;
    command.resume = resume;
    post(command, double(plan.startFrame), state);
}

void DeckPlayer::setCurrentPosition(double seconds)
{
    if (m_length == 0)
        return;
    restartStream(frameOf(seconds), knownState());
}

void DeckPlayer::play()
{
    if (m_length == 0 || knownState() == Playing)
        return;
    RenderCommand command;
    command.type = RenderCommand::Type::Play;
    post(command, knownFrame(), Playing);
}

void DeckPlayer::pause()
{
    if (m_length == 0 || knownState() != Playing)
        return;
    RenderCommand command;
    command.type = RenderCommand::Type::Pause;
    post(command, knownFrame(), Paused);
    // The exact position is known only once the callback has taken the command.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (m_render.acknowledged() < m_pendingSequence
           && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
}

void DeckPlayer::stop()
{
    if (m_length == 0)
        return;
    restartStream(selectionStartFrame(), Stopped);
}

void DeckPlayer::setRate(double rate)
{
    if (!(rate > 0) || rate == m_rate)
        return;
    m_rate = rate;
    if (m_length > 0)
        restartStream(std::llround(knownFrame()), knownState(), nullptr, true);
}

void DeckPlayer::setSelectionStart(double seconds)
{
    m_selectionStart = seconds < 0 ? -1 : seconds;
    if (m_length == 0)
        return;
    const int state = knownState();
    if (state == Stopped)
        restartStream(selectionStartFrame(), state);
    else
        restartStream(std::llround(knownFrame()), state, nullptr, true);
}

void DeckPlayer::setSelectionEnd(double seconds)
{
    m_selectionEnd = seconds < 0 ? -1 : seconds;
    if (m_length == 0)
        return;
    restartStream(std::llround(knownFrame()), knownState(), nullptr, true);
}

void DeckPlayer::playBursts(double start, double heardSeconds, int count)
{
    if (m_length == 0)
        return;
    const double heard = std::max(0.0, heardSeconds);
    StreamPlan train;
    train.burstCount = std::max(1, count);
    train.burstFrames = std::llround(heard * OutputRate);
    train.burstPauseFrame = frameOf(std::max(0.0, start) + heard * m_rate);
    restartStream(frameOf(start), Playing, &train);
}

} // namespace pocko
