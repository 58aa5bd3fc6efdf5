#include "sdlplayer.h"

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
#include <cstring>

namespace pocko {

namespace {

// The ring holds ~280 ms ahead; looking for free room every 25 ms keeps it topped up, and each
// wake-up costs about as much as a device buffer does (a lot, in a virtual machine).
constexpr auto DecoderPoll = std::chrono::milliseconds(25);
// How long a change of stream waits for the decoder to have the new stream's start ready. Until the
// callback takes the change it goes on playing the old stream, so a slow decoder costs latency,
// not a hole; it takes well under a millisecond on an idle machine.
constexpr int StreamReadyTimeoutMs = 100;
// How long a new player waits for its first try to open the sound device; a sound server answers
// in a few milliseconds.
constexpr auto FirstOpenTimeout = std::chrono::seconds(2);
// A FILE click asks for a try at once when no device has ever been open, and waits this long.
constexpr auto SoundCheckTimeout = std::chrono::milliseconds(20);
// While the device is gone: a try to open it again this often.
constexpr auto ReopenInterval = std::chrono::milliseconds(250);
// While it is open: a look whether it was lost or keeps running dry this often.
constexpr auto WatchInterval = std::chrono::milliseconds(20);
// Dropouts in a new stream's first moments do not count towards a larger buffer.
constexpr auto StartGrace = std::chrono::milliseconds(500);
// While no device is open, the callback still runs this often, unheard.
constexpr auto StandbyInterval = std::chrono::milliseconds(5);

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

SdlPlayer::SdlPlayer(std::unique_ptr<AudioOutput> output)
    : m_output(output ? std::move(output) : defaultOutput())
    , m_steps(pinnedFrames())
{
    // The ring, the queue and the callback's state are touched now and kept in memory, so that
    // the audio thread never waits for a page.
    ::mlock(this, sizeof *this);
    m_decoder = std::thread([this] { decodeLoop(); });
    m_standbyThread = std::thread([this] { standbyLoop(); });
    m_outputThread = std::thread([this] { outputLoop(); });
    const auto deadline = std::chrono::steady_clock::now() + FirstOpenTimeout;
    while (m_attempts.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

SdlPlayer::~SdlPlayer()
{
    {
        std::lock_guard lock(m_outputMutex);
        m_outputQuit = true;
    }
    m_outputWake.notify_all();
    m_outputThread.join(); // closes the device
    m_standbyThread.join();
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_one();
    m_decoder.join();
    ::munlock(this, sizeof *this);
}

bool SdlPlayer::soundDeviceEnabled()
{
    if (m_everOpened.load())
        return true;
    const quint64 before = m_attempts.load();
    {
        std::lock_guard lock(m_outputMutex);
        m_tryNow = true;
    }
    m_outputWake.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + SoundCheckTimeout;
    while (m_attempts.load() <= before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    return m_everOpened.load();
}

void SdlPlayer::setPostOpenReset(int value)
{
    Q_UNUSED(value);
}

// ---- GUI thread: songs ----

void SdlPlayer::setFileName(const QString &path)
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
    {
        std::lock_guard lock(m_mutex);
        m_song = std::move(song);
    }
    m_selectionStart = -1;
    m_selectionEnd = -1;
    restartStream(0, Playing);
}

void SdlPlayer::closeSong()
{
    if (m_length == 0 && !m_song)
        return;
    std::unique_ptr<SongDecoder> old;
    {
        std::lock_guard lock(m_mutex);
        m_plan = StreamPlan {};
        m_plan.generation = ++m_generation;
        m_planChanged = true;
        old = std::move(m_song);
    }
    Command command;
    command.type = Command::Type::NewStream;
    command.generation = m_plan.generation;
    command.state = Stopped;
    post(command, 0, Stopped);
    m_length = 0;
    m_fileRate = 0;
    m_path.clear();
    m_selectionStart = -1;
    m_selectionEnd = -1;
}

QString SdlPlayer::fileName() const
{
    return m_length > 0 ? m_path : QString();
}

double SdlPlayer::duration() const
{
    return m_length > 0 ? double(m_length) / double(m_fileRate) : 0.0;
}

// ---- GUI thread: position and state ----

qint64 SdlPlayer::frameOf(double seconds) const
{
    if (!(seconds > 0))
        return 0;
    return std::min<qint64>(m_length, std::llround(seconds * double(m_fileRate)));
}

double SdlPlayer::knownFrame() const
{
    if (m_acknowledged.load(std::memory_order_acquire) >= m_pendingSequence)
        return m_publishedFrame.load(std::memory_order_relaxed);
    return m_pendingFrame;
}

int SdlPlayer::knownState() const
{
    if (m_acknowledged.load(std::memory_order_acquire) >= m_pendingSequence)
        return m_publishedState.load(std::memory_order_relaxed);
    return m_pendingState;
}

double SdlPlayer::currentPosition() const
{
    if (m_length == 0)
        return 0.0;
    return std::clamp(knownFrame(), 0.0, double(m_length)) / double(m_fileRate);
}

int SdlPlayer::playState() const
{
    return m_length > 0 ? knownState() : Stopped;
}

qint64 SdlPlayer::selectionStartFrame() const
{
    return m_selectionStart < 0 ? 0 : frameOf(m_selectionStart);
}

qint64 SdlPlayer::selectionEndFrame() const
{
    return m_selectionEnd < 0 ? m_length : frameOf(m_selectionEnd);
}

void SdlPlayer::post(const Command &command, double frame, int state)
{
    Command sent = command;
    sent.sequence = ++m_sequence;
    m_pendingSequence = sent.sequence;
    m_pendingFrame = frame;
    m_pendingState = state;
    // The callback (or the standby thread while no device is open) empties the queue every few
    // milliseconds; it is only full under a flood of commands.
    for (int tries = 0; !m_commands.push(sent); ++tries) {
        if (tries == 1000)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void SdlPlayer::restartStream(qint64 frame, int state, const StreamPlan *train, bool resume)
{
    if (m_length == 0)
        return;
    StreamPlan plan = train ? *train : StreamPlan {};
    plan.active = true;
    plan.startFrame = std::clamp<qint64>(frame, 0, m_length);
    plan.selectionStart = selectionStartFrame();
    plan.selectionEnd = selectionEndFrame();
    plan.rate = m_rate;
    {
        std::lock_guard lock(m_mutex);
        plan.generation = ++m_generation;
        m_plan = plan;
        m_planChanged = true;
    }
    m_wake.notify_one();
    // Switching before the new stream has a few blocks would play them and then fall silent.
    waitForStream(StreamReadyTimeoutMs);
    Command command;
    command.type = Command::Type::NewStream;
    command.generation = plan.generation;
    command.frame = double(plan.startFrame);
    command.state = state;
    command.fadeIn = train == nullptr;
    command.train = train != nullptr;
    command.resume = resume;
    post(command, double(plan.startFrame), state);
}

void SdlPlayer::setCurrentPosition(double seconds)
{
    if (m_length == 0)
        return;
    restartStream(frameOf(seconds), knownState());
}

void SdlPlayer::play()
{
    if (m_length == 0 || knownState() == Playing)
        return;
    Command command;
    command.type = Command::Type::Play;
    post(command, knownFrame(), Playing);
}

void SdlPlayer::pause()
{
    if (m_length == 0 || knownState() != Playing)
        return;
    Command command;
    command.type = Command::Type::Pause;
    post(command, knownFrame(), Paused);
    // The exact position is known only once the callback has taken the command.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (m_acknowledged.load(std::memory_order_acquire) < m_pendingSequence
           && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
}

void SdlPlayer::stop()
{
    if (m_length == 0)
        return;
    restartStream(selectionStartFrame(), Stopped);
}

void SdlPlayer::setRate(double rate)
{
    if (!(rate > 0) || rate == m_rate)
        return;
    m_rate = rate;
    if (m_length > 0)
        restartStream(std::llround(knownFrame()), knownState(), nullptr, true);
}

void SdlPlayer::setSelectionStart(double seconds)
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

void SdlPlayer::setSelectionEnd(double seconds)
{
    m_selectionEnd = seconds < 0 ? -1 : seconds;
    if (m_length == 0)
        return;
    restartStream(std::llround(knownFrame()), knownState(), nullptr, true);
}

void SdlPlayer::playBursts(double start, double heardSeconds, int count)
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

bool SdlPlayer::waitForStream(int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_readyGeneration.load(std::memory_order_acquire) < m_generation) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

// ---- Decoder thread ----

void SdlPlayer::decodeLoop()
{
    std::unique_lock lock(m_mutex);
    int pushed = 0; // blocks of the current plan
    while (!m_quit) {
        if (m_planChanged) {
            m_planChanged = false;
            pushed = 0;
            if (m_song)
                m_song->begin(m_plan);
        }
        const bool roomy = pushed < ReservedBlocks || m_blocks.size() < std::size_t(AheadBlocks);
        if (!m_song) {
            m_wake.wait(lock); // until a song is opened
            continue;
        }
        AudioBlock *slot = roomy ? m_blocks.writeSlot() : nullptr;
        if (!slot) {
            // The callback cannot signal (it never locks): look again shortly.
            m_wake.wait_for(lock, DecoderPoll);
            continue;
        }
        if (!m_song->fill(*slot, m_blocks.drained())) {
            // Nothing more to render now: the stream's start is all there is.
            m_readyGeneration.store(m_plan.generation, std::memory_order_release);
            m_wake.wait_for(lock, DecoderPoll);
            continue;
        }
        m_blocks.commit();
        if (++pushed == ReservedBlocks)
            m_readyGeneration.store(slot->generation, std::memory_order_release);
    }
}

// ---- Output thread ----

void SdlPlayer::setStandby(bool on)
{
    {
        std::lock_guard lock(m_outputMutex);
        m_standby = on;
    }
    m_outputWake.notify_all();
}

bool SdlPlayer::openOutput(int frames)
{
    bool opened = m_output->open(frames, &SdlPlayer::renderOutput, this);
    if (!opened) {
        // A back end whose connection to the sound server died opens nothing until it starts
        // afresh; nor does one that found no server when it started.
        m_output->restart();
        opened = m_output->open(frames, &SdlPlayer::renderOutput, this);
    }
    if (!opened)
        return false;
    setStandby(false);
    m_realtime.store(m_output->makeRealtime());
    m_deviceFrames.store(frames);
    m_everOpened.store(true);
    return true;
}

void SdlPlayer::closeOutput(bool fadeOut)
{
    if (fadeOut) {
        // Sound fades out and the callback holds its place; then the device plays what it has.
        m_hold.store(true);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!m_quiet.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(
            std::chrono::milliseconds(2 * 1000 * m_deviceFrames.load() / OutputRate + 5));
    }
    setStandby(true);
    m_output->close();
    m_hold.store(false);
    m_deviceFrames.store(0);
    m_realtime.store(false);
}

quint64 SdlPlayer::countDropouts()
{
    // A device that reports its own dropouts knows them better than the callback's clock does.
    const quint64 device = m_output->countsDropouts() ? m_output->dropouts() : lateBuffers();
    // Silence that came late is not heard: only dropouts while a song plays count.
    const bool playing = m_publishedState.load(std::memory_order_relaxed) == Playing;
    if (!playing && !m_wasPlaying)
        m_unheardDropouts += device - m_deviceDropouts;
    m_deviceDropouts = device;
    m_wasPlaying = playing;
    m_dropouts.store(device - m_unheardDropouts);
    return underruns() + device - m_unheardDropouts;
}

void SdlPlayer::outputLoop()
{
    using Clock = std::chrono::steady_clock;
    const auto msSince = [](Clock::time_point from) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from).count();
    };
    const Clock::time_point began = Clock::now();
    std::unique_lock lock(m_outputMutex);
    bool open = false;
    Clock::time_point nextTry = began;
    Clock::time_point lostAt;
    Clock::time_point openedAt;
    bool wasLost = false;
    quint64 dropouts = 0;
    while (!m_outputQuit) {
        if (!open) {
            if (!m_tryNow && Clock::now() < nextTry) {
                m_outputWake.wait_until(lock, nextTry);
                continue;
            }
            m_tryNow = false;
            lock.unlock();
            open = openOutput(m_steps.frames());
            if (open && wasLost)
                std::fprintf(stderr, "audio: the sound device is back after %.1f s\n",
                             double(msSince(lostAt)) / 1000.0);
            wasLost = wasLost && !open;
            openedAt = Clock::now();
            dropouts = countDropouts();
            m_attempts.fetch_add(1);
            lock.lock();
            nextTry = Clock::now() + ReopenInterval;
            continue;
        }
        m_outputWake.wait_for(lock, WatchInterval);
        if (m_outputQuit)
            break;
        lock.unlock();
        if (m_output->lost()) {
            closeOutput(false);
            open = false;
            wasLost = true;
            lostAt = Clock::now();
            std::fprintf(stderr, "audio: the sound device is gone; opening it again every %d ms\n",
                         int(ReopenInterval.count()));
        } else {
            const quint64 now = countDropouts();
            // A stream just started may run dry before it is in step: that says nothing of its
            // buffer's size.
            if (Clock::now() - openedAt < StartGrace)
                dropouts = now;
            bool stepped = false;
            for (; dropouts < now; ++dropouts)
                stepped = m_steps.dropout(msSince(began)) || stepped;
            if (stepped) {
                const int from = m_deviceFrames.load();
                closeOutput(true);
                open = openOutput(m_steps.frames());
                openedAt = Clock::now();
                std::fprintf(stderr,
                             "audio: the device ran dry twice within %d s: its buffer "
                             "goes from %d to %d frames\n",
                             int(BufferSteps::WindowMs / 1000), from, m_steps.frames());
                dropouts = countDropouts();
            }
        }
        lock.lock();
    }
    lock.unlock();
    if (open)
        closeOutput(false);
}

// ---- Standby thread ----

void SdlPlayer::standbyLoop()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(m_outputMutex);
    Clock::time_point last = Clock::now();
    while (!m_outputQuit) {
        if (!m_standby) {
            m_outputWake.wait(lock);
            last = Clock::now();
            continue;
        }
        m_outputWake.wait_for(lock, StandbyInterval);
        if (!m_standby || m_outputQuit)
            continue;
        // As many frames as a device would have asked for meanwhile, so a burst train keeps its
        // time even unheard.
        const Clock::time_point now = Clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - last);
        const int frames = int(
            std::clamp<qint64>(elapsed.count() * OutputRate / 1000000, 1, BufferSteps::Largest));
        last = now;
        lock.unlock();
        renderExclusive(m_standbyBuffer.data(), frames, false);
        lock.lock();
    }
}

// ---- Audio callback ----

namespace {

constexpr int SettleFrames = 2048;

} // namespace

void SdlPlayer::renderOutput(void *user, float *out, int frames, bool audible)
{
    static_cast<SdlPlayer *>(user)->renderExclusive(out, frames, audible);
}

void SdlPlayer::renderExclusive(float *out, int frames, bool audible)
{
    // Only while the device and the standby thread hand over can both be here; the one that
    // comes second plays silence for once.
    bool idle = false;
    if (!m_rendering.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
        std::fill(out, out + std::size_t(frames) * 2, 0.0f);
        return;
    }
    render(out, frames, audible);
    m_rendering.store(false, std::memory_order_release);
}

void SdlPlayer::dropStale()
{
    while (m_blocks.readable() > 0 && m_blocks.peek(0).generation < m_cbGeneration) {
        m_blocks.pop();
        m_cbCursor = 0;
    }
}

int SdlPlayer::fadeOut(float *out, int frames, int done, double *advance)
{
    // Sounds the frames ahead once more with a falling gain, without consuming them: the position
    // stays where the command took effect.
    const float from = rampGain(m_cbRamp);
    std::size_t index = 0;
    int cursor = m_cbCursor;
    int k = 0;
    while (k < FadeFrames && done < frames && index < m_blocks.readable()) {
        const AudioBlock &block = m_blocks.peek(index);
        if (block.generation != m_cbGeneration)
            break;
        if (cursor >= block.frames) {
            if (block.end != BlockEnd::None)
                break;
            ++index;
            cursor = 0;
            continue;
        }
        const float gain = from * rampGain(FadeFrames - 1 - k);
        out[done * 2] = block.data[std::size_t(cursor) * 2] * gain;
        out[done * 2 + 1] = block.data[std::size_t(cursor) * 2 + 1] * gain;
        *advance += block.step;
        ++cursor;
        ++done;
        ++k;
    }
    return done;
}

int SdlPlayer::apply(const Command &command, float *out, int frames, int done)
{
    switch (command.type) {
    case Command::Type::Play:
        if (m_cbState != Playing) {
            m_cbState = Playing;
            m_cbRamp = 0;
        }
        break;
    case Command::Type::Pause:
        if (m_cbState == Playing) {
            double advance = 0;
            done = fadeOut(out, frames, done, &advance);
            m_cbState = Paused;
        }
        break;
    case Command::Type::NewStream: {
        // A resumed stream takes over where the fade-out of the old one ends.
        double here = m_cbFrame;
        if (m_cbState == Playing)
            done = fadeOut(out, frames, done, &here);
        m_cbSkipping = command.resume && here > command.frame;
        m_cbSkipTo = here;
        m_cbGeneration = command.generation;
        m_cbFrame = m_cbSkipping ? here : command.frame;
        m_cbState = command.state;
        m_cbRamp = command.fadeIn ? 0 : FadeFrames;
        m_cbTrain = command.train;
        m_cbStarted = false;
        dropStale();
        break;
    }
    }
    return done;
}

void SdlPlayer::render(float *out, int frames, bool audible)
{
    audible = audible && !m_hold.load(std::memory_order_acquire);
    // A device just opened first plays a little silence: a sound server that starts a new stream
    // may drop its first milliseconds, and with them the fade-in.
    if (!audible) {
        m_cbSettle = SettleFrames;
    } else if (m_cbSettle > 0) {
        m_cbSettle -= frames;
        audible = false;
    }
    if (audible) {
        // A device that asks again after more than two of its buffers has run dry meanwhile.
        const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
        if (m_cbLastNs != 0 && m_cbState == Playing && m_cbStarted
            && now - m_cbLastNs > 2 * qint64(frames) * 1000000000 / OutputRate)
            m_lateBuffers.fetch_add(1, std::memory_order_relaxed);
        m_cbLastNs = now;
    } else {
        m_cbLastNs = 0;
    }
    int done = 0;
    quint64 acknowledged = 0;
    Command command;
    while (m_commands.pop(command)) {
        done = apply(command, out, frames, done);
        acknowledged = command.sequence;
    }
    dropStale();
    if (audible != m_cbAudible) {
        // Unheard, a playing song holds its place (fading out, should anyone still hear it);
        // heard again, it fades in from there.
        if (m_cbState == Playing && !audible) {
            double advance = 0;
            done = fadeOut(out, frames, done, &advance);
        }
        m_cbRamp = audible && m_cbState == Playing ? 0 : m_cbRamp;
        m_cbAudible = audible;
    }
    while (done < frames && m_cbState == Playing && (audible || m_cbTrain)) {
        if (m_blocks.readable() == 0) {
            if (m_cbStarted && audible)
                m_underruns.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        const AudioBlock &block = m_blocks.peek(0);
        if (block.generation != m_cbGeneration)
            break; // a newer stream whose command has not arrived yet
        if (m_cbSkipping) {
            const double behind = m_cbSkipTo - (block.startFrame + m_cbCursor * block.step);
            const int left = block.frames - m_cbCursor;
            const int skip = int(std::clamp(std::round(behind / block.step), 0.0, double(left)));
            m_cbSkipping = skip == left;
            m_cbCursor += skip;
        }
        const int n = m_cbSkipping ? 0 : std::min(block.frames - m_cbCursor, frames - done);
        for (int i = 0; i < n; ++i) {
            const std::size_t from = std::size_t(m_cbCursor + i) * 2;
            float gain = 1.0f;
            if (m_cbRamp < FadeFrames)
                gain = rampGain(m_cbRamp++);
            out[(done + i) * 2] = block.data[from] * gain;
            out[(done + i) * 2 + 1] = block.data[from + 1] * gain;
        }
        if (n > 0)
            m_cbStarted = true;
        m_cbCursor += n;
        done += n;
        m_cbFrame = block.startFrame + double(m_cbCursor) * block.step;
        if (m_cbCursor >= block.frames) {
            const BlockEnd end = block.end;
            const double endFrame = block.endFrame;
            m_blocks.pop();
            m_cbCursor = 0;
            if (end == BlockEnd::Stop) {
                m_cbState = Stopped;
                m_cbFrame = endFrame;
            } else if (end == BlockEnd::Pause) {
                m_cbState = Paused;
                m_cbFrame = endFrame;
                m_cbTrain = false;
            }
        }
    }
    std::fill(out + done * 2, out + frames * 2, 0.0f);
    m_publishedFrame.store(m_cbFrame, std::memory_order_relaxed);
    m_publishedState.store(m_cbState, std::memory_order_relaxed);
    m_quiet.store(!audible, std::memory_order_release);
    if (acknowledged != 0)
        m_acknowledged.store(acknowledged, std::memory_order_release);
}

} // namespace pocko
