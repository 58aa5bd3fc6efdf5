#!/usr/bin/env bash
# Synthesizes the three demo songs into OUT_DIR: drums (kick, snare, hi-hat), a bass line and a
# plucked melody at three tempos, so that a stutter on any beat is easy to hear.
# Usage: scripts/make-demo-songs.sh OUT_DIR
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 OUT_DIR" >&2
    exit 2
fi
out="$1"
for tool in sox lame; do
    if ! command -v "$tool" >/dev/null; then
        echo "make-demo-songs: $tool is missing; no demo songs made" >&2
        exit 0
    fi
done
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

rate=44100
raw=(-r "$rate" -c 1 -b 16)
export SOX_OPTS="-V1" # errors only; levels are set by the final normalisation

# One step is an eighth note: 60 / bpm / 2 seconds, a whole number of samples at 44.1 kHz for
# the tempos used here, so the bars line up exactly.
note() { # note NAME -> frequency in Hz of one of the few notes the songs use
    case "$1" in
        E1) echo 41.20 ;; G1) echo 49.00 ;; A1) echo 55.00 ;; C2) echo 65.41 ;; D2) echo 73.42 ;;
        E2) echo 82.41 ;; G2) echo 98.00 ;; A2) echo 110.0 ;;
        C4) echo 261.6 ;; D4) echo 293.7 ;; E4) echo 329.6 ;; G4) echo 392.0 ;; A4) echo 440.0 ;;
        C5) echo 523.3 ;; *) echo "unknown note $1" >&2; return 1 ;;
    esac
}


make_song() {
    local file="$1" title="$2" bpm="$3" bars="$4"
    local -n kick_a="$5" snare_a="$6" hat_a="$7" bass_a="$8" lead_a="$9"
    local d="$work/$bpm"
    mkdir -p "$d"
    local step=$(( rate * 30 / bpm ))

    sox -r "$rate" -c 1 -n "${raw[@]}" "$d/k0.wav" synth 0.22 sine 150/42 fade q 0.002 0.22 0.18 gain -6
    sox -r "$rate" -c 1 -n "${raw[@]}" "$d/sn.wav" synth 0.16 noise gain -6 highpass 1200 fade q 0.001 0.16 0.15
    sox -r "$rate" -c 1 -n "${raw[@]}" "$d/st.wav" synth 0.10 sine 185 fade q 0.001 0.10 0.09
    sox -m "$d/sn.wav" "$d/st.wav" "$d/s0.wav"
    sox -r "$rate" -c 1 -n "${raw[@]}" "$d/h0.wav" synth 0.05 noise gain -15 highpass 7000 fade q 0.001 0.05 0.045
    sox -r "$rate" -c 1 -n "${raw[@]}" "$d/rest.wav" trim 0 "${step}s"
    local hit
    for hit in k s h; do # each hit laid over one step of silence, cut to exactly one step
        sox -m -v 1 "$d/rest.wav" -v 1 "$d/${hit}0.wav" "$d/$hit.wav" trim 0 "${step}s"
    done

    local name freq
    for name in "${bass_a[@]}" "${lead_a[@]}"; do
        for name in $name; do
            [[ $name == . || -e "$d/n$name.wav" ]] && continue
            freq="$(note "$name")"
            if [[ $name == ?1 || $name == ?2 ]]; then
                sox -r "$rate" -c 1 -n "${raw[@]}" "$d/n$name.wav" synth "${step}s" sawtooth "$freq" \
                    gain -10 lowpass 500 fade q 0.004 "${step}s" 0.03
            else
                sox -r "$rate" -c 1 -n "${raw[@]}" "$d/n$name.wav" synth "${step}s" pluck "$freq" \
                    gain -12 fade q 0.002 "${step}s" 0.05
            fi
        done
    done

    # track PATTERN SOUND OUT: "x" plays SOUND on that step, "." rests.
    track() {
        local pattern="$1" sound="$2" target="$3" parts=() i
        for (( i = 0; i < ${#pattern}; i++ )); do
            if [[ ${pattern:i:1} == x ]]; then parts+=("$sound"); else parts+=("$d/rest.wav"); fi
        done
        sox "${parts[@]}" "$target"
    }
    melody() { # melody "A1 . C2 ..." OUT
        local parts=() name
        for name in $1; do
            if [[ $name == . ]]; then parts+=("$d/rest.wav"); else parts+=("$d/n$name.wav"); fi
        done
        sox "${parts[@]}" "$2"
    }

    local bar variants=${#kick_a[@]} barfiles=()
    for (( bar = 0; bar < variants; bar++ )); do
        track "${kick_a[bar]}" "$d/k.wav" "$d/bk$bar.wav"
        track "${snare_a[bar]}" "$d/s.wav" "$d/bs$bar.wav"
        track "${hat_a[bar]}" "$d/h.wav" "$d/bh$bar.wav"
        melody "${bass_a[bar]}" "$d/bb$bar.wav"
        melody "${lead_a[bar]}" "$d/bl$bar.wav"
        sox -m -v 0.5 "$d/bk$bar.wav" -v 0.5 "$d/bs$bar.wav" -v 0.5 "$d/bh$bar.wav" \
            -v 0.5 "$d/bb$bar.wav" -v 0.5 "$d/bl$bar.wav" "$d/bar$bar.wav"
    done
    for (( bar = 0; bar < bars; bar++ )); do
        barfiles+=("$d/bar$(( bar % variants )).wav")
    done
    sox "${barfiles[@]}" "$d/song.wav" gain -n -1 fade q 0.01 -0 1.5 channels 2
    lame --quiet --noreplaygain -b 192 --tt "$title" --ta "PockoMP3 demo" \
        "$d/song.wav" "$d/song.mp3"
    mv -f "$d/song.mp3" "$out/$file"
}

# Slow groove, 90 BPM, 16 bars (about 43 s).
k1=("x..x.x.." "x..x..x.") s1=("..x...x." "..x...xx") h1=("xxxxxxxx" "xxxxxxxx")
b1=("A1 . . C2 . E1 . G1" "A1 . . C2 . D2 . E2") l1=("A4 . C5 . . . E4 ." ". . G4 . A4 . . .")
make_song "Demo 1 - Slow Groove.mp3" "Slow Groove" 90 16 k1 s1 h1 b1 l1

# Steady beat, 120 BPM, 20 bars (40 s).
k2=("x...x..." "x...x.x.") s2=("..x...x." "..x...x.") h2=(".x.x.x.x" "xxxxxxxx")
b2=("E1 E2 E1 E2 G1 G2 A1 A2" "E1 E2 E1 E2 D2 D2 C2 C2") l2=("E4 . G4 . . . . ." "D4 . C4 . . . . .")
make_song "Demo 2 - Steady Beat.mp3" "Steady Beat" 120 20 k2 s2 h2 b2 l2

# Fast break, 140 BPM, 24 bars (about 41 s).
k3=("x.x...x." "x....xx.") s3=("..x..x.x" "..x...x.") h3=("xxxxxxxx" "x.xxx.xx")
b3=("G1 . G1 G2 . C2 . D2" "G1 . G1 G2 . A1 . E1") l3=(". G4 . A4 . C5 . ." ". E4 . D4 . C4 . .")
make_song "Demo 3 - Fast Break.mp3" "Fast Break" 140 24 k3 s3 h3 b3 l3
