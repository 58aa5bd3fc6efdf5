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
// is told to switch, so that it never plays what it has and falls silent. A rewrite renders the
// whole queue after its frame at once: the start covers the longest queue (250 ms).
constexpr int ReservedBlocks = 24;
// Room for the running stream and the starts of several newer ones that the callback has not
// taken yet, so that quick changes (Stop, then a new song) seldom wait for a device buffer; and
// for the blocks rendered into a long device queue and not heard yet, kept so that the queue can
// be rendered again.
constexpr int RingBlocks = 128;
// The most frames a rewrite of a long device queue replaces, and what the render keeps to render
// them again: more than the longest queue a device holds (372 ms).
constexpr int KeptFrames = 16384;
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
// One thread produces, one consumes; which ones is up to the owner. The consumer may take items
// and keep their slots (advance()), to read them again from an earlier place (rewind()) until it
// frees them (release()); pop() takes and frees.
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
        return m_head.load(std::memory_order_relaxed) - m_read.load(std::memory_order_acquire);
    }
    // Producer: slots free to write now.
    std::size_t room() const
    {
        return Capacity
            - (m_head.load(std::memory_order_relaxed) - m_tail.load(std::memory_order_acquire));
    }
    // Producer: true when the consumer has taken everything.
    bool drained() const
    {
        return m_read.load(std::memory_order_acquire) == m_head.load(std::memory_order_relaxed);
    }

    // Consumer: how many items can be read, the item `index` places from the front, and pop().
    std::size_t readable() const
    {
        return m_head.load(std::memory_order_acquire) - m_read.load(std::memory_order_relaxed);
    }
    T &peek(std::size_t index)
    {
        return m_slots[(m_read.load(std::memory_order_relaxed) + index) % Capacity];
    }
    void pop()
    {
        advance();
        release(m_read.load(std::memory_order_relaxed));
    }
    // Consumer: takes the front item and keeps its slot.
    void advance()
    {
        m_read.store(m_read.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    // Consumer: where the front is, counted from the first item ever written; a place taken
    // before and not yet freed to read from again; and the slots before `place` freed.
    std::size_t readPlace() const { return m_read.load(std::memory_order_relaxed); }
    void rewind(std::size_t place)
    {
        if (place >= m_tail.load(std::memory_order_relaxed) && place <= readPlace())
            m_read.store(place, std::memory_order_release);
    }
    void release(std::size_t place)
    {
        if (place > m_tail.load(std::memory_order_relaxed) && place <= readPlace())
            m_tail.store(place, std::memory_order_release);
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
    alignas(64) std::atomic<std::size_t> m_tail { 0 }; // slots before it are free
    std::atomic<std::size_t> m_read { 0 }; // the consumer's front; m_tail <= m_read <= m_head
};

} // namespace pocko
