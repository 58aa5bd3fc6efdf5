#pragma once

// The sound the bench's songs are made of, synthesized: no recording is stored anywhere.

#include <QString>

namespace pocko::bench {

// Writes one minute of something like music as a 44.1 kHz 16-bit stereo WAV: a chord that changes
// every beat, a noise hi-hat. False when the file cannot be written.
bool writeMinuteWav(const QString &path);

} // namespace pocko::bench
