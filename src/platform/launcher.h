#pragma once

#include <QString>
#include <QStringList>

namespace pocko {

// Starts another program by its bare name, its first window minimised. GUI thread only.
class Launcher
{
public:
    virtual ~Launcher() = default;
    // Looks the name up in the running executable's folder first, then in PATH (never in the
    // current working directory). Returns false when it cannot be started.
    virtual bool startMinimized(const QString &bareName) = 0;
};

// Starts the program with `arguments`, passed byte for byte as file names are: a second deck gets
// the folder this deck lists, whatever bytes its name holds. The started program is not this
// process's child, so it never has to be waited for.
class QtLauncher : public Launcher
{
public:
    explicit QtLauncher(QStringList arguments = QStringList());
    bool startMinimized(const QString &bareName) override;

private:
    QStringList m_arguments;
};

// Set in the environment of a deck started by another deck: its first window starts minimised.
inline const char *startMinimizedVariable() { return "POCKO_START_MINIMIZED"; }

} // namespace pocko
