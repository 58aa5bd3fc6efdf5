// libFuzzer target over the player's decoding side (README.md): a refused file is a normal outcome;
// a crash, a sanitizer report, a hang, a non-finite sample or broken bookkeeping is a finding.

#include "player/player.h"
#include "player/songdecoder.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace pocko;

namespace {

// Blocks rendered per plan at most: enough to cross a few frame boundaries and a selection end,
// few enough that one input stays well under a millisecond or so per plan.
constexpr int MaxBlocks = 48;

// Anything else is a finding: the run stops, and the input lands in its findings folder.
void expect(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_songdecoder: %s\n", what);
        std::abort();
    }
}

// Renders the plan for at most MaxBlocks blocks, checking each; the output frames before the stream
// said where it ends, or -1. `lastStart`: the latest song frame a block may start at (a burst near
// the end runs on past the song into silence, keeping its heard length).
qint64 render(SongDecoder &song, const StreamPlan &plan, BlockEnd expectedEnd, double lastStart)
{
    song.begin(plan);
    AudioBlock block;
    qint64 frames = 0;
    for (int i = 0; i < MaxBlocks; ++i) {
        if (!song.fill(block, true))
            return -1;
        expect(block.frames >= 0 && block.frames <= BlockFrames, "block frame count out of range");
        expect(block.generation == plan.generation, "block of another generation");
        expect(block.startFrame >= 0 && block.startFrame <= lastStart + 1,
               "block starts outside the song");
        expect(std::all_of(block.data.begin(), block.data.begin() + block.frames * 2,
                           [](float s) { return std::isfinite(s); }),
               "non-finite sample");
        frames += block.frames;
        if (block.end != BlockEnd::None) {
            expect(block.end == expectedEnd, "stream ended the wrong way");
            expect(block.endFrame >= 0 && block.endFrame <= double(song.length()),
                   "stream ends outside the song");
            return frames;
        }
    }
    return -1;
}

// A stretch of `songFrames` at `step` song frames per output frame lasts songFrames / step output
// frames, to the frame; one short enough to end within MaxBlocks must have ended.
void checkHeard(qint64 heard, qint64 songFrames, double step)
{
    const double expected = double(songFrames) / step;
    if (expected < double(BlockFrames) * (MaxBlocks - 2))
        expect(heard >= 0 && std::fabs(double(heard) - expected) <= 1.0,
               "a short stretch did not end, or lasted another length than its heard time");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The choices come from the input's last bytes; the rest is the file, in memory.
    FuzzedDataProvider choices(data, size);
    const auto startPick = choices.ConsumeIntegral<std::uint16_t>();
    const auto endPick = choices.ConsumeIntegral<std::uint16_t>();
    const auto burstPick = choices.ConsumeIntegral<std::uint8_t>();
    const double rate = choices.ConsumeBool() ? 0.5 : 1.0;
    const std::size_t fileSize = choices.remaining_bytes();
    const int fd = memfd_create("fuzz.mp3", MFD_CLOEXEC);
    expect(fd >= 0 && ::write(fd, data, fileSize) == ssize_t(fileSize), "no memory file");
    std::unique_ptr<SongDecoder> song;
    try {
        song = std::make_unique<SongDecoder>(fd);
    } catch (const PlayerFailure &) {
        return 0;
    }
    const qint64 length = song->length();
    expect(length > 0 && song->fileRate() >= 8000 && song->fileRate() <= 48000,
           "an opened song without a sane length or rate");
    const auto at = [length](std::uint16_t pick) { return length * qint64(pick) / 65535; };
    const auto step = [&](double r) { return r * double(song->fileRate()) / OutputRate; };
    quint64 generation = 0;
    const auto plan = [&](qint64 start, qint64 from, qint64 to, double r) {
        StreamPlan p;
        p.generation = ++generation;
        p.active = true;
        p.startFrame = start;
        p.selectionStart = from;
        p.selectionEnd = to;
        p.rate = r;
        return p;
    };

    // The whole song from a position.
    const qint64 start = at(startPick);
    checkHeard(render(*song, plan(start, 0, length, rate), BlockEnd::Stop, double(length)),
               length - start, step(rate));
    // A short selection (within reach of MaxBlocks) ends where its heard length says; an empty
    // one is a start at or past its end, from where the song plays to its end.
    const qint64 end = std::min(length, start + qint64(endPick % 8192));
    checkHeard(render(*song, plan(start, start, end, rate), BlockEnd::Stop, double(length)),
               (start < end ? end : length) - start, step(rate));
    // A seek past the selection end plays on to the song's end.
    render(*song, plan(std::max(end, at(endPick)), start, end, rate), BlockEnd::Stop,
           double(length));
    // A burst train, then the stretch from where it stands paused, at the other rate.
    StreamPlan train = plan(at(endPick), 0, length, 1.5 - rate);
    train.burstCount = 1 + burstPick % 3;
    train.burstFrames = 64 + burstPick * 16;
    train.burstPauseFrame = std::min(length, train.startFrame + train.burstFrames);
    const double trainEnd = double(train.startFrame) + double(train.burstFrames) * step(1.5 - rate);
    render(*song, train, BlockEnd::Pause, std::max(double(length), trainEnd));
    return 0;
}
