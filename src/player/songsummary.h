#pragma once

#include <QString>
#include <QtGlobal>

namespace pocko {

// The loudest moment of one stretch of a song in three bands (below about 250 Hz, up to about
// 4 kHz, above), each as a peak from 0 (silence) to 255 (full scale).
struct SummaryColumn
{
    quint8 low = 0;
    quint8 mid = 0;
    quint8 high = 0;
};

// A song's shape for the track bar: a fixed number of columns over the whole song, whatever its
// length, computed in the background after open(). The columns before ready() are final and can
// be read at any time; the rest are being computed. GUI thread only.
class SongSummary
{
public:
    static constexpr int Columns = 2048;

    virtual ~SongSummary() = default;

    // Forgets the last song (a computation still running for it stops first) and starts on this
    // one; an empty path only forgets.
    virtual void open(const QString &path) = 0;
    // The path last opened, "" when none.
    virtual QString path() const = 0;
    // How many columns, from the first, are computed.
    virtual int ready() const = 0;
    // Column `index`, below ready().
    virtual SummaryColumn column(int index) const = 0;
};

} // namespace pocko
