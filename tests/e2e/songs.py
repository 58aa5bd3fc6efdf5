"""Test songs made with sox and lame: steady tones that tell which song plays, and a rising sweep
whose pitch tells where in the song the sound came from."""

import os
import subprocess

from sound import SWEEP


def tone(folder, name, frequency, seconds):
    return make(folder, name, seconds, "sine", str(frequency))


def sweep(folder, name):
    return make(folder, name, SWEEP[2], "sine", f"{SWEEP[0]:g}:{SWEEP[1]:g}")


def make(folder, name, seconds, *synth):
    wav, mp3 = (os.path.join(folder, name + ext) for ext in (".wav", ".mp3"))
    subprocess.run(["sox", "-q", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth",
                    f"{seconds:g}", *synth, "vol", "0.35"], check=True)
    subprocess.run(["lame", "--quiet", "-b", "192", wav, mp3], check=True)
    os.remove(wav)
    return mp3
