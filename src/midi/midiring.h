#pragma once

// A fixed ring between one producing thread and one consuming thread.
//
// Threads: push() on the producer's thread only, pop(), peek() and any() on the consumer's
// thread only. Neither side locks, allocates or waits: a real-time thread may be either.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace pocko {

template<typename T, std::size_t Size>
class MidiRing
{
    static_assert(Size >= 2 && (Size & (Size - 1)) == 0, "the size is a power of two");

public:
    // Producer: false, and the message counted as dropped, when the ring is full. The newest
    // message is the one lost: what waits keeps its place and its order.
    bool push(const T &item)
    {
        const std::size_t head = m_head.load(std::memory_order_relaxed);
        if (head - m_tail.load(std::memory_order_acquire) == Size) {
            m_dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        m_items[head % Size] = item;
        m_head.store(head + 1, std::memory_order_release);
        return true;
    }

    // Consumer: the oldest item, left in place.
    const T *peek() const
    {
        const std::size_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire))
            return nullptr;
        return &m_items[tail % Size];
    }

    // Consumer: the oldest item, taken out.
    bool pop(T &item)
    {
        const T *oldest = peek();
        if (oldest == nullptr)
            return false;
        item = *oldest;
        m_tail.store(m_tail.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        return true;
    }

    // Consumer: whether any waiting item satisfies `wanted`, oldest first.
    template<typename Wanted>
    bool any(const Wanted &wanted) const
    {
        const std::size_t head = m_head.load(std::memory_order_acquire);
        for (std::size_t i = m_tail.load(std::memory_order_relaxed); i != head; ++i) {
            if (wanted(m_items[i % Size]))
                return true;
        }
        return false;
    }

    // Any thread: whether nothing waits, as it was a moment ago.
    bool empty() const
    {
        return m_head.load(std::memory_order_acquire) == m_tail.load(std::memory_order_acquire);
    }

    // Any thread: how many pushes found the ring full, since the start.
    std::uint64_t dropped() const { return m_dropped.load(std::memory_order_relaxed); }

private:
    std::array<T, Size> m_items {};
    // Counts that only grow; their difference is the fill. Apart, so that the two threads do
    // not share a cache line.
    alignas(64) std::atomic<std::size_t> m_head { 0 };
    alignas(64) std::atomic<std::size_t> m_tail { 0 };
    alignas(64) std::atomic<std::uint64_t> m_dropped { 0 };
};

} // namespace pocko
