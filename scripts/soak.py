#!/usr/bin/env python3
"""Soak run of PockoMP3Player: loop play with cue plays and half speed for a long time through a
private PulseAudio or PipeWire, watching the program's memory, its underruns and the recorded sound.

    soak.py EXECUTABLE [--minutes 30] [--restart-every 5] [--pulse-latency-ms MS]
                       [--realtime-server] [--server pulseaudio|pipewire] [--keep]

The run reuses the end-to-end harness (tests/e2e): a private X server, session bus and sound server
with a null sink whose monitor is recorded. It starts the program in a temporary folder with one
song of 2.5 minutes (a steady 440 Hz tone, so any hole in it is a dropout), loads it, switches loop
on, marks M1-M3 at 20, 60 and 120 s, and then, until the time is up, keeps pressing P1/P2/P3 with
Pause and Resume after each burst, now and then half speed on or off, and every fifth round lets the song
play past its end so that the loop restarts it. Every 10 s it samples VmRSS of the program. Every
few minutes it kills the sound server (PipeWire: the whole stack) under the playing deck, starts it
again and times how long the deck takes to sound again. At the end it closes the deck (the farewell, then the exit), which
prints the player's underrun count and the device buffer it ended on; the program's own lines tell
when it stepped its buffer up.

Prints a summary and exits 0 when the underruns are 0, RSS stayed flat (end within 2 MB of the
first sample after the set-up), the deck sounded again within 1 s after every restart and no
dropout was heard after the buffer's last step; 1 otherwise; 77 when the
tools are missing."""

import importlib.util
import os
import sys

# AT-SPI's Python bindings come with the system's Python; another python3 first in PATH hands over.
if importlib.util.find_spec("pyatspi") is None and os.path.exists("/usr/bin/python3") \
        and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
    os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import argparse  # noqa: E402
import random  # noqa: E402
import re  # noqa: E402
import signal  # noqa: E402
import time  # noqa: E402

import desktop as desk  # noqa: E402
import program as prog  # noqa: E402
import songs  # noqa: E402
import sound  # noqa: E402

SKIP = 77
SONG_SECONDS = 150
MARKS = (20.0, 60.0, 120.0)  # song seconds of M1, M2, M3
BURSTS = (0.5, 0.75, 1.0)  # the slots' burst lengths in heard seconds at normal speed
RSS_EVERY = 10.0
RSS_FLAT_KB = 2048
SETTLE = 0.1  # after a Resume or a speed change (its click answered), before the sound counts as steady
MARGIN = 0.1  # before the next action
RECOVERY_LIMIT = 1.0  # seconds from the sound server's return to the deck's sound
STEP = re.compile(r"its buffer goes from (\d+) to (\d+) frames")
RAN_OUT = "the player ran out of decoded sound"
CYCLE_LOST = "the sound server played a cycle without the deck"


def track_bar_twips(seconds):
    """Where on the track bar (twips from its left) a click jumps to this song time: the marker
    lands 360 twips right of the click, and the bar's 4200 twips are the whole song."""
    return 4200.0 * seconds / SONG_SECONDS - 360.0


def rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


