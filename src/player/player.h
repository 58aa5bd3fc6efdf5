#pragma once

#include <QString>

#include <stdexcept>

namespace pocko {

// A failure the player reports to its caller (a refused file, a call that cannot be carried out).
// Handlers end at the point where it is thrown and keep what they had already done.
class PlayerFailure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The one media player of a deck, as the deck, the cue dialog and the playlist window drive it.
// Times are seconds of the song's own timeline, as doubles. GUI thread only.
class MediaPlayer
{
public:
    virtual ~MediaPlayer() = default;

    // Opens the file by full path and starts it from 0 without a play(); on return duration() and
    // seeking work, and the selection is the whole song. The same path again restarts it.
    // A file that is not a playable MP3 throws PlayerFailure and leaves no song open; an empty
    // path closes the song without a failure.
    virtual void setFileName(const QString &path) = 0;
    // The path last opened; "" when no song is open.
    virtual QString fileName() const = 0;

    virtual double currentPosition() const = 0; // 0 with no song open
    virtual void setCurrentPosition(double seconds) = 0; // seeks, also while paused or stopped
    virtual double duration() const = 0; // 0 with no song open

    virtual void play() = 0; // from the current position; returns at once
    virtual void pause() = 0; // holds the exact position
    virtual void stop() = 0; // ends playback and rewinds to the selection start

    virtual void setRate(double rate) = 0; // 0.5 half speed (an octave down), 1.0 normal
    // After stop(), play() plays from start to end, then playState() reads 0. -1 = whole song.
    virtual void setSelectionStart(double seconds) = 0;
    virtual void setSelectionEnd(double seconds) = 0;
    virtual int playState() const = 0; // 0 = stopped, 1 = paused, 2 = playing

    virtual bool soundDeviceEnabled() = 0;
    virtual void setPostOpenReset(int value) = 0; // accepted and ignored

    // The cue slots' stutter: from song position `start`, sound for `heardSeconds` (heard time, so
    // at half speed a burst covers half as much of the song), `count` times back to back, then
    // stand paused where the last burst ended. Returns at once.
    virtual void playBursts(double start, double heardSeconds, int count) = 0;

    // The sound that the calls from here on start begins at a fixed delay after `steadyNs` (the
    // steady clock, in nanoseconds), the same delay for every call, rather than as soon as it can;
    // 0 goes back to as soon as it can.
    virtual void setStartTime(qint64 steadyNs) { Q_UNUSED(steadyNs); }
    // Whether the commands of one more handler fit the player's queue now, without waiting for
    // the sound device to take the ones before.
    virtual bool commandsFit() const { return true; }
};

} // namespace pocko
