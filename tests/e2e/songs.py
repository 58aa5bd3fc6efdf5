"""Test songs made at test time with sox and lame: steady tones that tell from the recording which
song plays, and a rising sweep whose pitch tells where in the song the sound came from. Used by
the test's main thread only."""

import os
import subprocess

from sound import Sweep

AMPLITUDE = 0.35
SWEEP = Sweep(300.0, 1500.0, 12.0)


def tone(folder, name, frequency, seconds):
    return _make(folder, name, seconds, ["sine", str(frequency)])


def sweep(folder, name):
    return _make(folder, name, SWEEP.seconds, ["sine", f"{SWEEP.low:g}:{SWEEP.high:g}"])


def _make(folder, name, seconds, synth):
    wav = os.path.join(folder, name + ".wav")
    mp3 = os.path.join(folder, name + ".mp3")
    subprocess.run(["sox", "-q", "-n", "-r", "44100", "-c", "2", "-b", "16", wav,
                    "synth", f"{seconds:g}", *synth, "vol", f"{AMPLITUDE:g}"], check=True)
    subprocess.run(["lame", "--quiet", "-b", "192", wav, mp3], check=True)
    os.remove(wav)
    return mp3
