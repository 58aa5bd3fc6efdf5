#pragma once

#include "player/player.h"

#include <QSet>
#include <QStringList>

#include <type_traits>

namespace pocko {

// A player that only records what it was asked, and answers what the test set up. Any operation
// fails while its name ("play", "stop", "setFileName", "duration", ...) is in `failing`.
class FakePlayer : public MediaPlayer
{
public:
    QStringList log; // every call, e.g. "setFileName /m/a.mp3", "play", "seek 62"
    QSet<QString> refused; // paths whose open fails
    double defaultLength = 200; // of every song it opens
    QSet<QString> failing;
    bool soundDevice = true;
    bool full = false; // the command queue has no room for a handler's commands

    QString name;
    double position = 0;
    double length = 0;
    double rate = 1;
    double selectionStart = -1;
    double selectionEnd = -1;
    int state = 0;

    void setFileName(const QString &path) override
    {
        call("setFileName " + path);
        position = 0;
        if (path.isEmpty() || refused.contains(path)) {
            name.clear();
            length = state = 0;
            if (!path.isEmpty())
                throw PlayerFailure("refused");
            return;
        }
        name = path;
        length = defaultLength;
        selectionStart = selectionEnd = -1;
        state = 2;
    }
    QString fileName() const override { return name; }
    double currentPosition() const override { return checked("currentPosition", position); }
    void setCurrentPosition(double seconds) override { set("seek", position, seconds); }
    double duration() const override { return checked("duration", length); }
    void play() override { set("play", state, 2); }
    void pause() override { set("pause", state, 1); }
    void stop() override
    {
        set("stop", state, 0);
        position = selectionStart >= 0 ? selectionStart : 0;
    }
    void setRate(double r) override { set("rate", rate, r); }
    void setSelectionStart(double s) override { set("selectionStart", selectionStart, s); }
    void setSelectionEnd(double s) override { set("selectionEnd", selectionEnd, s); }
    int playState() const override { return checked("playState", state); }
    bool soundDeviceEnabled() override { return soundDevice; }
    void setPostOpenReset(int) override { call("postOpenReset"); }
    void setStartTime(qint64 steadyNs) override { call(QString("startTime %1").arg(steadyNs)); }
    bool commandsFit() const override { return !full; }
    void playBursts(double start, double heardSeconds, int count) override
    {
        call(QString("bursts %1 %2 %3").arg(start).arg(heardSeconds).arg(count));
        position = start + heardSeconds * rate;
        state = 1;
    }

private:
    void call(const QString &entry)
    {
        log.append(entry);
        check(entry.section(' ', 0, 0));
    }
    void check(const QString &operation) const
    {
        if (failing.contains(operation))
            throw PlayerFailure("fails");
    }
    template<class T> T checked(const char *operation, T value) const
    {
        check(operation);
        return value;
    }
    // Logs the operation (with the value it sets, when it is a number) and sets the field.
    template<class T> void set(const char *operation, T &field, T value)
    {
        call(operation + (std::is_same_v<T, double> ? ' ' + QString::number(value) : QString()));
        field = value;
    }
};

} // namespace pocko
