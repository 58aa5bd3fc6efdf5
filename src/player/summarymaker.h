#pragma once

// Threads: every public method is for the GUI thread. Each open() starts one summary thread of
// its own, which decodes the song a second time with a libmpg123 handle of its own, at the lowest
// priority, and writes the columns. It shares nothing with the playing decoder or the render: only
// the column array and the atomic count of finished columns, which it publishes with release order
// once a column is final. No lock is taken on either side.

#include "songsummary.h"

#include <array>
#include <atomic>
#include <thread>

namespace pocko {

// The summary as the deck computes it: libmpg123 decodes the file (mixed to one channel, at its own
// rate), two crossovers split it into three bands, and each column keeps each band's peak. In
// memory only, Columns * 3 bytes a song; nothing is written to disk.
class SummaryMaker : public SongSummary
{
public:
    SummaryMaker() = default;
    // GUI thread: stops a computation still running.
    ~SummaryMaker() override;
    SummaryMaker(const SummaryMaker &) = delete;
    SummaryMaker &operator=(const SummaryMaker &) = delete;

    // GUI thread. A running computation stops within a few milliseconds (the summary thread tests
    // the flag between every read of the file and every block it decodes); open() returns once it
    // has, then starts the new one.
    void open(const QString &path) override;
    QString path() const override { return m_path; }
    int ready() const override { return m_ready.load(std::memory_order_acquire); }
    SummaryColumn column(int index) const override { return m_columns[std::size_t(index)]; }

    // GUI thread: stops the computation where it stands; ready() keeps its count.
    void cancel();
    // GUI thread: the summary thread has ended (finished, failed or stopped).
    bool idle() const { return m_done.load(std::memory_order_acquire); }

private:
    void compute(const QByteArray &file);

    QString m_path;
    std::array<SummaryColumn, Columns> m_columns {};
    std::atomic<int> m_ready { 0 };
    std::atomic<bool> m_cancel { false };
    std::atomic<bool> m_done { true };
    std::thread m_thread;
};

} // namespace pocko
