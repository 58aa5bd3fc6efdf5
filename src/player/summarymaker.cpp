#include "summarymaker.h"

#include "bufferedfile.h"

#include <QFile>

#include <mpg123.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <vector>

namespace pocko {

namespace {

constexpr double LowCrossover = 250;
constexpr double HighCrossover = 4000;
constexpr int BlockSamples = 4096;
constexpr long ResyncLimit = 16384;

// A second-order section (Butterworth, Q = 1/sqrt 2), transposed direct form II.
struct Biquad
{
    float b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    float z1 = 0, z2 = 0;

    static Biquad make(double frequency, double rate, bool highPass)
    {
        const double w = 2 * std::numbers::pi * std::min(frequency, rate * 0.45) / rate;
        const double cosine = std::cos(w);
        const double alpha = std::sin(w) / std::numbers::sqrt2;
        const double a0 = 1 + alpha;
        const double edge = highPass ? (1 + cosine) / 2 : (1 - cosine) / 2;
        Biquad f;
        f.b0 = float(edge / a0);
        f.b1 = float((highPass ? -2 : 2) * edge / a0);
        f.b2 = f.b0;
        f.a1 = float(-2 * cosine / a0);
        f.a2 = float((1 - alpha) / a0);
        return f;
    }

    float operator()(float x)
    {
        const float y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

quint8 peakByte(float peak)
{
    return quint8(std::lround(std::clamp(peak, 0.0f, 1.0f) * 255.0f));
}

} // namespace

SummaryMaker::~SummaryMaker()
{
    cancel();
}

void SummaryMaker::cancel()
{
    m_cancel.store(true, std::memory_order_relaxed);
    if (m_thread.joinable())
        m_thread.join();
}

void SummaryMaker::open(const QString &path)
{
    cancel();
    m_path = path;
    m_ready.store(0, std::memory_order_relaxed);
    m_columns.fill({});
    if (path.isEmpty())
        return;
    m_cancel.store(false, std::memory_order_relaxed);
    m_done.store(false, std::memory_order_relaxed);
    m_thread = std::thread([this, file = QFile::encodeName(path)] {
        // The lowest priority there is for an ordinary thread: the sound and the window go first.
        ::setpriority(PRIO_PROCESS, ::gettid(), 19);
        compute(file);
        m_done.store(true, std::memory_order_release);
    });
}

void SummaryMaker::compute(const QByteArray &file)
{
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });

    BufferedFile reader;
    reader.cancel = &m_cancel;
    reader.fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC);
    if (reader.fd < 0)
        return;
    int error = MPG123_OK;
    mpg123_handle *handle = mpg123_new(nullptr, &error);
    const auto finish = [&] {
        if (handle) {
            mpg123_close(handle);
            mpg123_delete(handle);
        }
        ::close(reader.fd);
    };
    if (!handle) {
        finish();
        return;
    }
    // The same timeline as the playing decoder (gapless), one channel, the file's own rate.
    mpg123_param(handle, MPG123_FLAGS,
                 MPG123_GAPLESS | MPG123_QUIET | MPG123_FORCE_MONO | MPG123_MONO_MIX
                     | MPG123_FORCE_FLOAT,
                 0);
    mpg123_param(handle, MPG123_RESYNC_LIMIT, ResyncLimit, 0);
    mpg123_format_none(handle);
    const long *rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(handle, rates[i], MPG123_MONO, MPG123_ENC_FLOAT_32);

    long rate = 0;
    int channels = 0;
    int encoding = 0;
    if (!reader.attach(handle) || mpg123_getformat(handle, &rate, &channels, &encoding) != MPG123_OK
        || rate <= 0 || mpg123_scan(handle) != MPG123_OK) {
        finish();
        return;
    }
    const qint64 length = mpg123_length(handle);
    if (length <= 0) {
        finish();
        return;
    }

    Biquad low = Biquad::make(LowCrossover, double(rate), false);
    Biquad midHigh = Biquad::make(LowCrossover, double(rate), true);
    Biquad midLow = Biquad::make(HighCrossover, double(rate), false);
    Biquad high = Biquad::make(HighCrossover, double(rate), true);

    std::vector<float> block(BlockSamples);
    qint64 frame = 0;
    int column = 0;
    qint64 columnEnd = std::max<qint64>(1, length / Columns);
    float lowPeak = 0, midPeak = 0, highPeak = 0;
    const auto publish = [&] {
        m_columns[std::size_t(column)]
            = { peakByte(lowPeak), peakByte(midPeak), peakByte(highPeak) };
        lowPeak = midPeak = highPeak = 0;
        ++column;
        m_ready.store(column, std::memory_order_release);
        columnEnd = std::max(columnEnd, (column + 1) * length / Columns);
    };
    while (column < Columns && !m_cancel.load(std::memory_order_relaxed)) {
        size_t bytes = 0;
        const int result = mpg123_read(handle, block.data(), block.size() * sizeof(float), &bytes);
        const size_t samples = bytes / sizeof(float);
        for (size_t i = 0; i < samples && column < Columns; ++i) {
            const float x = block[i];
            lowPeak = std::max(lowPeak, std::abs(low(x)));
            midPeak = std::max(midPeak, std::abs(midLow(midHigh(x))));
            highPeak = std::max(highPeak, std::abs(high(x)));
            if (++frame >= columnEnd && column < Columns - 1)
                publish();
        }
        if (result != MPG123_OK && result != MPG123_NEW_FORMAT)
            break;
    }
    // The song's end (or a file that ends early): the last columns hold what there was.
    while (column < Columns && !m_cancel.load(std::memory_order_relaxed))
        publish();
    finish();
}

} // namespace pocko
