#include "decoderfeed.h"

#include <chrono>

namespace pocko {

namespace {

// The ring holds ~280 ms ahead; looking for free room every 25 ms keeps it topped up, and each
// wake-up costs about as much as a device buffer does (a lot, in a virtual machine).
constexpr auto DecoderPoll = std::chrono::milliseconds(25);

} // namespace

DecoderFeed::DecoderFeed(SpscRing<AudioBlock, RingBlocks> &blocks)
    : m_blocks(blocks)
{
    m_thread = std::thread([this] { decodeLoop(); });
}

DecoderFeed::~DecoderFeed()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void DecoderFeed::setSong(std::unique_ptr<SongDecoder> song)
{
    {
        std::lock_guard lock(m_mutex);
        std::swap(m_song, song);
    }
}

quint64 DecoderFeed::start(StreamPlan plan)
{
    {
        std::lock_guard lock(m_mutex);
        plan.generation = ++m_generation;
        m_plan = plan;
        m_planChanged = true;
    }
    m_wake.notify_one();
    return plan.generation;
}

bool DecoderFeed::waitForStream(int timeoutMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_readyGeneration.load(std::memory_order_acquire) < m_generation) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

void DecoderFeed::decodeLoop()
{
    std::unique_lock lock(m_mutex);
    int pushed = 0; // blocks of the current plan
    while (!m_quit) {
        if (m_planChanged) {
            m_planChanged = false;
            pushed = 0;
            if (m_song)
                m_song->begin(m_plan);
        }
        const bool roomy = pushed < ReservedBlocks || m_blocks.size() < std::size_t(AheadBlocks);
        if (!m_song) {
            m_wake.wait(lock); // until a song is opened
            continue;
        }
        AudioBlock *slot = roomy ? m_blocks.writeSlot() : nullptr;
        if (!slot) {
            // The callback cannot signal (it never locks): look again shortly.
            m_wake.wait_for(lock, DecoderPoll);
            continue;
        }
        if (!m_song->fill(*slot, m_blocks.drained())) {
            // Nothing more to render now: the stream's start is all there is.
            m_readyGeneration.store(m_plan.generation, std::memory_order_release);
            m_wake.wait_for(lock, DecoderPoll);
            continue;
        }
        m_blocks.commit();
        if (++pushed == ReservedBlocks)
            m_readyGeneration.store(slot->generation, std::memory_order_release);
    }
}

} // namespace pocko
