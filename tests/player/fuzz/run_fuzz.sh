#!/usr/bin/env bash
# Builds the decoder fuzzer with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer),
# seeds it with small MP3s made by lame plus damaged variants of them, and runs it.
#   run_fuzz.sh [SECONDS]   default 30
# Environment: POCKO_FUZZ_DIR  work folder (build, corpus, findings); default a fresh temp folder,
#              kept when it is given so a longer run goes on from the corpus of the last one.
#              POCKO_FUZZ_JOBS parallel fuzzing processes (default 1).
# Exits 0 when the run ends without a finding, 1 on a finding or a failed build, 77 when clang++,
# the libFuzzer runtime, lame or sox is missing.
set -euo pipefail

seconds="${1:-30}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
src="$(cd "$here/../../../src" && pwd)"

cxx="$(command -v clang++ || command -v clang++-14 || true)"
if [[ -z "$cxx" ]]; then
    echo "run_fuzz.sh: clang++ not found, skipping" >&2
    exit 77
fi
for tool in lame sox pkg-config; do
    if ! command -v "$tool" >/dev/null; then
        echo "run_fuzz.sh: $tool not found, skipping" >&2
        exit 77
    fi
done
if [[ -n "${POCKO_FUZZ_DIR:-}" ]]; then
    work="$POCKO_FUZZ_DIR"
    mkdir -p "$work"
else
    work="$(mktemp -d /tmp/pocko-fuzz.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/corpus" "$work/findings" "$work/seeds"

# The libFuzzer runtime comes with libclang-rt-14-dev; without it nothing links.
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' \
    | "$cxx" -x c++ -fsanitize=fuzzer,address,undefined - -o "$work/probe" 2>/dev/null; then
    echo "run_fuzz.sh: the libFuzzer runtime (libclang-rt-14-dev) is missing, skipping" >&2
    exit 77
fi
rm -f "$work/probe"

echo "=== building the fuzzer in $work"
# shellcheck disable=SC2046
"$cxx" -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -fno-omit-frame-pointer \
    -DQT_NO_CAST_FROM_ASCII -I"$src" -I"$src/player" \
    $(pkg-config --cflags libmpg123 soxr Qt6Core) \
    "$here/fuzz_songdecoder.cpp" "$src/player/songdecoder.cpp" \
    $(pkg-config --libs libmpg123 soxr Qt6Core) \
    -o "$work/fuzz_songdecoder"

echo "=== seeding"
seeds="$work/seeds"
# A short stereo signal: a tone on one side, noise on the other, so no two frames decode alike.
sox -n -r 44100 -b 16 -c 2 "$seeds/tone.wav" synth 0.4 sine 440 pinknoise gain -6
l() { lame --quiet "$@"; }
l -b 128 "$seeds/tone.wav" "$seeds/cbr.mp3"
l -V 4 "$seeds/tone.wav" "$seeds/vbr.mp3"
l --abr 96 "$seeds/tone.wav" "$seeds/abr.mp3"
l --freeformat -b 200 "$seeds/tone.wav" "$seeds/free.mp3"
l --resample 22.05 -m m -V 6 "$seeds/tone.wav" "$seeds/mpeg2.mp3"
l --resample 8 -m m -b 16 "$seeds/tone.wav" "$seeds/mpeg25.mp3"
l --resample 48 -b 64 --tt title --ta artist --add-id3v2 "$seeds/tone.wav" "$seeds/id3.mp3"
# Other formats under an .mp3 name, as files from the wild are (sox may lack a format: no matter).
cp "$seeds/tone.wav" "$seeds/wav.mp3"
sox "$seeds/tone.wav" -t flac "$seeds/flac.mp3" 2>/dev/null || true
sox "$seeds/tone.wav" -t ogg "$seeds/ogg.mp3" 2>/dev/null || true
rm -f "$seeds/tone.wav"
# Damaged variants: cut inside the first header, after the info frame, mid-file, one byte
# short; garbage behind a valid header; a valid file behind a run of zeros.
vbr="$seeds/vbr.mp3"
size=$(stat -c %s "$vbr")
head -c 2 "$vbr" >"$seeds/cut-header.mp3"
# The info frame ends where the second frame header begins.
second=$(LC_ALL=C grep -obUaP '\xff[\xfa\xfb]' "$vbr" | sed -n 2p | cut -d: -f1)
head -c "${second:-600}" "$vbr" >"$seeds/cut-info.mp3"
head -c $((size / 2)) "$vbr" >"$seeds/cut-mid.mp3"
head -c $((size - 1)) "$vbr" >"$seeds/cut-one.mp3"
{ head -c 4 "$seeds/cbr.mp3"; head -c 3000 /dev/urandom; } >"$seeds/header-garbage.mp3"
{ head -c 5000 /dev/zero; cat "$seeds/cbr.mp3"; } >"$seeds/zeros-first.mp3"
# Lying headers: an ID3v2 tag claiming 256 MB, a Xing frame count of 2^32-1, the largest
# gapless trim the LAME tag can hold; tags behind the song; rates changing mid-stream.
{ printf 'ID3\x03\x00\x00\x7f\x7f\x7f\x7f'; head -c 3000 "$seeds/cbr.mp3"; } \
    >"$seeds/id3-claims-more.mp3"
