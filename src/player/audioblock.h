#pragma once

#include <QtGlobal>

#include <array>
#include <atomic>
#include <cstddef>

namespace pocko {

// The output format of every deck: float32 stereo at 44.1 kHz, in blocks of 512 frames.
constexpr int OutputRate = 44100;
constexpr int BlockFrames = 512;
constexpr int AheadBlocks = 24; // 279 ms decoded ahead of the callback: rides out a busy machine
// The start of a new stream (a seek, a speed change, a burst train): decoded before the callback
// is told to switch, so that it never plays the first block and falls silent.
constexpr int ReservedBlocks = 8;
// Room for the running stream and the starts of several newer ones that the callback has not
// taken yet, so that quick changes (Stop, then a new song) seldom wait for a device buffer.
constexpr int RingBlocks = 64;
// A 3 ms gain ramp at every start and stop of sound; short enough not to smear a beat, long
// enough that a cut in mid-waveform does not click.
constexpr int FadeFrames = 132;

// Gain of the `index`-th frame of a rising ramp (index >= FadeFrames: full gain). The ramp never
// reaches 0 or 1 inside, so a ramp and its mirror image add up to an even cross-fade.
inline float rampGain(qint64 index)
{
    if (index >= FadeFrames)
        return 1.0f;
    return float(index + 1) / float(FadeFrames + 1);
}

// Gain of frame `index` of a sound of `frames` frames that fades in and out inside itself.
inline float burstGain(qint64 index, qint64 frames)
{
    const float in = rampGain(index);
    const float out = rampGain(frames - 1 - index);
    return in < out ? in : out;
}

enum class BlockEnd : quint8 {
    None,
    Stop, // the stretch ended: stop and rewind to endFrame
    Pause, // a burst train ended: stand paused at endFrame
};

// One block of decoded output, tagged with where it sits in the song. Written by the decoder
// thread into a free ring slot, read by the audio callback.
struct AudioBlock
{
    quint64 generation = 0; // the stream it belongs to; older generations are dropped
    double startFrame = 0; // song frame (file rate) of data[0]
    double step = 1; // song frames per output frame
    int frames = 0; // valid frames in data
    BlockEnd end = BlockEnd::None; // what happens after the last frame
    double endFrame = 0; // song frame for BlockEnd::Stop / BlockEnd::Pause
    std::array<float, BlockFrames * 2> data {};
};

// A fixed single-producer/single-consumer ring: no locks, no allocation after construction.
// One thread produces, one consumes; which ones is up to the owner.
template<typename T, std::size_t Capacity> class SpscRing
{
public:
    // Producer: the free slot to fill, or nullptr when full. commit() publishes it.
    T *writeSlot()
    {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        if (head - m_tail.load(std::memory_order_acquire) >= Capacity)
            return nullptr;
        return &m_slots[head % Capacity];
    }
    void commit()
    {
        m_head.store(m_head.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    bool push(const T &value)
    {
        T *slot = writeSlot();
        if (!slot)
            return false;
        *slot = value;
        commit();
        return true;
    }
    // Producer: items written and not yet taken.
    std::size_t size() const
    {
        return m_head.load(std::memory_order_relaxed) - m_tail.load(std::memory_order_acquire);
    }
    // Producer: true when the consumer has taken everything.
    bool drained() const
    {
        return m_tail.load(std::memory_order_acquire) == m_head.load(std::memory_order_relaxed);
    }

    // Consumer: how many items can be read, the item `index` places from the front, and pop().
    std::size_t readable() const
    {
        return m_head.load(std::memory_order_acquire) - m_tail.load(std::memory_order_relaxed);
    }
    T &peek(std::size_t index)
    {
        return m_slots[(m_tail.load(std::memory_order_relaxed) + index) % Capacity];
    }
    void pop()
    {
        m_tail.store(m_tail.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    bool pop(T &out)
    {
        if (readable() == 0)
            return false;
        out = peek(0);
        pop();
        return true;
    }

private:
    std::array<T, Capacity> m_slots {};
    alignas(64) std::atomic<std::size_t> m_head { 0 };
    alignas(64) std::atomic<std::size_t> m_tail { 0 };
};

} // namespace pocko
