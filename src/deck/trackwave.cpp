#include "trackwave.h"

#include "numbers.h"

#include <algorithm>
#include <cmath>

namespace pocko {

namespace {

// Track-bar geometry in twips: the marker's offset and range, the seek's divisor (not the bar's
// width) and the start zone that always seeks to 0.
constexpr int MarkerOffset = 360;
constexpr int MarkerLowest = 360;
constexpr int MarkerHighest = 4000;
constexpr double SeekDivisor = 4200;
constexpr float StartZone = 80;

// The colours' brightest luminance: the yellow caption keeps a contrast of 4.6 over it.
constexpr double CaptionContrast = 4.6;

struct Rgb
{
    double r = 0, g = 0, b = 0; // 0 to 255
};

Rgb rgbOf(BgrColor c)
{
    return { double(c & 0xFF), double((c >> 8) & 0xFF), double((c >> 16) & 0xFF) };
}

BgrColor bgrOf(const Rgb &c)
{
    const auto byte = [](double v) { return BgrColor(std::lround(std::clamp(v, 0.0, 255.0))); };
    return byte(c.r) | byte(c.g) << 8 | byte(c.b) << 16;
}

double linear(double v)
{
    const double s = v / 255.0;
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
}

double luminance(BgrColor c)
{
    const Rgb rgb = rgbOf(c);
    return 0.2126 * linear(rgb.r) + 0.7152 * linear(rgb.g) + 0.0722 * linear(rgb.b);
}

Rgb scaled(const Rgb &c, double k)
{
    return { c.r * k, c.g * k, c.b * k };
}

// The colour, darkened as little as it takes for the caption to stay readable over it.
BgrColor readable(const Rgb &c)
{
    const double most = (luminance(TrackWave::CaptionColour) + 0.05) / CaptionContrast - 0.05;
    if (luminance(bgrOf(c)) <= most)
        return bgrOf(c);
    double low = 0, high = 1;
    for (int i = 0; i < 16; ++i) {
        const double k = (low + high) / 2;
        (luminance(bgrOf(scaled(c, k))) <= most ? low : high) = k;
    }
    return bgrOf(scaled(c, low));
}

// The bands' own colours: low red, mid green, high blue.
constexpr Rgb LowTone { 255, 70, 30 };
constexpr Rgb MidTone { 40, 255, 70 };
constexpr Rgb HighTone { 70, 130, 255 };

// Where the bar's pixels stop seeking straight along the song: the first past the start zone,
// and the first whose marker stands at its highest.
int firstSeekingPixel()
{
    return int(std::ceil(StartZone / TwipsPerPixel));
}

int firstTopPixel()
{
    return int(std::ceil(double(MarkerHighest - MarkerOffset) / TwipsPerPixel));
}

double markerShare(int pixel)
{
    return trackMarkerLeft(float(pixel * TwipsPerPixel)) / SeekDivisor;
}

} // namespace

int trackMarkerLeft(float x)
{
    return std::clamp(roundToInt32(double(x) + MarkerOffset), MarkerLowest, MarkerHighest);
}

std::int32_t trackSeekSeconds(float x, std::int32_t songSeconds)
{
    if (x < StartZone)
        return 0;
    return roundToInt32(trackMarkerLeft(x) / SeekDivisor * songSeconds);
}

double TrackWave::pixelFrom(int pixel, int width, double duration)
{
    const int first = firstSeekingPixel();
    const int top = std::min(firstTopPixel(), width);
    if (pixel >= width)
        return duration;
    if (pixel < first)
        return double(pixel) / first * markerShare(first) * duration;
    if (pixel < top)
        return markerShare(pixel) * duration;
    const double topShare = markerShare(top);
    return (topShare + (1 - topShare) * double(pixel - top) / double(width - top)) * duration;
}

int TrackWave::pixelOf(double seconds, int width, double duration)
{
    int low = 0, high = width - 1;
    while (low < high) {
        const int middle = (low + high + 1) / 2;
        if (pixelFrom(middle, width, duration) <= seconds)
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

BgrColor TrackWave::waveColour(const SummaryColumn &peaks, bool played)
{
    const double sum = double(peaks.low) + peaks.mid + peaks.high;
    if (sum <= 0)
        return 0;
    const auto mix = [&](double Rgb::*part) {
        return (peaks.low * LowTone.*part + peaks.mid * MidTone.*part + peaks.high * HighTone.*part)
            / sum;
    };
    Rgb colour { mix(&Rgb::r), mix(&Rgb::g), mix(&Rgb::b) };
    // Louder is brighter.
    const double loudest = std::max({ peaks.low, peaks.mid, peaks.high }) / 255.0;
    colour = scaled(colour, 0.55 + 0.45 * loudest);
    if (played) {
        // What has been played goes grey and dim.
        const double grey = (colour.r + colour.g + colour.b) / 3;
        colour = scaled(
            { (colour.r + grey * 2) / 3, (colour.g + grey * 2) / 3, (colour.b + grey * 2) / 3 },
            0.6);
    }
    return readable(colour);
}

BgrColor TrackWave::backColour(bool played, bool segment)
{
    if (!segment)
        return 0;
    return readable(played ? Rgb { 40, 30, 60 } : Rgb { 70, 50, 110 });
}

double TrackWave::contrast(BgrColor a, BgrColor b)
{
    const double la = luminance(a) + 0.05;
    const double lb = luminance(b) + 0.05;
    return std::max(la, lb) / std::min(la, lb);
}

bool TrackWave::update(const Input &input, const SongSummary *summary)
{
    const bool shown
        = summary && input.duration > 0 && input.width > 0 && !summary->path().isEmpty();
    if (!shown) {
        const bool changed = m_shown;
        m_shown = false;
        m_drawn = {};
        m_pixels.clear();
        m_lines.clear();
        return changed;
    }
    const auto at = [&](double seconds) { return pixelOf(seconds, input.width, input.duration); };
    Drawn drawn;
    drawn.width = input.width;
    drawn.innerHeight = input.innerHeight;
    drawn.duration = input.duration;
    drawn.head = at(input.position);
    for (int slot = 0; slot < 3; ++slot)
        drawn.marks[std::size_t(slot)] = at(input.marks[std::size_t(slot)]);
    if (input.segment && input.segmentTo > input.segmentFrom) {
        drawn.segmentFrom = at(input.segmentFrom);
        drawn.segmentTo = at(input.segmentTo);
    }
    drawn.ready = summary->ready();
    drawn.path = summary->path();
    if (m_shown && drawn == m_drawn)
        return false;
    m_shown = true;
    m_drawn = drawn;

    m_pixels.assign(std::size_t(input.width), {});
    const double columnsPerSecond = SongSummary::Columns / input.duration;
    for (int p = 0; p < input.width; ++p) {
        const bool played = p < drawn.head;
        const bool segment = p >= drawn.segmentFrom && p <= drawn.segmentTo;
        Pixel &pixel = m_pixels[std::size_t(p)];
        pixel.back = backColour(played, segment);
        const int from = int(pixelFrom(p, input.width, input.duration) * columnsPerSecond);
        const int to = std::max(
            from + 1,
            int(std::ceil(pixelFrom(p + 1, input.width, input.duration) * columnsPerSecond)));
        SummaryColumn peaks;
        bool any = false;
        for (int c = std::max(from, 0); c < std::min(to, drawn.ready); ++c) {
            const SummaryColumn column = summary->column(c);
            peaks.low = std::max(peaks.low, column.low);
            peaks.mid = std::max(peaks.mid, column.mid);
            peaks.high = std::max(peaks.high, column.high);
            any = true;
        }
        if (!any)
            continue;
        const int loudest = std::max({ peaks.low, peaks.mid, peaks.high });
        // The square root of the peak: a quiet intro still shows, a drop stands out tall.
        pixel.height = loudest == 0
            ? 0
            : std::max(1, int(std::lround(std::sqrt(loudest / 255.0) * input.innerHeight)));
        pixel.wave = waveColour(peaks, played);
    }
    m_lines.clear();
    for (int slot = 0; slot < 3; ++slot)
        m_lines.push_back({ drawn.marks[std::size_t(slot)], MarkColours[std::size_t(slot)] });
    m_lines.push_back({ drawn.head, HeadColour });
    return true;
}

} // namespace pocko
