#include "startarguments.h"

#include "filenames.h"

#include <QDir>
#include <QStandardPaths>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pocko {

namespace {

const QString Program = QStringLiteral("PockoMP3Player");

QString helpText()
{
    return QStringLiteral(
        "Usage: PockoMP3Player [--music-folder] [FOLDER | FILE]\n"
        "A small MP3 deck for live DJ use.\n"
        "\n"
        "With no FOLDER or FILE the playlist lists the MP3 files beside the executable.\n"
        "  FOLDER          list the MP3 files in FOLDER\n"
        "  FILE            list the MP3 files beside FILE, and play FILE\n"
        "  --music-folder  list your music folder; a FOLDER or FILE given as well wins\n"
        "  --help          show this help and exit\n"
        "  --version       show the version and exit\n"
        "  --              ends the options, for a FOLDER or FILE whose name begins with \"-\"");
}

StartRequest failure(const QString &what, const QString &path)
{
    return StartRequest {
        2, Program + QStringLiteral(": ") + what + QStringLiteral(": ") + path, {}, {}
    };
}

// The absolute path, with "." parts and doubled or trailing separators dropped. ".." is kept:
// after a symbolic link it means something else than the text before it suggests.
QString absolutePath(const QString &path, const QString &workingFolder)
{
    const QString full
        = path.startsWith(QLatin1Char('/')) ? path : workingFolder + QLatin1Char('/') + path;
    QStringList parts;
    for (const QString &part : full.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part != QLatin1String("."))
            parts.append(part);
    }
    return QLatin1Char('/') + parts.join(QLatin1Char('/'));
}

} // namespace

PathKind pathKind(const QString &path)
{
    const QByteArray bytes = encodeFileName(path);
    struct stat info
    {
    };
    if (::stat(bytes.constData(), &info) != 0)
        return PathKind::Missing;
    if (S_ISREG(info.st_mode))
        return PathKind::File;
    if (!S_ISDIR(info.st_mode))
        return PathKind::Other;
    DIR *dir = ::opendir(bytes.constData());
    if (dir == nullptr)
        return PathKind::UnreadableFolder;
    ::closedir(dir);
    return PathKind::Folder;
}

StartRequest parseArguments(const QStringList &arguments, const QString &workingFolder,
                            const QString &musicFolder,
                            const std::function<PathKind(const QString &)> &probe)
{
    QStringList paths;
    bool music = false;
    bool optionsEnded = false;
    for (const QString &argument : arguments) {
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')))
            paths.append(argument);
        else if (argument == QLatin1String("--"))
            optionsEnded = true;
        else if (argument == QLatin1String("--help"))
            return StartRequest { 0, helpText(), {}, {} };
        else if (argument == QLatin1String("--version"))
            return StartRequest { 0, Program + QStringLiteral(" " POCKO_VERSION), {}, {} };
        else if (argument == QLatin1String("--music-folder"))
            music = true;
        else
            return failure(QStringLiteral("unknown option (see --help)"), argument);
    }
    if (paths.size() > 1)
        return failure(QStringLiteral("give one FOLDER or FILE, not several"),
                       paths.join(QLatin1Char(' ')));
    if (paths.isEmpty() && !music)
        return StartRequest {};
    if (paths.value(0, musicFolder).isEmpty())
        return failure(QStringLiteral("empty FOLDER or FILE"), QStringLiteral("\"\""));

    const QString path = absolutePath(paths.value(0, musicFolder), workingFolder);
    switch (probe(path)) {
    case PathKind::Missing:
        return failure(QStringLiteral("no such folder or file"), path);
    case PathKind::UnreadableFolder:
        return failure(QStringLiteral("cannot read the folder"), path);
    case PathKind::Other:
        return failure(QStringLiteral("neither a folder nor a regular file"), path);
    case PathKind::Folder:
        return StartRequest { -1, {}, path, {} };
    case PathKind::File:
        break;
    }
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return StartRequest { -1, {}, slash == 0 ? QStringLiteral("/") : path.left(slash), path };
}

QString workingFolder()
{
    QByteArray buffer(4096, '\0');
    if (::getcwd(buffer.data(), buffer.size()) == nullptr)
        return QDir::currentPath();
    return decodeFileName(QByteArray(buffer.constData()));
}

QString musicFolder()
{
    const QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (!music.isEmpty() && pathKind(music) != PathKind::Missing)
        return music;
    return QDir::homePath();
}

} // namespace pocko
