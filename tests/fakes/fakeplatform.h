#pragma once

#include "platform/clock.h"
#include "platform/folder.h"
#include "platform/launcher.h"
#include "platform/messages.h"

#include <QList>
#include <QPair>
#include <QStringList>

#include <functional>

namespace pocko {

// A clock that moves on by `step` at every reading, so a busy wait on it ends.
class FakeClock : public Clock
{
public:
    double time = 1000;
    double step = 0.001;
    int reads = 0;
    double now() override
    {
        ++reads;
        const double t = time;
        time += step;
        return t;
    }
};

// Records every message box (text, title); OK is pressed at once. `onShow` runs while the box is
// "up", to check what the program did before showing it.
class FakeMessages : public Messages
{
public:
    QList<QPair<QString, QString>> shown;
    std::function<void()> onShow;
    void show(const QString &text, const QString &title) override
    {
        shown.append({ text, title });
        if (onShow)
            onShow();
    }
};

class FakeLauncher : public Launcher
{
public:
    bool succeeds = true;
    QStringList started;
    bool startMinimized(const QString &bareName) override
    {
        started.append(bareName);
        return succeeds;
    }
};

// A folder whose listing yields `names` in order, with the running-listing rules of the real one.
class FakeFolder : public Folder
{
public:
    QString folder = QStringLiteral("/music");
    QStringList names;
    QStringList patterns; // every pattern a listing was started with
    QString programFolder() override { return folder; }
    QString first(const QString &pattern) override
    {
        patterns.append(pattern);
        m_next = 0;
        return next();
    }
    QString next() override { return m_next >= 0 ? names.value(m_next++) : QString(); }

private:
    qsizetype m_next = -1; // none before the first listing
};

} // namespace pocko
