#pragma once

// The helper programs the measures run (servers, recorders, mpg123, lame): whether one is
// installed, and how one is ended.

class QProcess;
class QProcessEnvironment;
class QString;

namespace pocko::bench {

// True when `program` is found on the PATH.
bool installed(const char *program);

// Ends a helper process, politely first.
void stop(QProcess &process);

// Starts a private X server in `server`; its display (":N", read from -displayfd), empty when it
// did not start.
QString startDisplay(QProcess &server);

// The environment of the deck run on `display`, its sound written to nowhere by SDL's disk
// driver, with no session bus.
QProcessEnvironment headlessDeck(const QString &display);

} // namespace pocko::bench
