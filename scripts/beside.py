#!/usr/bin/env python3
"""The deck's holes beside pw-play's, in the same minute on the same private PipeWire.

    beside.py EXECUTABLE [--seconds 60] [--busy 2] [--keep] [--env NAME=VALUE ...]

The end-to-end harness (tests/e2e) starts a private X server and PipeWire stack with the null sink
"deck"; a second null sink "other" gets a recorder of its own. The deck plays a steady 440 Hz tone
on "deck" while pw-play (at 256 frames, its cycle beside the deck's) plays the same tone on
"other", with `--busy` busy loops on the processors. A hole in either recording is a dropout of
that player (or of the graph under both: compare the times). Prints both counts and the holes'
times; exits 0, or 77 when the tools are missing."""

import importlib.util
import os
import sys

if importlib.util.find_spec("pyatspi") is None and os.path.exists("/usr/bin/python3") \
        and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
    os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

import argparse  # noqa: E402
import shutil  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402

import desktop as desk  # noqa: E402
import program as prog  # noqa: E402
import songs  # noqa: E402
import sound  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("executable")
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--busy", type=int, default=2)
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--env", action="append", default=[], help="for the deck: NAME=VALUE")
    args = parser.parse_args()
    if desk.missing_tools("pipewire") or not shutil.which("pw-play"):
        return 77
    seconds = args.seconds
    desktop = desk.Desktop(args.keep, server="pipewire")
    busy = []
    try:
        desktop.start()
        a11y = prog.Accessibility(desktop.env)
        folder = os.path.join(desktop.dir, "beside")
        os.makedirs(folder)
        songs.tone(folder, "a440", 440, seconds + 10)
        wav = os.path.join(desktop.dir, "other.wav")
        subprocess.run(["sox", "-q", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth",
                        f"{seconds + 10:g}", "sine", "440", "vol", "0.35"], check=True)
        other = desktop.add_sink("other", "Other")
        deck = prog.Program(desktop, a11y, os.path.abspath(args.executable), folder,
                            env=dict(e.split("=", 1) for e in args.env))
        deck.pick("a440.mp3")
        env = dict(desktop.env, PIPEWIRE_REMOTE=os.path.join(desktop.env["XDG_RUNTIME_DIR"],
                                                             "pipewire-0"))
        desktop.spawn(["pw-play", "--target", "other", "--latency", "256/48000", wav],
                      "pw-play.log", env=env)
        time.sleep(1.0)
        busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(args.busy)]
        start, other_start = desktop.now(), other.now()
        time.sleep(seconds)
        for name, recording, begin in (("deck", None, start), ("pw-play", other, other_start)):
            samples = (recording.samples(begin, begin + seconds) if recording
                       else desktop.samples(begin, begin + seconds))
            found = sound.holes(samples)
            print(f"{name}: {len(found)} holes in {seconds:g} s"
                  + "".join(f"\n  at {a:.3f} s, {n * 1000:.1f} ms" for a, n in found), flush=True)
        deck.kill()
    finally:
        for proc in busy:
            proc.kill()
        desktop.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
