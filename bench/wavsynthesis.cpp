#include "wavsynthesis.h"

#include <QByteArray>
#include <QFile>

#include <cmath>
#include <random>

namespace pocko::bench {

bool writeMinuteWav(const QString &path)
{
    const int rate = 44100;
    const qint64 frames = 60LL * rate;
    QByteArray data(frames * 4, Qt::Uninitialized);
    auto *s = reinterpret_cast<qint16 *>(data.data());
    std::mt19937 noise(7);
    std::uniform_real_distribution<double> hat(-1, 1);
    for (qint64 i = 0; i < frames; ++i) {
        const double t = double(i) / rate;
        const int beat = int(t * 2);
        const double f = 110.0 * std::pow(2.0, (beat % 8) / 12.0);
        const double tone
            = 0.3 * std::sin(2 * M_PI * f * t) + 0.15 * std::sin(2 * M_PI * f * 1.5 * t);
        const double tick = t * 2 - beat < 0.05 ? 0.3 * hat(noise) : 0.0;
        s[i * 2] = qint16(12000 * (tone + tick));
        s[i * 2 + 1] = qint16(12000 * (0.8 * tone + tick));
    }
    // The canonical 44-byte header: PCM, 2 channels, 16 bits.
    const quint32 header[] = { 0x46464952,
                               quint32(36 + data.size()),
                               0x45564157,
                               0x20746d66,
                               16,
                               0x00020001,
                               quint32(rate),
                               quint32(rate * 4),
                               0x00100004,
                               0x61746164,
                               quint32(data.size()) };
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(reinterpret_cast<const char *>(header), sizeof header);
    file.write(data);
    return true;
}

} // namespace pocko::bench
