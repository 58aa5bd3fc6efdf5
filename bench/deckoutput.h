#pragma once

// Where a measured deck's sound goes: SDL's disk driver (paced like a sound card) and the captures
// it writes, and the size of the deck's device buffer, pinned for a measure.

#include <QByteArray>
#include <QString>

namespace pocko::bench {

// Sends the sound of every deck opened from now on to `file` through SDL's disk driver.
void useDiskDriver(const QString &file);

// A capture of SDL's disk driver: float32 stereo frames.
struct Capture
{
    explicit Capture(const QString &path);
    qint64 frames() const { return bytes.size() / 8; }
    bool silent(qint64 i) const
    {
        const auto *f = reinterpret_cast<const float *>(bytes.constData());
        return f[i * 2] == 0.0f && f[i * 2 + 1] == 0.0f;
    }
    QByteArray bytes;
};

// Pins the device buffer of the decks opened while it lives (POCKO_AUDIO_FRAMES; 0 frames: the
// deck's own choice), and puts back the size pinned before it.
class PinnedAudioFrames
{
public:
    explicit PinnedAudioFrames(int frames);
    ~PinnedAudioFrames();
    PinnedAudioFrames(const PinnedAudioFrames &) = delete;
    PinnedAudioFrames &operator=(const PinnedAudioFrames &) = delete;

private:
    const QByteArray m_before;
};

} // namespace pocko::bench
