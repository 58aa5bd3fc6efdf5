#include "folder.h"

#include "filenames.h"

#include <QCoreApplication>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace pocko {

namespace {

bool sameLetter(QChar a, QChar b)
{
    return a == b || a.toCaseFolded() == b.toCaseFolded();
}

// '*' matches any run of characters, '?' any one; everything else matches itself, case ignored.
bool wildcardMatch(QStringView pattern, QStringView name)
{
    qsizetype p = 0;
    qsizetype n = 0;
    qsizetype starP = -1;
    qsizetype starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            starP = p++;
            starN = n;
        } else if (p < pattern.size()
                   && (pattern[p] == QLatin1Char('?') || sameLetter(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

// Lists through the raw directory bytes: names that are not valid UTF-8 must survive, and an entry
// is only ever stat()ed, never opened, so a FIFO cannot block the GUI thread.
QStringList listPlainFiles(const QString &folder, const QString &wildcard)
{
    QStringList names;
    DIR *dir = opendir(encodeFileName(folder).constData());
    if (!dir)
        return names;
    const int dirFd = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        const char *raw = entry->d_name;
        if (raw[0] == '.')
            continue;
        struct stat info
        {
        };
        if (fstatat(dirFd, raw, &info, 0) != 0 || !S_ISREG(info.st_mode))
            continue;
        const QString name = decodeFileName(QByteArray(raw));
        if (wildcardMatch(wildcard, name))
            names.append(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int order = a.compare(b, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a < b;
    });
    return names;
}

} // namespace

QString executableFolder()
{
    // Read the link ourselves: Qt would turn bytes that are not UTF-8 into U+FFFD, and the songs
    // beside such an executable could then not be opened.
    QByteArray target(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", target.data(), target.size());
    if (length > 0 && length < target.size()) {
        target.truncate(length);
        const qsizetype slash = target.lastIndexOf('/');
        if (slash == 0)
            return QStringLiteral("/");
        if (slash > 0)
            return decodeFileName(target.left(slash));
    }
    return QCoreApplication::applicationDirPath();
}

DiskFolder::DiskFolder(QString folder)
    : m_folder(std::move(folder))
{
}

QString DiskFolder::programFolder()
{
    return m_folder.isEmpty() ? executableFolder() : m_folder;
}

QString DiskFolder::first(const QString &pattern)
{
    const qsizetype slash = pattern.lastIndexOf(QLatin1Char('/'));
    QString folder = slash < 0 ? QStringLiteral(".") : pattern.left(slash);
    if (folder.isEmpty())
        folder = QStringLiteral("/");
    m_names = listPlainFiles(folder, pattern.mid(slash + 1));
    m_next = 0;
    return next();
}

QString DiskFolder::next()
{
    if (m_next >= m_names.size())
        return QString();
    return m_names.at(m_next++);
}

} // namespace pocko
