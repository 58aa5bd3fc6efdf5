#include "launcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace pocko {

namespace {

// PATH entries that are empty or "." mean the current folder to a shell; a program planted there
// must never run, so they are dropped, as is every relative entry.
QStringList searchFolders()
{
    QStringList folders { QCoreApplication::applicationDirPath() };
    const QString path = qEnvironmentVariable("PATH");
    for (const QString &entry : path.split(QDir::listSeparator(), Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(entry))
            folders.append(entry);
    }
    return folders;
}

} // namespace

bool QtLauncher::startMinimized(const QString &bareName)
{
    if (bareName.isEmpty() || bareName.contains(QLatin1Char('/')))
        return false;

    const QString program = QStandardPaths::findExecutable(bareName, searchFolders());
    if (program.isEmpty() || !QFileInfo(program).isAbsolute())
        return false;

    QProcess process;
    process.setProgram(program);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(startMinimizedVariable()), QStringLiteral("1"));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(QFileInfo(program).absolutePath());
    return process.startDetached();
}

} // namespace pocko
