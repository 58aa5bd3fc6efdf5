#include "sdlplayer.h"

#include "platform/filenames.h"

#include <SDL.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
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

qint64 mtimeNs(const struct stat &info)
{
    return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

} // namespace

SdlPlayer::SdlPlayer()
{
    openDevice();
    m_decoder = std::thread([this] { decodeLoop(); });
}

SdlPlayer::~SdlPlayer()
{
    if (m_device != 0)
        SDL_CloseAudioDevice(m_device);
    if (m_sdlInitialized)
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_one();
    m_decoder.join();
}

bool SdlPlayer::openDevice()
{
    if (m_device != 0)
        return true;
    if (!m_sdlInitialized) {
        // SDL would otherwise catch SIGINT and SIGTERM for an event queue nobody reads, and the
        // program would no longer end when the session asks it to.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
            return false;
        m_sdlInitialized = true;
    }
    SDL_AudioSpec want;
    std::memset(&want, 0, sizeof want);
    want.freq = OutputRate;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    // Two blocks (23 ms) a device buffer: with one (11.6 ms) a sound server left the stream empty
    // now and then on a busy machine. Timing does not depend on it: the callback counts frames.
    want.samples = DeviceFrames;
    want.callback = &SdlPlayer::audioCallback;
    want.userdata = this;
    SDL_AudioSpec have;
    // No allowed changes: SDL converts when the device runs another format.
    m_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (m_device == 0)
        return false;
    SDL_PauseAudioDevice(m_device, 0);
    return true;
}

bool SdlPlayer::soundDeviceEnabled()
{
    if (m_device != 0)
        return true;
    if (!openDevice())
        return false;
    // A fresh callback knows nothing yet: hand it the stream the GUI side has been answering with.
    if (m_length > 0)
        restartStream(std::llround(m_pendingFrame), m_pendingState);
    return true;
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
    if (m_device == 0)
        return; // nothing consumes commands; the pending values are the truth
    // The callback empties the queue every buffer; it is only full under a flood of commands.
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
    if (m_device != 0)
        waitForStream(StreamReadyTimeoutMs);
    Command command;
    command.type = Command::Type::NewStream;
    command.generation = plan.generation;
    command.frame = double(plan.startFrame);
    command.state = state;
    command.fadeIn = train == nullptr;
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
    if (m_device == 0)
        return;
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

// ---- Audio thread only ----

void SdlPlayer::audioCallback(void *user, unsigned char *stream, int bytes)
{
    static_cast<SdlPlayer *>(user)->render(reinterpret_cast<float *>(stream),
                                           bytes / int(2 * sizeof(float)));
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
        m_cbStarted = false;
        dropStale();
        break;
    }
    }
    return done;
}

void SdlPlayer::render(float *out, int frames)
{
    int done = 0;
    quint64 acknowledged = 0;
    Command command;
    while (m_commands.pop(command)) {
        done = apply(command, out, frames, done);
        acknowledged = command.sequence;
    }
    dropStale();
    while (done < frames && m_cbState == Playing) {
        if (m_blocks.readable() == 0) {
            if (m_cbStarted)
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
            }
        }
    }
    std::fill(out + done * 2, out + frames * 2, 0.0f);
    m_publishedFrame.store(m_cbFrame, std::memory_order_relaxed);
    m_publishedState.store(m_cbState, std::memory_order_relaxed);
    if (acknowledged != 0)
        m_acknowledged.store(acknowledged, std::memory_order_release);
}

} // namespace pocko