patch() { # file, offset, bytes as printf escapes
    printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
xing=$(grep -obUa -m1 -e Xing -e Info "$vbr" | head -1 | cut -d: -f1)
lametag=$(grep -obUa -m1 LAME "$vbr" | head -1 | cut -d: -f1)
cp "$vbr" "$seeds/xing-frames-max.mp3"
patch "$seeds/xing-frames-max.mp3" $((xing + 8)) '\xff\xff\xff\xff'
cp "$vbr" "$seeds/gapless-max.mp3"
patch "$seeds/gapless-max.mp3" $((lametag + 21)) '\xff\xff\xff'
{ cat "$seeds/cbr.mp3"; printf 'APETAGEX\xd0\x07\x00\x00\x30\x00\x00\x00\x01\x00\x00\x00'
  printf '\x00\x00\x00\xa0\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '\x08\x00\x00\x00\x00\x00\x00\x00Title\x00\xff\xfb\x90\x00\xff\xfb\x90\x00'
  printf 'APETAGEX\xd0\x07\x00\x00\x30\x00\x00\x00\x01\x00\x00\x00'
  printf '\x00\x00\x00\x80\x00\x00\x00\x00\x00\x00\x00\x00'; } >"$seeds/ape-tag.mp3"
{ cat "$seeds/cbr.mp3"; printf 'TAG'; head -c 125 /dev/zero; } >"$seeds/id3v1.mp3"
cat "$seeds/cbr.mp3" "$seeds/mpeg2.mp3" "$seeds/mpeg25.mp3" >"$seeds/rates-change.mp3"
cp -n "$seeds"/*.mp3 "$work/corpus/"

# Tokens of the format, for mutations that the uninstrumented libmpg123 cannot steer.
cat >"$work/mp3.dict" <<'DICT'
"ID3\x03\x00"
"ID3\x04\x00"
"TAG"
"APETAGEX"
"Xing"
"Info"
"LAME3.100"
"\xff\xfb\x90\x00"
"\xff\xfb\x90\x64"
"\xff\xf3\x40\xc4"
"\xff\xe3\x18\xc4"
"\xff\xfb\x00\x00"
"\xff\xfd"
"\xff\xfa"
DICT

echo "=== fuzzing for $seconds s"
parallel=()
if [[ "${POCKO_FUZZ_JOBS:-1}" -gt 1 ]]; then
    # Each process logs to fuzz-N.log in the work folder.
    cd "$work"
    parallel=(-jobs="$POCKO_FUZZ_JOBS" -workers="$POCKO_FUZZ_JOBS")
fi
status=0
"$work/fuzz_songdecoder" "$work/corpus" "${parallel[@]}" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -max_len=65536 \
    -dict="$work/mp3.dict" \
    -error_exitcode=1 -timeout_exitcode=1 -print_final_stats=1 \
    -artifact_prefix="$work/findings/" || status=$?
if compgen -G "$work/findings/*" >/dev/null; then
    echo "run_fuzz.sh: findings in $work/findings:" >&2
    ls -l "$work/findings" >&2
    status=1
fi
if [[ "$status" -ne 0 ]]; then
    echo "run_fuzz.sh: FAILED (exit $status)" >&2
    [[ -n "${POCKO_FUZZ_DIR:-}" ]] || trap - EXIT
    exit 1
fi
echo "run_fuzz.sh: no findings"
