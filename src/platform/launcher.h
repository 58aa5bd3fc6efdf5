#pragma once

#include <QString>

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

class QtLauncher : public Launcher
{
public:
    bool startMinimized(const QString &bareName) override;
};

// Set in the environment of a deck started by another deck: its first window starts minimised.
inline const char *startMinimizedVariable() { return "POCKO_START_MINIMIZED"; }

} // namespace pocko
