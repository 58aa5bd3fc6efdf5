#include "measures.h"
#include "mpg123reference.h"
#include "table.h"
#include "timing.h"

#include "player/audioblock.h"
#include "player/songdecoder.h"

#include <QFile>

#include <fcntl.h>

#include <memory>

namespace pocko::bench {

namespace {

void measureDecodeSpeedAt(const QString &file, double rate, double mpg123Speed)
{
    SongDecoder decoder(::open(QFile::encodeName(file).constData(), O_RDONLY));
    StreamPlan plan;
    plan.generation = 1;
    plan.active = true;
    plan.selectionEnd = decoder.length();
    plan.rate = rate;
    decoder.begin(plan);
    auto block = std::make_unique<AudioBlock>();
    const double time = seconds([&] {
        do
            decoder.fill(*block, false);
        while (block->end == BlockEnd::None);
    });
    const double songSeconds = double(decoder.length()) / decoder.fileRate();
    addRow(QStringLiteral("decode speed at rate %1 (x real time of the song)").arg(rate),
           QStringLiteral("%1x").arg(songSeconds / time, 0, 'f', 0), QStringLiteral("-"),
           rate == 1.0 ? QStringLiteral("%1x (mpg123 -t)").arg(mpg123Speed, 0, 'f', 0)
                       : QStringLiteral("-"));
}

} // namespace

void measureDecodeSpeed(const Songs &songs)
{
    const double reference = 300.0 / mpg123Seconds({}, songs.fiveMinutes);
    measureDecodeSpeedAt(songs.fiveMinutes, 1.0, reference);
    measureDecodeSpeedAt(songs.fiveMinutes, 0.5, reference);
}

} // namespace pocko::bench
