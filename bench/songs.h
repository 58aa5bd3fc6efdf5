#pragma once

// The MP3s every measure plays, made with lame from the synthesized minute at the start of a run.

#include <QString>

#include <optional>

namespace pocko::bench {

// The songs, 128 kbit/s CBR without an info tag, in a folder where the measures also write their
// captures and start their servers.
struct Songs
{
    QString folder;
    QString oneMinute;
    QString fiveMinutes;
    QString sixtyMinutes;
    QString twoHours;
};

// Makes the songs in `folder`; nothing when lame fails (said on stderr).
std::optional<Songs> makeSongs(const QString &folder);

} // namespace pocko::bench
