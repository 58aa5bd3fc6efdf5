#!/usr/bin/env bash
# run_fuzz.sh [SECONDS]: builds the decoder fuzzer with clang (libFuzzer, ASan, UBSan), seeds it
# with small MP3s made by lame and damaged variants of them, and runs it (30 s by default) in
# POCKO_FUZZ_DIR, which is kept so that the next run goes on from its corpus (default: a fresh
# temporary folder). Exits 1 on a finding (saved in findings/) or a failed build, 77 when clang++,
# the libFuzzer runtime (libclang-rt-14-dev), lame or sox is missing.
set -euo pipefail

seconds="${1:-30}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
src="$(cd "$here/../../../src" && pwd)"
skip() { echo "run_fuzz.sh: $1, skipping" >&2; exit 77; }

cxx="$(command -v clang++ || command -v clang++-14)" || skip "clang++ not found"
for tool in lame sox pkg-config; do command -v "$tool" >/dev/null || skip "$tool not found"; done
work="${POCKO_FUZZ_DIR:-}"
if [[ -z "$work" ]]; then
    work="$(mktemp -d /tmp/pocko-fuzz.XXXXXX)"
    trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work/corpus" "$work/findings" "$work/seeds"
echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' \
    | "$cxx" -x c++ -fsanitize=fuzzer - -o "$work/probe" 2>/dev/null \
    || skip "the libFuzzer runtime (libclang-rt-14-dev) is missing"

echo "=== building the fuzzer in $work"
# shellcheck disable=SC2046,SC2086
pkgs="libmpg123 soxr Qt6Core"
"$cxx" -std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer -DQT_NO_CAST_FROM_ASCII -I"$src" $(pkg-config --cflags $pkgs) \
    "$here/fuzz_songdecoder.cpp" "$src/player/songdecoder.cpp" $(pkg-config --libs $pkgs) \
    -o "$work/fuzz_songdecoder"

echo "=== seeding"
cd "$work/seeds"
# A short stereo signal: a tone on one side, noise on the other, so no two frames decode alike.
sox -n -r 44100 -b 16 -c 2 tone.wav synth 0.4 sine 440 pinknoise gain -6
l() { lame --quiet "$@"; }
l -b 128 tone.wav cbr.mp3
l -V 4 tone.wav vbr.mp3
l --freeformat -b 200 tone.wav free.mp3
l --resample 22.05 -m m -V 6 tone.wav mpeg2.mp3
l --resample 8 -m m -b 16 tone.wav mpeg25.mp3
l --resample 48 -b 64 --tt title --ta artist --add-id3v2 tone.wav id3.mp3
# Other formats under an .mp3 name, as files from the wild are (sox may lack a format: no matter).
mv tone.wav wav.mp3
sox -t wav wav.mp3 -t flac flac.mp3 2>/dev/null || true
sox -t wav wav.mp3 -t ogg ogg.mp3 2>/dev/null || true
# Damaged: cut inside the first header, after the info frame (where the second frame's header
# begins), mid-file and one byte short; garbage behind a valid header; zeros before a song.
size=$(stat -c %s vbr.mp3)
second=$(LC_ALL=C grep -obUaP '\xff[\xfa\xfb]' vbr.mp3 | sed -n 2p | cut -d: -f1)
head -c 2 vbr.mp3 >cut-header.mp3
head -c "${second:-600}" vbr.mp3 >cut-info.mp3
head -c $((size / 2)) vbr.mp3 >cut-mid.mp3
head -c $((size - 1)) vbr.mp3 >cut-one.mp3
{ head -c 4 cbr.mp3; head -c 3000 /dev/urandom; } >header-garbage.mp3
{ head -c 5000 /dev/zero; cat cbr.mp3; } >zeros-first.mp3
# Lying headers: an ID3v2 tag claiming 256 MB, a Xing frame count of 2^32-1, the largest gapless
# trim the LAME tag can hold; tags behind the song; rates changing mid-stream.
{ printf 'ID3\x03\x00\x00\x7f\x7f\x7f\x7f'; head -c 3000 cbr.mp3; } >id3-claims-more.mp3
patch() { # a copy of vbr.mp3 with bytes (printf escapes) at an offset
    cp vbr.mp3 "$1" && printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
xing=$(grep -obUa -m1 -e Xing -e Info vbr.mp3 | head -1 | cut -d: -f1)
lametag=$(grep -obUa -m1 LAME vbr.mp3 | head -1 | cut -d: -f1)
patch xing-frames-max.mp3 $((xing + 8)) '\xff\xff\xff\xff'
patch gapless-max.mp3 $((lametag + 21)) '\xff\xff\xff'
ape='APETAGEX\xd0\x07\x00\x00\x30\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00'
{ cat cbr.mp3; printf "$ape"'\xa0\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '\x08\x00\x00\x00\x00\x00\x00\x00Title\x00\xff\xfb\x90\x00\xff\xfb\x90\x00'
  printf "$ape"'\x80\x00\x00\x00\x00\x00\x00\x00\x00'; } >ape-tag.mp3
{ cat cbr.mp3; printf 'TAG'; head -c 125 /dev/zero; } >id3v1.mp3
cat cbr.mp3 mpeg2.mp3 mpeg25.mp3 >rates-change.mp3
cp -n ./*.mp3 "$work/corpus/"

# Tokens of the format, for mutations that the uninstrumented libmpg123 cannot steer.
printf '%s\n' '"ID3\x03\x00"' '"ID3\x04\x00"' '"TAG"' '"APETAGEX"' '"Xing"' '"Info"' '"LAME3.100"' \
    '"\xff\xfb\x90\x00"' '"\xff\xfb\x90\x64"' '"\xff\xf3\x40\xc4"' '"\xff\xe3\x18\xc4"' \
    '"\xff\xfb\x00\x00"' '"\xff\xfd"' '"\xff\xfa"' >"$work/mp3.dict"

echo "=== fuzzing for $seconds s"
status=0
"$work/fuzz_songdecoder" "$work/corpus" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -timeout=10 -max_len=65536 -dict="$work/mp3.dict" -error_exitcode=1 -timeout_exitcode=1 \
    -print_final_stats=1 -artifact_prefix="$work/findings/" || status=$?
if [[ "$status" -ne 0 ]] || compgen -G "$work/findings/*" >/dev/null; then
    echo "run_fuzz.sh: FAILED (exit $status); findings in $work/findings:" >&2
    ls -l "$work/findings" >&2
    [[ -n "${POCKO_FUZZ_DIR:-}" ]] || trap - EXIT
    exit 1
fi
echo "run_fuzz.sh: no findings"