class Soak:
    def __init__(self, desktop, p, seconds, restart_every):
        self.desktop = desktop
        self.restart_every = restart_every
        self.recoveries = []  # (seconds since the soak began, seconds to sound again or None)
        self.log = os.path.join(desktop.dir, f"program-{os.path.basename(p.folder)}.log")
        self.steps = []  # recording times by which the program had stepped its buffer up
        self.p = p
        self.seconds = seconds
        self.rss = []  # (seconds since the soak began, kB)
        self.holes = []  # (recording time, length)
        self.ran_out = []  # recording times by which the player's underruns were seen
        self.cycles_lost = []  # the same for PipeWire's cycles that played without the deck
        self.steady = 0.0  # seconds of sound checked for holes
        self.hiccups = []  # driver steps that timed out, with what was read
        self.counts = {"P1": 0, "P2": 0, "P3": 0, "half speed on": 0, "half speed off": 0,
                       "loop restarts (expected)": 0}
        self.began = None
        self.next_rss = 0.0
        self.half = False

    # --- steps ------------------------------------------------------------------------------

    def wait_caption(self, name, caption, timeout=5):
        try:
            self.p.wait_deck(name, caption=caption, timeout=timeout)
            return True
        except AssertionError as error:
            self.hiccups.append(str(error))
            print(f"    hiccup: {error}", flush=True)
            return False

    def sample_rss(self, force=False):
        elapsed = time.monotonic() - self.began
        if force or elapsed >= self.next_rss:
            kb = rss_kb(self.p.pid)
            if kb is not None:
                self.rss.append((elapsed, kb))
            self.next_rss = elapsed + RSS_EVERY

    def note_steps(self):
        with open(self.log, errors="replace") as f:
            text = f.read()
        count = len(STEP.findall(text))
        for _ in range(len(self.ran_out), text.count(RAN_OUT)):
            self.ran_out.append(self.desktop.now())
            print(f"    the player ran out of decoded sound by recording time "
                  f"{self.ran_out[-1]:.1f} s", flush=True)
        for _ in range(len(self.cycles_lost), text.count(CYCLE_LOST)):
            self.cycles_lost.append(self.desktop.now())
            print(f"    the program saw the server play a cycle without it by recording time "
                  f"{self.cycles_lost[-1]:.1f} s", flush=True)
        while len(self.steps) < count:
            self.steps.append(self.desktop.now())
            print(f"    the program stepped its buffer up by recording time {self.steps[-1]:.1f} s",
                  flush=True)

    def play_steady(self, seconds):
        """Lets the song play on for a while, then checks that stretch for silent holes."""
        start = self.desktop.now() + SETTLE
        end = self.desktop.now() + seconds - MARGIN
        while self.desktop.now() < end:
            self.sample_rss()
            time.sleep(0.05)
        if end - start < 0.2:
            return
        self.note_steps()
        samples = self.desktop.samples(start, end)
        self.steady += end - start
        for at, length in sound.holes(samples):
            self.holes.append((start + at, length))
            print(f"    DROPOUT: {length * 1000:.0f} ms of silence at recording time "
                  f"{start + at:.3f} s, {at + SETTLE:.2f} s after the last command", flush=True)
        if sound.loud_fraction(samples) < 0.5:
            self.hiccups.append(f"no steady sound at {start:.1f}-{end:.1f} s")
            print(f"    hiccup: no steady sound at recording {start:.1f}-{end:.1f} s", flush=True)
            # The deck is not playing (a lost click): start it again.
            self.p.deck_click("P")

    def cue(self, slot):
        """Px: a burst from its mark, after which the deck stands paused under a button that
        still reads Pause; Pause, then Resume, plays on from the whole second it stands at."""
        self.p.deck_click(f"P11{slot}")
        self.counts[f"P{slot}"] += 1
        # The deck holds its thread while the burst sounds (heard time, the same at half speed);
        # a click meanwhile waits in its queue.
        time.sleep(BURSTS[slot - 1] / 2 + 0.2)
        self.p.deck_click("R")
        if self.wait_caption("R", "Resume"):
            self.p.deck_click("R")
            self.wait_caption("R", "Pause")

    def toggle_half(self):
        self.p.deck_click("thspd")
        self.half = not self.half
        self.wait_caption("thspd", "H" if self.half else "")
        self.counts["half speed on" if self.half else "half speed off"] += 1

    def restart_sound(self):
        """Kills the sound server under the playing deck and starts it again; times the return."""
        self.desktop.kill_sound_server()
        time.sleep(1.0)
        back = self.desktop.start_sound_server()
        end = back + 5.0
        heard = None
        while heard is None and self.desktop.now() < end:
            time.sleep(0.1)
            samples = self.desktop.samples(back, self.desktop.now())
            first = next((i for i, v in enumerate(samples) if abs(v) > 300), None)
            heard = None if first is None else first / desk.RATE
        self.recoveries.append((time.monotonic() - self.began, heard))
        print("    sound server restarted: " + (f"sound again after {heard * 1000:.0f} ms"
                                                 if heard is not None else "NO SOUND in 5 s"),
              flush=True)

    # --- the run ----------------------------------------------------------------------------

    def set_up(self):
        p = self.p
        p.pick("soak.mp3")
        prog.wait_for(lambda: p.deck_title() == "soak.mp3", 10, 0.1, "deck title soak.mp3")
        p.deck_click("tloop")
        p.wait_deck("tloop", caption="L")
        for slot, mark in enumerate(MARKS, start=1):
            p.track_bar(track_bar_twips(mark))
            time.sleep(0.6)
            p.deck_click(f"M11{slot}")
            tip = p.wait_deck(f"M11{slot}", tooltip=re.compile(r"\d+(\.\d+)?"))[1]
            print(f"    M{slot} at {tip} s", flush=True)
        p.wait_deck("R", caption="Pause")

    def run(self):
        self.began = time.monotonic()
        self.sample_rss(force=True)
        rounds = 0
        rng = random.Random(1)
        next_report = 60.0
        next_restart = self.restart_every
        while time.monotonic() - self.began < self.seconds:
            if self.restart_every and time.monotonic() - self.began >= next_restart:
                next_restart += self.restart_every
                self.restart_sound()
            rounds += 1
            if time.monotonic() - self.began >= next_report:
                next_report += 60.0
                print(f"    {time.monotonic() - self.began:6.0f} s: round {rounds}, "
                      f"RSS {self.rss[-1][1] / 1024:.1f} MB, {len(self.holes)} dropout(s)",
                      flush=True)
            if rounds % 5 == 0:
                # From M3 at full speed, on past the song's end: the loop starts it again.
                if self.half:
                    self.toggle_half()
                self.cue(3)
                self.play_steady(SONG_SECONDS - MARKS[2] + 4)
                self.counts["loop restarts (expected)"] += 1
                continue
            if rounds % 4 == 0:
                self.toggle_half()
            self.cue(rng.randint(1, 3))
            self.play_steady(rng.uniform(3.0, 6.0))
            if time.monotonic() - self.began >= self.seconds:
                break
        self.sample_rss(force=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("executable")
    parser.add_argument("--minutes", type=float, default=30.0)
    parser.add_argument("--restart-every", type=float, default=5.0,
                        help="minutes between restarts of the sound server (0: none)")
    parser.add_argument("--pulse-latency-ms", type=int, default=0,
                        help="give the program's sound stream this much buffer (PULSE_LATENCY_MSEC)"
                             " instead of what it asks for")
    parser.add_argument("--realtime-server", action="store_true",
                        help="run the sound server at real-time priority, as a desktop's runs")
    parser.add_argument("--server", choices=desk.SERVERS, default="pulseaudio",
                        help="the private sound server (pipewire: with pipewire-pulse; it runs its"
                             " graph at real-time priority itself)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()
    if args.realtime_server and args.server != "pulseaudio":
        parser.error("--realtime-server is for PulseAudio")

    missing = desk.missing_tools(args.server)
    if missing or importlib.util.find_spec("pyatspi") is None:
        print("SKIP: not installed: " + " ".join(missing or ["python3-pyatspi"]))
        return SKIP

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    desktop = desk.Desktop(keep=args.keep, realtime_server=args.realtime_server,
                           server=args.server)
    print(f"soak: temporary folder {desktop.dir}, {args.minutes:g} minutes, sound server "
          f"{args.server}", flush=True)
    underruns = None
    report = []
    steps = []
    soak = None
    exit_code = None
    try:
        desktop.start()
        desktop.env["POCKO_REPORT_UNDERRUNS"] = "1"
        if args.pulse_latency_ms:
            # libpulse's own override of the buffer the program's stream asks for.
            desktop.env["PULSE_LATENCY_MSEC"] = str(args.pulse_latency_ms)
        folder = os.path.join(desktop.dir, "music")
        os.makedirs(folder)
        songs.tone(folder, "soak", 440, SONG_SECONDS)
        p = prog.Program(desktop, prog.Accessibility(desktop.env),
                         os.path.abspath(args.executable), folder)
        try:
            soak = Soak(desktop, p, args.minutes * 60, args.restart_every * 60)
            soak.set_up()
            soak.run()
            desktop.close_window(p.deck)
            box, _ = p.message(prog.FAREWELL_TITLE)
            p.dismiss(box)
            exit_code = p.wait_exit(15)
            log = os.path.join(desktop.dir, f"program-{os.path.basename(folder)}.log")
            with open(log, errors="replace") as f:
                text = f.read()
            found = re.findall(r"underruns: (\d+)", text)
            underruns = int(found[-1]) if found else None
            report = re.findall(r"underruns: .*", text)
            steps = [f"{a} -> {b} frames" for a, b in STEP.findall(text)]
        finally:
            p.kill()
    except desk.SetupError as error:
        print(f"FAIL set-up: {error}")
        return 1
    finally:
        desktop.stop()

    if soak is None or len(soak.rss) < 2:
        print("FAIL: the soak did not get going")
        return 1
    first, last = soak.rss[0][1], soak.rss[-1][1]
    peak = max(kb for _, kb in soak.rss)
    print(f"soak: {soak.rss[-1][0] / 60:.1f} minutes, exit code {exit_code}")
    print("  actions: " + ", ".join(f"{k} {v}" for k, v in soak.counts.items()))
    print(f"  RSS: start {first / 1024:.1f} MB, end {last / 1024:.1f} MB, peak {peak / 1024:.1f} MB"
          f" ({len(soak.rss)} samples, every {RSS_EVERY:g} s)")
    print("  RSS samples (minute: MB): " + ", ".join(
        f"{t / 60:.0f}: {kb / 1024:.1f}" for t, kb in soak.rss[::max(1, len(soak.rss) // 12)]))
    print(f"  player: {report[-1] if report else 'not reported'}")
    # Holes before a step are what the steps are for; none may follow the last one.
    settled = [h for h in soak.holes if not soak.steps or h[0] > soak.steps[-1]]
    print(f"  buffer steps: {len(steps)}" + "".join(
        f"; {step} by recording time {t:.0f} s" for step, t in zip(steps, soak.steps)))
    print(f"  dropouts after the last step: {len(settled)}")
    recovered = [t for _, t in soak.recoveries if t is not None]
    print(f"  sound server restarts: {len(soak.recoveries)}, recovered {len(recovered)}" + (
        f"; sound again after (ms): " + ", ".join(f"{t * 1000:.0f}" for t in recovered)
        if recovered else ""))
    print(f"  dropouts: {len(soak.holes)} silent hole(s) in {soak.steady / 60:.1f} minutes of "
          f"steady sound checked" + (
              f", {sum(h for _, h in soak.holes) * 1000:.0f} ms in all, longest "
              f"{max(h for _, h in soak.holes) * 1000:.0f} ms" if soak.holes else ""))
    print(f"  driver hiccups: {len(soak.hiccups)}")
    print(f"  cycles the server played without the deck, as the deck saw them: "
          f"{len(soak.cycles_lost)}")
    ok = underruns == 0 and abs(last - first) <= RSS_FLAT_KB and not settled \
        and exit_code == 0 and all(t is not None and t <= RECOVERY_LIMIT
                                   for _, t in soak.recoveries)
    print("soak: " + ("PASS" if ok else "FAIL"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
