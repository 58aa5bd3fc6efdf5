#pragma once

#include "control.h"
#include "player/songsummary.h"

#include <array>
#include <cstdint>
#include <vector>

namespace pocko {

// The track bar's seek: where a mouse-down at x twips from the bar's left edge puts the marker,
// and the whole second of a song of `songSeconds` it plays from.
int trackMarkerLeft(float x);
std::int32_t trackSeekSeconds(float x, std::int32_t songSeconds);

// The track bar's picture as plain data: the deck controller fills it, the view paints it. The
// song is drawn along the seek, so that the stretch drawn under the pointer is the one a click
// there plays (within the seek's whole second). Two stretches of the song no click reaches, the
// start before the first seek past 0 and the rest after the marker's highest place, are drawn
// compressed into the bar's first and last pixels. GUI thread only.
class TrackWave
{
public:
    // One pixel column of the bar, from its top inner edge down: a ground, and a bar of `height`
    // pixels centred in it.
    struct Pixel
    {
        BgrColor back = 0;
        BgrColor wave = 0;
        int height = 0;
        bool operator==(const Pixel &) const = default;
    };
    // A one-pixel line drawn over everything (a mark or the play head).
    struct Line
    {
        int pixel = 0;
        BgrColor colour = 0;
        bool operator==(const Line &) const = default;
    };

    // What the picture follows, as the deck knows it.
    struct Input
    {
        int width = 0; // the bar's pixels
        int innerHeight = 0; // the pixels inside its border
        double duration = 0; // seconds; 0 with no song
        double position = 0; // heard, in seconds
        std::array<double, 3> marks {}; // where each slot's burst starts
        bool segment = false; // the segment switch is On
        double segmentFrom = 0;
        double segmentTo = 0;
    };

    bool shown() const { return m_shown; }
    const std::vector<Pixel> &pixels() const { return m_pixels; }
    const std::vector<Line> &lines() const { return m_lines; }

    // Draws again from the inputs and the summary's ready columns; no summary, or no song, hides
    // the picture (the bar stays plain). True when anything drawn changed.
    bool update(const Input &input, const SongSummary *summary);

    // The start of the song stretch drawn at `pixel` (width: the end of the song), in seconds.
    static double pixelFrom(int pixel, int width, double duration);
    // The pixel that draws the moment `seconds`.
    static int pixelOf(double seconds, int width, double duration);

    // The colours, kept dark enough that the yellow caption reads over any of them.
    static BgrColor waveColour(const SummaryColumn &peaks, bool played);
    static BgrColor backColour(bool played, bool segment);
    static constexpr std::array<BgrColor, 3> MarkColours { 0x00FFFF00, 0x00FF40FF, 0x0000A0FF };
    static constexpr BgrColor HeadColour = 0x00FFFFFF;
    static constexpr BgrColor CaptionColour = 0x0000FFFF;
    // The contrast ratio of two colours, 1 to 21, as readability is judged.
    static double contrast(BgrColor a, BgrColor b);

private:
    // What the picture was drawn from, in pixels: a new play position within the same pixel
    // draws nothing new.
    struct Drawn
    {
        int width = 0;
        int innerHeight = 0;
        double duration = 0;
        int head = 0;
        std::array<int, 3> marks {};
        int segmentFrom = 0;
        int segmentTo = -1;
        int ready = 0;
        QString path;
        bool operator==(const Drawn &) const = default;
    };

    bool m_shown = false;
    Drawn m_drawn;
    std::vector<Pixel> m_pixels;
    std::vector<Line> m_lines;
};

} // namespace pocko
