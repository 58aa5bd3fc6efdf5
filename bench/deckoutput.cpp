#include "deckoutput.h"

#include <QFile>

namespace pocko::bench {

void useDiskDriver(const QString &file)
{
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(file));
}

Capture::Capture(const QString &path)
{
    QFile in(path);
    in.open(QIODevice::ReadOnly);
    bytes = in.readAll();
}

PinnedAudioFrames::PinnedAudioFrames(int frames)
    : m_before(qgetenv("POCKO_AUDIO_FRAMES"))
{
    qputenv("POCKO_AUDIO_FRAMES", frames > 0 ? QByteArray::number(frames) : QByteArray());
}

PinnedAudioFrames::~PinnedAudioFrames()
{
    qputenv("POCKO_AUDIO_FRAMES", m_before);
}

} // namespace pocko::bench
