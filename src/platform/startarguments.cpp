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
        "Usage: PockoMP3Player [OPTION...] [FOLDER | FILE]\n"
        "A small MP3 deck for live DJ use.\n"
        "\n"
        "With no FOLDER or FILE the playlist lists the MP3 files beside the executable.\n"
        "  FOLDER             list the MP3 files in FOLDER\n"
        "  FILE               list the MP3 files beside FILE, and play FILE\n"
        "  --music-folder     list your music folder; a FOLDER or FILE given as well wins\n"
        "  --list-outputs     show the outputs to play on (NAME  description) and exit\n"
        "  --output NAME      play on the output called NAME, or else on the only one whose\n"
        "                     description contains NAME (letter case ignored)\n"
        "  --lt-output NAME   the output of the deck that LT opens; without it, this deck's\n"
        "                     output\n"
        "  --deck 2           play as the second deck: pads 44-51, and \"PockoMP3 deck 2\"\n"
        "                     as the MIDI client's name (the deck LT opens is deck 2)\n"
        "  --midi-in TEXT     connect only the MIDI outputs whose name contains TEXT\n"
        "                     (without it: every output, and those that appear later)\n"
        "  --midi-out TEXT    light the pads through the MIDI inputs whose name contains TEXT\n"
        "                     (without it: the input of every device the deck reads from)\n"
        "  --midi-map FILE    play by the bindings in FILE, one a line: note N [channel C] =\n"
        "                     TARGET, or cc N [channel C] = TARGET; TARGET is P S R F L thspd\n"
        "                     tloop tsegs M1-M3 P1-P3, or Label1 for a cc across the track bar\n"
        "                     (then light ON OFF: the pad's velocities lit and dark); lines\n"
        "                     after [deck 2] bind deck 2, after [deck 1] or before any, deck 1\n"
        "  --midi-monitor     print each MIDI message and what it does\n"
        "  --no-midi          open no MIDI input\n"
        "  --help             show this help and exit\n"
        "  --version          show the version and exit\n"
        "  --                 ends the options, for a FOLDER or FILE whose name begins with \"-\"\n"
        "\n"
        "The sound goes to PipeWire directly where a PipeWire daemon has a sink, else to\n"
        "PulseAudio, else to SDL's audio. In the environment:\n"
        "  POCKO_AUDIO_OUTPUT=pipewire|pulse|sdl   play through that one alone\n"
        "  POCKO_AUDIO_FRAMES=N                    keep the sound device's buffer at N frames");
}

QString errorLine(const QString &what, const QString &detail)
{
    return Program + QStringLiteral(": ") + what + QStringLiteral(": ") + detail;
}

StartRequest ending(int exitCode, const QString &text)
{
    StartRequest request;
    request.exitCode = exitCode;
    request.text = text;
    return request;
}

StartRequest failure(const QString &what, const QString &path)
{
    return ending(2, errorLine(what, path));
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
    StartRequest request;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        QString *name = nullptr;
        QString deck;
        if (!optionsEnded && argument == QLatin1String("--output"))
            name = &request.output;
        else if (!optionsEnded && argument == QLatin1String("--lt-output"))
            name = &request.ltOutput;
        else if (!optionsEnded && argument == QLatin1String("--midi-in"))
            name = &request.midiIn;
        else if (!optionsEnded && argument == QLatin1String("--midi-out"))
            name = &request.midiOut;
        else if (!optionsEnded && argument == QLatin1String("--midi-map"))
            name = &request.midiMapFile;
        else if (!optionsEnded && argument == QLatin1String("--deck"))
            name = &deck;
        // An output's NAME is taken whatever it looks like: the sound system chose it.
        if (name) {
            if (++i == arguments.size() || arguments.at(i).isEmpty())
                return failure(QStringLiteral("give a NAME after"), argument);
            *name = arguments.at(i);
            if (name == &deck && deck != QLatin1String("1") && deck != QLatin1String("2"))
                return failure(QStringLiteral("--deck is 1 or 2"), deck);
            if (name == &deck)
                request.deck = deck.toInt();
        } else if (optionsEnded || !argument.startsWith(QLatin1Char('-')))
            paths.append(argument);
        else if (argument == QLatin1String("--"))
            optionsEnded = true;
        else if (argument == QLatin1String("--help"))
            return ending(0, helpText());
        else if (argument == QLatin1String("--version"))
            return ending(0, Program + QStringLiteral(" " POCKO_VERSION));
        else if (argument == QLatin1String("--music-folder"))
            music = true;
        else if (argument == QLatin1String("--list-outputs"))
            request.listOutputs = true;
        else if (argument == QLatin1String("--no-midi"))
            request.midi = false;
        else if (argument == QLatin1String("--midi-monitor"))
            request.midiMonitor = true;
        else
            return failure(QStringLiteral("unknown option (see --help)"), argument);
    }
    // The map itself is read where the pads are set up, before any window opens.
    if (!request.midiMapFile.isEmpty())
        request.midiMapFile = absolutePath(request.midiMapFile, workingFolder);
    if (paths.size() > 1)
        return failure(QStringLiteral("give one FOLDER or FILE, not several"),
                       paths.join(QLatin1Char(' ')));
    if (paths.isEmpty() && !music)
        return request;
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
        request.folder = path;
        return request;
    case PathKind::File:
        break;
    }
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    request.folder = slash == 0 ? QStringLiteral("/") : path.left(slash);
    request.song = path;
    return request;
}

OutputMatch resolveOutput(const QString &asked, const QList<OutputDevice> &outputs)
{
    QStringList described;
    for (const OutputDevice &output : outputs) {
        if (output.name == asked)
            return OutputMatch { output.name, {} };
        if (!asked.isEmpty() && output.description.contains(asked, Qt::CaseInsensitive))
            described.append(output.name);
    }
    if (described.size() == 1)
        return OutputMatch { described.first(), {} };
    if (described.isEmpty())
        return OutputMatch {
            {}, errorLine(QStringLiteral("no such output (see --list-outputs)"), asked)
        };
    return OutputMatch { {},
                         errorLine(QStringLiteral("more than one output matches ") + asked,
                                   described.join(QStringLiteral(", "))) };
}

QStringList ltArguments(const StartRequest &start, const QString &ltOutput, const QString &folder)
{
    QStringList arguments { QStringLiteral("--deck"), QStringLiteral("2") };
    if (!ltOutput.isEmpty())
        arguments << QStringLiteral("--output") << ltOutput;
    if (!start.midi)
        arguments << QStringLiteral("--no-midi");
    if (!start.midiIn.isEmpty())
        arguments << QStringLiteral("--midi-in") << start.midiIn;
    if (!start.midiOut.isEmpty())
        arguments << QStringLiteral("--midi-out") << start.midiOut;
    if (!start.midiMapFile.isEmpty())
        arguments << QStringLiteral("--midi-map") << start.midiMapFile;
    if (start.midiMonitor)
        arguments << QStringLiteral("--midi-monitor");
    arguments << QStringLiteral("--") << folder;
    return arguments;
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
