#include "launcher.h"

#include "filenames.h"
#include "folder.h"

#include <QByteArrayList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char **environ;

namespace pocko {

namespace {

// The executable's folder, then the absolute PATH entries. Entries that are empty, "." or relative
// mean the current folder to a shell; a program planted there must never run, so they are dropped.
QByteArrayList searchFolders()
{
    QByteArrayList folders { encodeFileName(executableFolder()) };
    for (const QByteArray &entry : qgetenv("PATH").split(':')) {
        if (entry.startsWith('/'))
            folders.append(entry);
    }
    return folders;
}

QByteArray findProgram(const QByteArray &name)
{
    for (const QByteArray &folder : searchFolders()) {
        const QByteArray candidate = folder + '/' + name;
        struct stat info
        {
        };
        if (::stat(candidate.constData(), &info) == 0 && S_ISREG(info.st_mode)
            && ::access(candidate.constData(), X_OK) == 0)
            return candidate;
    }
    return QByteArray();
}

// A null-terminated array of C strings over byte arrays that outlive it.
std::vector<char *> pointers(QByteArrayList &strings)
{
    std::vector<char *> result;
    for (QByteArray &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

QtLauncher::QtLauncher(QStringList arguments)
    : m_arguments(std::move(arguments))
{
}

bool QtLauncher::startMinimized(const QString &bareName)
{
    if (bareName.isEmpty() || bareName.contains(QLatin1Char('/')))
        return false;
    const QByteArray program = findProgram(encodeFileName(bareName));
    if (program.isEmpty())
        return false;

    // Everything the child needs is made before the fork: between fork and exec a threaded
    // process may only make async-signal-safe calls.
    QByteArrayList arguments { program };
    for (const QString &argument : std::as_const(m_arguments))
        arguments.append(encodeFileName(argument));
    const QByteArray minimized = QByteArray(startMinimizedVariable()) + '=';
    QByteArrayList environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        if (!QByteArray(*entry).startsWith(minimized))
            environment.append(*entry);
    }
    environment.append(minimized + '1');
    const QByteArray folder = program.left(program.lastIndexOf('/') + 1);
    std::vector<char *> argv = pointers(arguments);
    std::vector<char *> envp = pointers(environment);

    // The exec's failure comes back through the pipe; a successful exec closes it unwritten.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        // The deck is the grandchild: once its parent ends here, init adopts it.
        ::setsid();
        const pid_t deck = ::fork();
        if (deck == 0) {
            if (::chdir(folder.constData()) == 0)
                ::execve(program.constData(), argv.data(), envp.data());
            const int error = errno;
            [[maybe_unused]] const ssize_t written = ::write(report[1], &error, sizeof error);
            ::_exit(127);
        }
        ::_exit(deck < 0 ? 1 : 0);
    }
    ::close(report[1]);
    int status = 0;
    bool forked = child > 0;
    while (forked && ::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            forked = false;
    }
    int error = 0;
    ssize_t got = 0;
    do {
        got = forked ? ::read(report[0], &error, sizeof error) : 0;
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    return forked && WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
}

} // namespace pocko
