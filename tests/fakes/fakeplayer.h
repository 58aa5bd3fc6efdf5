#pragma once

#include "player/player.h"

#include <QHash>
#include <QSet>
#include <QStringList>

namespace pocko {

// A player that only records what it was asked, and answers what the test set up. Any operation
// can be made to fail once, by name ("play", "stop", "setFileName", ...).
class FakePlayer : public MediaPlayer
{
public:
    QStringList log; // every call, e.g. "setFileName /m/a.mp3", "play", "seek 62"
    QSet<QString> refused; // paths whose open fails
    QHash<QString, double> lengths; // duration per path; defaultLength otherwise
    double defaultLength = 200;
    QSet<QString> failing; // operations that throw, as long as they are listed
    bool soundDevice = true;

    QString name;
    double position = 0;
    double length = 0;
    double rate = 1;
    double selectionStart = -1;
    double selectionEnd = -1;
    int state = 0;
    struct Train
    {
        double start;
        double heardSeconds;
        int count;
    };
    QList<Train> trains;

    void setFileName(const QString &path) override
    {
        call(QStringLiteral("setFileName ") + path);
        if (path.isEmpty()) {
            close();
            return;
        }
        if (refused.contains(path)) {
            close();
            throw PlayerFailure("refused");
        }
        name = path;
        length = lengths.value(path, defaultLength);
        position = 0;
        selectionStart = selectionEnd = -1;
        state = 2;
    }
    QString fileName() const override { return name; }
    double currentPosition() const override
    {
        check(QStringLiteral("currentPosition"));
        return position;
    }
    void setCurrentPosition(double seconds) override
    {
        call(QStringLiteral("seek ") + QString::number(seconds));
        position = seconds;
    }
    double duration() const override
    {
        check(QStringLiteral("duration"));
        return length;
    }
    void play() override
    {
        call(QStringLiteral("play"));
        state = 2;
    }
    void pause() override
    {
        call(QStringLiteral("pause"));
        state = 1;
    }
    void stop() override
    {
        call(QStringLiteral("stop"));
        state = 0;
        position = selectionStart >= 0 ? selectionStart : 0;
    }
    void setRate(double r) override
    {
        call(QStringLiteral("rate ") + QString::number(r));
        rate = r;
    }
    void setSelectionStart(double s) override
    {
        call(QStringLiteral("selectionStart ") + QString::number(s));
        selectionStart = s;
    }
    void setSelectionEnd(double s) override
    {
        call(QStringLiteral("selectionEnd ") + QString::number(s));
        selectionEnd = s;
    }
    int playState() const override
    {
        check(QStringLiteral("playState"));
        return state;
    }
    bool soundDeviceEnabled() override { return soundDevice; }
    void setPostOpenReset(int) override { call(QStringLiteral("postOpenReset")); }
    void playBursts(double start, double heardSeconds, int count) override
    {
        call(QStringLiteral("bursts %1 %2 %3").arg(start).arg(heardSeconds).arg(count));
        trains.append({start, heardSeconds, count});
        position = start + heardSeconds * rate;
        state = 1;
    }

private:
    void close()
    {
        name.clear();
        length = 0;
        position = 0;
        state = 0;
    }
    void call(const QString &entry)
    {
        log.append(entry);
        check(entry.section(QLatin1Char(' '), 0, 0));
    }
    void check(const QString &operation) const
    {
        if (failing.contains(operation))
            throw PlayerFailure("fails");
    }
};

} // namespace pocko
