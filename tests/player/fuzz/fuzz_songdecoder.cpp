// libFuzzer entry point over the player's decoding side: open a file of arbitrary bytes, then
// render stretches from arbitrary positions at 1.0 and 0.5, and a burst train, as the decoder
// thread would. A refused file is a normal outcome; a crash, a sanitizer report, a hang, a
// non-finite sample or a block that breaks the stream's bookkeeping is a finding.

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

[[noreturn]] void finding(const char *what)
{
    std::fprintf(stderr, "fuzz_songdecoder: %s\n", what);
    std::abort();
}

// Renders the plan for at most MaxBlocks blocks and checks every block. Returns the output
// frames rendered before the stream said where it ends, or -1 when it did not end in time.
// `lastStart`: the latest song frame a block may start at (a burst near the end runs on past the
// song into silence, keeping its heard length).
qint64 render(SongDecoder &song, const StreamPlan &plan, BlockEnd expectedEnd, double lastStart)
{
    song.begin(plan);
    AudioBlock block;
    qint64 frames = 0;
    for (int i = 0; i < MaxBlocks; ++i) {
        if (!song.fill(block, true))
            return -1;
        if (block.frames < 0 || block.frames > BlockFrames)
            finding("block frame count out of range");
        if (block.generation != plan.generation)
            finding("block of another generation");
        if (!std::isfinite(block.startFrame) || block.startFrame < 0
            || block.startFrame > lastStart + 1)
            finding("block starts outside the song");
        for (int s = 0; s < block.frames * 2; ++s) {
            if (!std::isfinite(block.data[std::size_t(s)]))
                finding("non-finite sample");
        }
        frames += block.frames;
        if (block.end != BlockEnd::None) {
            if (block.end != expectedEnd)
                finding("stream ended the wrong way");
            if (!(block.endFrame >= 0 && block.endFrame <= double(song.length())))
                finding("stream ends outside the song");
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
    if (expected >= double(BlockFrames) * (MaxBlocks - 2))
        return;
    if (heard < 0)
        finding("a short stretch did not end");
    if (std::fabs(double(heard) - expected) > 1.0)
        finding("a stretch lasted another length than its heard time");
}

int memoryFile(const std::uint8_t *data, std::size_t size)
{
    const int fd = memfd_create("fuzz.mp3", MFD_CLOEXEC);
    if (fd < 0)
        finding("memfd_create failed");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            finding("cannot write the memory file");
        done += std::size_t(n);
    }
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The choices come from the input's last bytes; the rest is the file.
    FuzzedDataProvider choices(data, size);
    const auto startPick = choices.ConsumeIntegral<std::uint16_t>();
    const auto endPick = choices.ConsumeIntegral<std::uint16_t>();
    const auto burstPick = choices.ConsumeIntegral<std::uint8_t>();
    const bool halfSpeed = choices.ConsumeBool();
    const std::size_t fileSize = choices.remaining_bytes();

    std::unique_ptr<SongDecoder> song;
    try {
        song = std::make_unique<SongDecoder>(memoryFile(data, fileSize));
    } catch (const PlayerFailure &) {
        return 0;
    }
    const qint64 length = song->length();
    if (length <= 0 || song->fileRate() < 8000 || song->fileRate() > 48000)
        finding("an opened song without a sane length or rate");

    const auto at = [length](std::uint16_t pick) { return length * qint64(pick) / 65535; };
    quint64 generation = 0;

    // The whole song from a position, at the chosen rate.
    StreamPlan plan;
    plan.generation = ++generation;
    plan.active = true;
    plan.startFrame = at(startPick);
    plan.selectionStart = 0;
    plan.selectionEnd = length;
    plan.rate = halfSpeed ? 0.5 : 1.0;
    const double step = plan.rate * double(song->fileRate()) / OutputRate;
    checkHeard(render(*song, plan, BlockEnd::Stop, double(length)), length - plan.startFrame, step);

    // A short selection (within reach of MaxBlocks) must end where its heard length says.
    plan.generation = ++generation;
    plan.selectionStart = at(startPick);
    plan.selectionEnd = std::min(length, plan.selectionStart + qint64(endPick % 8192));
    plan.startFrame = plan.selectionStart;
    // An empty selection is a start at or past its end: from there the song plays to its end.
    const qint64 end = plan.selectionStart < plan.selectionEnd ? plan.selectionEnd : length;
    checkHeard(render(*song, plan, BlockEnd::Stop, double(length)), end - plan.selectionStart,
               step);

    // A seek past the selection end plays on to the song's end.
    plan.generation = ++generation;
    plan.startFrame = std::max(plan.selectionEnd, at(endPick));
    render(*song, plan, BlockEnd::Stop, double(length));

    // A burst train, then the stretch from where it stands paused; the rate flips back.
    plan.generation = ++generation;
    plan.rate = halfSpeed ? 1.0 : 0.5;
    plan.startFrame = at(endPick);
    plan.selectionStart = 0;
    plan.selectionEnd = length;
    plan.burstCount = 1 + burstPick % 3;
    plan.burstFrames = 64 + burstPick * 16;
    plan.burstPauseFrame = std::min(length, plan.startFrame + plan.burstFrames);
    const double trainStep = plan.rate * double(song->fileRate()) / OutputRate;
    render(
        *song, plan, BlockEnd::Pause,
        std::max(double(length), double(plan.startFrame) + double(plan.burstFrames) * trainStep));

    // Nothing to render: an idle plan yields no block.
    plan = StreamPlan {};
    plan.generation = ++generation;
    song->begin(plan);
    AudioBlock block;
    if (song->fill(block, true))
        finding("an idle plan rendered a block");
    return 0;
}
