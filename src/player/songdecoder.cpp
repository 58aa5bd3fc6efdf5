#include "songdecoder.h"

#include "bufferedfile.h"

#include "player.h"

#include <mpg123.h>
#include <soxr.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

namespace pocko {

namespace {

constexpr int InputFrames = 2048;
// A run of garbage this long before a frame header means the file is not an MP3; random bytes
// would otherwise be searched to their end.
constexpr long ResyncLimit = 16384;
// Frames decoded before a seek target so the bit reservoir is filled: seeks land bit-exact.
constexpr long PreFrames = 8;
constexpr off_t TailProbeFrames = 8192;

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

} // namespace

// The song's file, which the decoder owns. Called by libmpg123 on whichever thread holds the
// song (GUI thread while opening, then decoder thread).
struct SongDecoder::FileReader : BufferedFile
{
    explicit FileReader(int descriptor) { fd = descriptor; }
    ~FileReader() { ::close(fd); }
};

SongDecoder::SongDecoder(int fd)
    : m_reader(std::make_unique<FileReader>(fd))
{
    initLibrary();
    const auto fail = [this](const std::string &why) {
        if (m_handle) {
            mpg123_close(m_handle);
            mpg123_delete(m_handle);
            m_handle = nullptr;
        }
        m_reader.reset();
        throw PlayerFailure(why);
    };
    int error = MPG123_OK;
    m_handle = mpg123_new(nullptr, &error);
    if (!m_handle)
        fail("cannot create an MP3 decoder");
    mpg123_param(m_handle, MPG123_FLAGS,
                 MPG123_GAPLESS | MPG123_QUIET | MPG123_FORCE_STEREO | MPG123_FORCE_FLOAT, 0);
    mpg123_param(m_handle, MPG123_PREFRAMES, PreFrames, 0);
    mpg123_param(m_handle, MPG123_RESYNC_LIMIT, ResyncLimit, 0);
    mpg123_format_none(m_handle);
    const long *rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(m_handle, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);

    if (!m_reader->attach(m_handle))
        fail("not an MP3 file");
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (mpg123_getformat(m_handle, &rate, &channels, &encoding) != MPG123_OK || rate <= 0)
        fail("no audio found in the file");
    if (mpg123_scan(m_handle) != MPG123_OK)
        fail("the file cannot be read");
    off_t length = mpg123_length(m_handle);
    m_input.resize(std::size_t(InputFrames) * 2);
    // The scan counts a frame cut off at the end of a truncated file; decoding the tail tells
    // how much of it is really there.
    const off_t probe
        = mpg123_seek(m_handle, std::max<off_t>(0, length - TailProbeFrames), SEEK_SET);
    if (probe >= 0) {
        off_t decoded = probe;
        for (int got; (got = readSource(m_input.data(), InputFrames)) > 0;)
            decoded += got;
        length = std::min(length, decoded);
    }
    if (length <= 0)
        fail("no audio found in the file");
    m_length = length;
    m_fileRate = rate;
    setRate(1.0);
}

SongDecoder::~SongDecoder()
{
    if (m_soxr)
        soxr_delete(m_soxr);
    if (m_handle) {
        mpg123_close(m_handle);
        mpg123_delete(m_handle);
    }
}

void SongDecoder::setRate(double rate)
{
    if (rate == m_rate && (m_bypass || m_soxr))
        return;
    m_rate = rate;
    m_step = rate * double(m_fileRate) / OutputRate;
    m_bypass = m_fileRate == OutputRate && rate == 1.0;
    if (m_soxr) {
        soxr_delete(m_soxr);
        m_soxr = nullptr;
    }
    if (m_bypass)
        return;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    m_soxr = soxr_create(rate * double(m_fileRate), OutputRate, 2, &error, &io, &quality, nullptr);
    if (error) {
        // Without a resampler the song still plays, at the file's own pace.
        m_soxr = nullptr;
        m_bypass = true;
        m_step = double(m_fileRate) / OutputRate;
    }
}

void SongDecoder::begin(const StreamPlan &plan)
{
    m_plan = plan;
    if (!plan.active) {
        m_phase = Phase::Idle;
        return;
    }
    setRate(plan.rate);
    m_plan.startFrame = std::clamp<qint64>(plan.startFrame, 0, m_length);
    m_plan.selectionStart = std::clamp<qint64>(plan.selectionStart, 0, m_length);
    m_plan.selectionEnd = std::clamp<qint64>(plan.selectionEnd, 0, m_length);
    m_plan.burstPauseFrame = std::clamp<qint64>(plan.burstPauseFrame, 0, m_length);
    if (plan.burstCount > 0) {
        m_phase = Phase::Burst;
        m_start = m_plan.startFrame;
        m_total = std::max<qint64>(0, plan.burstFrames);
        m_done = 0;
        m_burst = 0;
    } else {
        startStretch(m_plan.startFrame);
    }
}

void SongDecoder::startStretch(qint64 frame)
{
    m_phase = Phase::Stretch;
    m_start = frame;
    // A seek after a stop may land past the selection: from there the song plays to its end.
    const qint64 end = frame < m_plan.selectionEnd ? m_plan.selectionEnd : m_length;
    m_fadeAtEnd = end < m_length;
    if (frame >= end)
        m_total = 0;
    else if (m_bypass)
        m_total = end - frame;
    else
        m_total = std::llround(double(end - frame) / m_step);
    m_done = 0;
    seekTo(frame);
}

void SongDecoder::seekTo(qint64 frame)
{
    mpg123_seek(m_handle, off_t(frame), SEEK_SET);
    if (m_soxr)
        soxr_clear(m_soxr);
    m_inputFrames = 0;
    m_inputOffset = 0;
    m_inputEnded = false;
}

int SongDecoder::readSource(float *out, int frames)
{
    int got = 0;
    while (got < frames) {
        size_t bytes = 0;
        const int result = mpg123_read(m_handle, reinterpret_cast<unsigned char *>(out + got * 2),
                                       std::size_t(frames - got) * 2 * sizeof(float), &bytes);
        got += int(bytes / (2 * sizeof(float)));
        if (result == MPG123_NEW_FORMAT)
            continue;
        if (result != MPG123_OK || bytes == 0)
            break;
    }
    return got;
}

void SongDecoder::produce(float *out, int frames)
{
    int got = 0;
    if (m_bypass) {
        got = readSource(out, frames);
    } else {
        while (got < frames) {
            if (m_inputFrames == 0 && !m_inputEnded) {
                m_inputOffset = 0;
                m_inputFrames = readSource(m_input.data(), InputFrames);
                m_inputEnded = m_inputFrames == 0;
            }
            size_t used = 0;
            size_t made = 0;
            if (!m_inputEnded) {
                soxr_process(m_soxr, m_input.data() + m_inputOffset * 2, std::size_t(m_inputFrames),
                             &used, out + got * 2, std::size_t(frames - got), &made);
                m_inputOffset += int(used);
                m_inputFrames -= int(used);
            } else {
                // The song has ended: drain what the resampler still holds.
                soxr_process(m_soxr, nullptr, 0, nullptr, out + got * 2, std::size_t(frames - got),
                             &made);
                if (made == 0)
                    break;
            }
            got += int(made);
        }
    }
    // Past the song's end (or a damaged tail) the timing still holds: silence.
    std::fill(out + got * 2, out + frames * 2, 0.0f);
}

bool SongDecoder::fill(AudioBlock &block, bool ringDrained)
{
    block.generation = m_plan.generation;
    block.step = m_step;
    block.end = BlockEnd::None;
    block.endFrame = 0;
    block.frames = 0;
    switch (m_phase) {
    case Phase::Idle:
        return false;
    case Phase::Stretch: {
        if (m_total == 0) {
            // Nothing to play from here: one empty block at a time says "stopped".
            if (!ringDrained)
                return false;
            block.startFrame = double(m_start);
            block.end = BlockEnd::Stop;
            block.endFrame = double(m_plan.selectionStart);
            startStretch(m_plan.selectionStart);
            return true;
        }
        const int frames = int(std::min<qint64>(BlockFrames, m_total - m_done));
        block.startFrame = double(m_start) + double(m_done) * m_step;
        produce(block.data.data(), frames);
        if (m_fadeAtEnd && m_total - m_done - frames < FadeFrames) {
            for (int i = 0; i < frames; ++i) {
                const float gain = rampGain(m_total - 1 - (m_done + i));
                block.data[std::size_t(i) * 2] *= gain;
                block.data[std::size_t(i) * 2 + 1] *= gain;
            }
        }
        block.frames = frames;
        m_done += frames;
        if (m_done == m_total) {
            block.end = BlockEnd::Stop;
            block.endFrame = double(m_plan.selectionStart);
            startStretch(m_plan.selectionStart);
        }
        return true;
    }
    case Phase::Burst: {
        if (m_total == 0) {
            block.startFrame = double(m_start);
            block.end = BlockEnd::Pause;
            block.endFrame = double(m_plan.burstPauseFrame);
            startStretch(m_plan.burstPauseFrame);
            return true;
        }
        if (m_done == 0)
            seekTo(m_start);
        const int frames = int(std::min<qint64>(BlockFrames, m_total - m_done));
        block.startFrame = double(m_start) + double(m_done) * m_step;
        produce(block.data.data(), frames);
        for (int i = 0; i < frames; ++i) {
            const float gain = burstGain(m_done + i, m_total);
            block.data[std::size_t(i) * 2] *= gain;
            block.data[std::size_t(i) * 2 + 1] *= gain;
        }
        block.frames = frames;
        m_done += frames;
        if (m_done == m_total) {
            m_done = 0;
            if (++m_burst >= m_plan.burstCount) {
                block.end = BlockEnd::Pause;
                block.endFrame = double(m_plan.burstPauseFrame);
                startStretch(m_plan.burstPauseFrame);
            }
        }
        return true;
    }
    }
    return false;
}

} // namespace pocko
