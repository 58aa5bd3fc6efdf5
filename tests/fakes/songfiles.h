#pragma once

#include <QByteArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>

#include <fstream>
#include <iterator>

namespace pocko {

// Files for the player's tests, made at test time. Paths are bytes: names need not be UTF-8.

inline QByteArray readBytes(const QByteArray &path)
{
    std::ifstream in(path.constData(), std::ios::binary);
    return QByteArray::fromStdString({ std::istreambuf_iterator<char>(in), {} });
}

inline bool writeBytes(const QByteArray &path, const QByteArray &data)
{
    std::ofstream out(path.constData(), std::ios::binary);
    return bool(out.write(data.constData(), data.size()));
}

inline QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(random.generate());
    return bytes;
}

// A 16-bit stereo WAV at 44.1 kHz, the same every time: a tone beside noise, so that no two
// frames decode alike.
inline bool makeWav(const QString &wav, qint64 frames)
{
    return QProcess::execute("sox",
                             { "-R", "-r", "44100", "-c", "2", "-n", "-b", "16", wav, "synth",
                               QString("%1s").arg(frames), "sine", "440", "pinknoise", "gain",
                               "-6" })
        == 0;
}

inline bool makeMp3(const QString &wav, const QString &mp3, const QStringList &options)
{
    return QProcess::execute("lame", QStringList { "--quiet" } + options + QStringList { wav, mp3 })
        == 0;
}

} // namespace pocko
