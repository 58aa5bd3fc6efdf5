#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace pocko {

// What the file system holds at a path, symbolic links followed.
enum class PathKind { Missing, Folder, UnreadableFolder, File, Other };
PathKind pathKind(const QString &path);

// What the command line asks of this run.
struct StartRequest
{
    // 0 or 2: print `text` (stdout for 0, stderr for 2) and end with this code before any window
    // opens; -1: run the deck.
    int exitCode = -1;
    QString text;
    QString folder; // absolute; empty for the executable's own folder
    QString song; // a file in `folder` to load at start as a pick would; empty for none
    bool listOutputs = false; // print the outputs and end with 0
    QString output; // --output NAME as given: the output this deck plays on; empty for the default
    QString ltOutput; // --lt-output NAME as given: the output of the deck "LT" starts
    int deck = 1; // --deck 2: the second deck, as "LT" starts it
    bool midi = true; // false with --no-midi
    QString midiIn; // --midi-in TEXT: only the MIDI outputs whose name contains TEXT
    QString midiOut; // --midi-out TEXT: the lights go to the MIDI inputs whose name contains TEXT
    QString midiMapFile; // --midi-map FILE, absolute; empty for the default pads
    bool midiMonitor = false; // print each MIDI message and what it does
};

// A sound output the deck can play on: the name to give, and what the sound system calls it.
struct OutputDevice
{
    QString name;
    QString description;
};

// The output a NAME chooses: the one of that name, or else the only one whose description
// contains NAME (letter case ignored). `error` is the line to print (and the name empty) when no
// output or several match.
struct OutputMatch
{
    QString name;
    QString error;
};
OutputMatch resolveOutput(const QString &asked, const QList<OutputDevice> &outputs);

// `arguments` come without the program name, decoded as file names are. Relative paths are
// taken from `workingFolder`; `musicFolder` is what --music-folder lists.
StartRequest parseArguments(const QStringList &arguments, const QString &workingFolder,
                            const QString &musicFolder,
                            const std::function<PathKind(const QString &)> &probe = pathKind);

// The arguments of the deck "LT" starts: deck 2, on `ltOutput` (empty for the default), with
// this deck's MIDI input, map and monitor, listing `folder`.
QStringList ltArguments(const StartRequest &start, const QString &ltOutput,
                        const QString &folder);

// The working folder and the user's music folder (the home folder when there is none, so that
// the menu entry always opens a deck), as parseArguments wants them.
QString workingFolder();
QString musicFolder();

} // namespace pocko
