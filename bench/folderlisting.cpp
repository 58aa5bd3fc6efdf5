#include "measures.h"
#include "table.h"
#include "timing.h"

#include "platform/folder.h"

#include <QDir>
#include <QFile>

namespace pocko::bench {

// The folder listing the playlist runs: first() and next() until "" over 10,000 files.
void measureFolderListing(const Songs &songs)
{
    const QString dir = songs.folder + QStringLiteral("/many");
    QDir().mkpath(dir);
    for (int i = 0; i < 10000; ++i) {
        QFile song(dir + QStringLiteral("/Song %1.mp3").arg(i, 5, 10, QLatin1Char('0')));
        song.open(QIODevice::WriteOnly);
    }
    DiskFolder listing;
    int count = 0;
    const std::vector<double> times = timings(5, [&](int) {
        return std::optional(seconds([&] {
            count = 0;
            for (QString name = listing.first(dir + QStringLiteral("/*.mp3")); !name.isEmpty();
                 name = listing.next())
                ++count;
        }));
    });
    addRow(QStringLiteral("folder listing of 10,000 MP3s, first() + next() (median of 5)"),
           count == 10000 ? ms(median(times)) : QStringLiteral("listed %1").arg(count));
}

} // namespace pocko::bench
