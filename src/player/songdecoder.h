#pragma once

#include "audioblock.h"

#include <QtGlobal>

#include <memory>
#include <vector>

struct mpg123_handle_struct;
struct soxr;

namespace pocko {

// What the decoder thread renders for one stream generation: a stretch of the song from
// startFrame (to the selection end, or to the song's end when it starts past it), or a burst train
// from startFrame followed by the stretch from where the train stands paused. All frames are song
// frames at the file's rate. Written by the GUI thread, read by the decoder thread, both under the
// player's mutex.
struct StreamPlan
{
    quint64 generation = 0;
    bool active = false; // false: no song, render nothing
    qint64 startFrame = 0;
    qint64 selectionStart = 0; // where a finished stretch rewinds to
    qint64 selectionEnd = 0; // exclusive; the song's length for the whole song
    double rate = 1.0;
    int burstCount = 0; // 0: no burst train
    qint64 burstFrames = 0; // output frames per burst
    qint64 burstPauseFrame = 0; // where the train stands paused
};

// One opened MP3 file and the state of rendering it into output blocks: libmpg123 decodes
// (gapless, float, stereo), libsoxr resamples whenever the output is not the file itself at 1.0.
// Opened on the GUI thread; after it is handed over, only the decoder thread renders with it, under
// the player's mutex.
class SongDecoder
{
public:
    // GUI thread. Takes ownership of fd (closed in every case). Throws PlayerFailure when the file
    // is not a playable MP3.
    explicit SongDecoder(int fd);
    ~SongDecoder();
    SongDecoder(const SongDecoder &) = delete;
    SongDecoder &operator=(const SongDecoder &) = delete;

    // Any thread holding the song: fixed after construction.
    qint64 length() const { return m_length; }
    long fileRate() const { return m_fileRate; }

    // Decoder thread: starts rendering a new plan.
    void begin(const StreamPlan &plan);
    // Decoder thread: fills the next block of the plan; false when there is nothing to render now.
    // `ringDrained` lets an empty stretch report its end without flooding the ring.
    bool fill(AudioBlock &block, bool ringDrained);

private:
    enum class Phase { Idle, Stretch, Burst };

    void startStretch(qint64 frame);
    void seekTo(qint64 frame);
    void produce(float *out, int frames);
    int readSource(float *out, int frames);
    void setRate(double rate);

    struct FileReader;
    std::unique_ptr<FileReader> m_reader; // owns the file descriptor
    mpg123_handle_struct *m_handle = nullptr;
    qint64 m_length = 0;
    long m_fileRate = 0;

    soxr *m_soxr = nullptr;
    double m_rate = 0;
    bool m_bypass = true;
    double m_step = 1;
    std::vector<float> m_input; // decoded frames waiting for the resampler
    int m_inputOffset = 0;
    int m_inputFrames = 0;
    bool m_inputEnded = false;

    StreamPlan m_plan;
    Phase m_phase = Phase::Idle;
    qint64 m_start = 0; // song frame where the current stretch or burst begins
    qint64 m_total = 0; // output frames of the current stretch or burst
    qint64 m_done = 0; // output frames rendered of it
    bool m_fadeAtEnd = false; // the stretch stops inside the song: fade its last frames
    int m_burst = 0; // bursts completed
};

} // namespace pocko
