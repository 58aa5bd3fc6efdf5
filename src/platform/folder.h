#pragma once

#include <QString>
#include <QStringList>

namespace pocko {

// The program's folder and the one running wildcard listing of a folder. GUI thread only.
class Folder
{
public:
    virtual ~Folder() = default;
    // The folder whose songs the program plays: the one holding the running executable, unless
    // the program was started on another. No trailing separator (except "/").
    virtual QString programFolder() = 0;
    // Starts a new listing (replacing the one before) with a pattern such as "/music/*.mp3" and
    // returns the first matching name, "" when none matches.
    virtual QString first(const QString &pattern) = 0;
    // The next name of the running listing; "" once used up, or when none was ever started.
    virtual QString next() = 0;
};

// Joins a folder and a name with exactly one separator between them, without looking at how the
// folder ends: "/" and "a.mp3" give "//a.mp3", which still names the same file.
inline QString joinPath(const QString &folder, const QString &name)
{
    return folder + QLatin1Char('/') + name;
}

// The folder holding the running executable, without a trailing separator (except "/").
QString executableFolder();

// Lists plain files (symbolic links to plain files included; no folders, FIFOs, sockets, devices
// or hidden files) whose names match the pattern, letter case ignored, in case-insensitive name
// order.
class DiskFolder : public Folder
{
public:
    // Plays the songs of `folder` (absolute), or of the executable's folder when it is empty.
    explicit DiskFolder(QString folder = QString());
    QString programFolder() override;
    QString first(const QString &pattern) override;
    QString next() override;

private:
    QString m_folder;
    QStringList m_names;
    qsizetype m_next = 0;
};

} // namespace pocko
