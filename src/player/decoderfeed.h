#pragma once

#include "audioblock.h"
#include "songdecoder.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace pocko {

// The decoder thread and what it shares with the GUI thread: the open song and the plan of the
// stream to play. The thread decodes with libmpg123, resamples with libsoxr and keeps the block
// ring topped up ahead of the audio callback. The GUI thread calls every public method; the
// thread itself is started and ended with this object.
class DecoderFeed
{
public:
    explicit DecoderFeed(SpscRing<AudioBlock, RingBlocks> &blocks);
    // Ends the thread; the song closes with it.
    ~DecoderFeed();
    DecoderFeed(const DecoderFeed &) = delete;
    DecoderFeed &operator=(const DecoderFeed &) = delete;

    // GUI thread: the song to decode from now on (nullptr: none). The old one is closed outside
    // the lock, so the decoder never waits for a file to close.
    void setSong(std::unique_ptr<SongDecoder> song);
    // GUI thread: starts decoding `plan` (an inactive plan renders nothing) and returns its
    // generation, which the blocks of the new stream carry.
    quint64 start(StreamPlan plan);
    // GUI thread: waits (up to timeoutMs) until the newest stream's start is ready (its first
    // ReservedBlocks blocks, or all it has); false on timeout.
    bool waitForStream(int timeoutMs) const;

private:
    void decodeLoop();

    SpscRing<AudioBlock, RingBlocks> &m_blocks;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::unique_ptr<SongDecoder> m_song;
    StreamPlan m_plan;
    bool m_planChanged = false;
    bool m_quit = false;
    quint64 m_generation = 0; // GUI thread; written under m_mutex
    // The newest generation whose start is ready.
    std::atomic<quint64> m_readyGeneration { 0 };
    std::thread m_thread;
};

} // namespace pocko
