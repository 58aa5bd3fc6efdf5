#!/usr/bin/env python3
"""End-to-end run of PockoMP3Player as a user meets it: a real X server, a real sound server whose
output is recorded, clicks at the controls and reading of what the windows show.

    run_e2e.py EXECUTABLE [--only deck|outage|playall|spacehold|args ...] [--keep]

Exit code 0 when every scenario passes, 1 when one fails, 77 (skipped) when the X server or the
sound server is not installed. Prints what it measured (pitches, burst lengths and gaps)."""

import importlib.util
import os
import sys

# AT-SPI's Python bindings come with the system's Python; another python3 first in PATH hands over.
if importlib.util.find_spec("pyatspi") is None and os.path.exists("/usr/bin/python3") \
        and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
    os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import argparse  # noqa: E402
import copy  # noqa: E402
import re  # noqa: E402
import signal  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402
import traceback  # noqa: E402

import desktop as desk  # noqa: E402
import program as prog  # noqa: E402
import songs  # noqa: E402
import sound  # noqa: E402
from program import (APP_TITLE, DIALOG_LAYOUT, DIALOG_TITLE, FAREWELL_TITLE,  # noqa: E402
                     PLAYLIST_LAYOUT, PLAYLIST_TITLE, Program)

SKIP = 77
PITCH_TOLERANCE = 0.10
BURST_TOLERANCE = 0.030


class Run:
    """The scenarios of one run, sharing one desktop; each failure is recorded, not fatal."""

    def __init__(self, desktop, a11y, exe):
        self.desktop = desktop
        self.a11y = a11y
        self.exe = exe
        self.failures = []
        self.passed = []
        self.holes = []  # (what, recording time, length) of silent holes in steady sound

    def scenario(self, name, body, *args):
        started = time.monotonic()
        print(f"--- {name}", flush=True)
        try:
            body(*args)
        except Exception as error:  # an assertion, a time-out or a broken driver step
            self.failures.append(name)
            print(f"FAIL {name}: {error}", flush=True)
            if not isinstance(error, (AssertionError, TimeoutError)):
                traceback.print_exc()
            return False
        self.passed.append(name)
        print(f"ok   {name} ({time.monotonic() - started:.1f} s)", flush=True)
        return True

    # --- listening ---------------------------------------------------------------------------

    def listen(self, seconds, settle=0.25):
        """Samples of the next `seconds` of sound, after letting `settle` seconds pass."""
        if settle:
            self.desktop.record_until(settle)
        start, end = self.desktop.record_until(seconds)
        return self.desktop.samples(start, end)

    def note_holes(self, samples, start, what):
        """Reports holes in sound that should be steady; the player's declick ramps frame them."""
        found = sound.holes(samples)
        for at, length in found:
            self.holes.append((what, start + at, length))
            print(f"    WARNING {what}: silent hole of {length * 1000:.0f} ms at recording "
                  f"time {start + at:.3f} s", flush=True)
        return found

    def note_stretch_holes(self, samples, start, stretches, what):
        """Holes inside stretches of continuous play; a stretch's own edges do not count."""
        for a, b, _, _ in stretches:
            first, last = int((a + 0.01) * sound.RATE), int((b - 0.01) * sound.RATE)
            if last > first:
                self.note_holes(samples[first:last], start + a + 0.01, what)

    def expect_pitch(self, expected, what, seconds=0.6, settle=0.25):
        start = self.desktop.now() + settle
        samples = self.listen(seconds, settle)
        self.note_holes(samples, start, what)
        heard = sound.pitch(samples)
        print(f"    {what}: pitch {heard:.1f} Hz (expected {expected:g} Hz)", flush=True)
        assert abs(heard - expected) <= expected * PITCH_TOLERANCE, \
            f"{what}: heard {heard:.1f} Hz, expected {expected:g} Hz"

    def expect_silence(self, what, seconds=0.6, settle=0.3):
        samples = self.listen(seconds, settle)
        loud = sound.loud_fraction(samples)
        print(f"    {what}: {loud * 100:.0f} % of 10 ms windows loud", flush=True)
        assert loud <= 0.05, f"{what}: sound in {loud * 100:.0f} % of the time, expected silence"

    def expect_sound(self, what, seconds=0.6, settle=0.25):
        start = self.desktop.now() + settle
        samples = self.listen(seconds, settle)
        self.note_holes(samples, start, what)
        loud = sound.loud_fraction(samples)
        print(f"    {what}: {loud * 100:.0f} % of 10 ms windows loud", flush=True)
        assert loud >= 0.9, f"{what}: sound in only {loud * 100:.0f} % of the time"


def eq(actual, expected, what):
    assert actual == expected, f"{what}: got {actual!r}, expected {expected!r}"


def near(actual, expected, tolerance, what):
    assert abs(actual - expected) <= tolerance, \
        f"{what}: got {actual:.3f}, expected {expected:.3f} +- {tolerance:.3f}"


# --- the deck run: one song at a time, through the deck's own controls -------------------------

def deck_run(run):
    folder = os.path.join(run.desktop.dir, "deck")
    os.makedirs(folder)
    for name, frequency in (("a440", 440), ("b660", 660), ("c880", 880)):
        songs.tone(folder, name, frequency, 20)
    songs.sweep(folder, "d_sweep")
    p = Program(run.desktop, run.a11y, run.exe, folder)
    try:
        steps = [
            ("start: the deck window and its controls", start_shows_deck),
            ("Play without a song: the message, Pause/Resume stays hidden", play_without_song),
            ("FILE, pick a song: its tone is heard", pick_plays_song),
            ("Pause gives silence, Resume gives sound", pause_resume),
            ("half speed halves the pitch", half_speed),
            ("Stop gives silence", stop_silences),
            ("track bar jump plays from the clicked time", track_bar_jump),
            ("M1 takes the heard position", mark_takes_position),
            ("dialog by right click shows the slot and writes it back", dialog_edit),
            ("P1 with repeats 3 plays three bursts back to back", cue_bursts),
            ("dialog with a start beyond the song changes nothing", dialog_abandon),
            ("segment play replays M1 to M2", segment_replay),
            ("loop play restarts the song near its end", loop_restart),
            ("space bar stops, then plays from the beginning", space_bar),
            ("LT opens a second deck, minimised", second_deck),
        ]
        for name, body in steps:
            if p.proc.poll() is not None:
                run.failures.append(name)
                print(f"FAIL {name}: the program is gone (exit code {p.proc.returncode})")
                continue
            run.scenario(name, body, run, p)
        run.scenario("closing shows the farewell and ends the process", farewell, run, p)
    finally:
        p.kill()


def start_shows_deck(run, p):
    eq(p.deck_title(), prog.DECK_TITLE, "deck title")
    eq(p.wait_deck("F")[:2], ("FILE", "Load MP3"), "FILE caption and tooltip")
    eq(p.wait_deck("M111")[:2], ("M1", "0.0"), "M1 caption and start position")
    eq(p.wait_deck("tsegs")[0], "Off", "segment switch")
    p.wait_deck("R", showing=False)  # Pause/Resume is hidden until a song plays
    run.expect_silence("before any song", seconds=0.4, settle=0)


def play_without_song(run, p):
    p.deck_click("P")
    box, text = p.message("Mp3 File name not entered.", timeout=5)
    eq(text, "No file specified.", "Play without a song")
    p.dismiss(box)
    p.wait_gone("Mp3 File name not entered.")
    p.wait_deck("R", showing=False)


def pick_plays_song(run, p):
    listed = p.pick("c880.mp3")
    eq(listed, ["a440.mp3", "b660.mp3", "c880.mp3", "d_sweep.mp3"], "playlist entries")
    p.wait_gone(PLAYLIST_TITLE)
    prog.wait_for(lambda: p.deck_title() == "c880.mp3", 5, 0.1, "deck title c880.mp3")
    p.wait_deck("R", caption="Pause")
    run.expect_pitch(880, "after the pick")


def pause_resume(run, p):
    p.deck_click("R")
    p.wait_deck("R", caption="Resume")
    run.expect_silence("paused")
    p.deck_click("R")
    p.wait_deck("R", caption="Pause")
    run.expect_pitch(880, "resumed")


def half_speed(run, p):
    p.deck_click("thspd")
    p.wait_deck("thspd", caption="H")
    run.expect_pitch(440, "half speed of the 880 Hz song", settle=0.4)
    p.deck_click("thspd")
    p.wait_deck("thspd", caption="")
    run.expect_pitch(880, "normal speed again", settle=0.4)


def stop_silences(run, p):
    p.deck_click("S")
    p.wait_deck("R", showing=False)
    run.expect_silence("stopped")


def sweep_stretches(samples):
    return songs.SWEEP.stretches(samples)


def describe(stretches):
    return ", ".join(f"[{a:.3f}-{b:.3f} s heard = song {c:.2f}-{d:.2f} s]"
                     for a, b, c, d in stretches)


def track_bar_jump(run, p):
    p.pick("d_sweep.mp3")
    prog.wait_for(lambda: p.deck_title() == "d_sweep.mp3", 5, 0.1, "deck title d_sweep.mp3")
    p.wait_deck("Label1", caption=" From")
    run.listen(0.3, settle=0.3)
    # x = 2100 twips: the marker goes to 2460, and 2460 / 4200 of a 12 s song is 7 s.
    start = run.desktop.now()
    p.track_bar(2100)
    p.wait_deck("Label1", caption=re.compile(r"0:[78]"))
    end = start + 1.2
    run.desktop.record_until(max(0.0, end - run.desktop.now()))
    stretches = sweep_stretches(run.desktop.samples(start, end))
    print(f"    after the click: {describe(stretches)}")
    assert stretches, "no sound after the track-bar click"
    near(stretches[-1][2], 7.0, 0.15, "song time where play restarted")
    p.wait_deck("T", caption=re.compile(r"0:(7|8|9)"), timeout=3)


def mark_takes_position(run, p):
    click_at = run.desktop.now()
    p.deck_click("M111")
    tooltip = p.wait_deck("M111", tooltip=re.compile(r"\d+(\.\d+)?"))[1]
    if tooltip == "0.0":
        raise AssertionError("M1 kept its start 0.0")
    mark = float(tooltip)
    run.desktop.record_until(0.2)
    stretches = sweep_stretches(run.desktop.samples(click_at - 0.4, click_at + 0.2))
    assert stretches, "no sound around the mark click"
    a, b, c, _ = stretches[-1]
    heard = c + (0.4 - a)  # song time heard at the click's moment on the recording
    print(f"    M1 start {mark:.3f} s, song heard at the click {heard:.3f} s")
    near(mark, heard, 0.35, "M1 start against the song heard at the click")
    p.deck_click("R")  # pause, so that the bursts stand alone in the recording
    p.wait_deck("R", caption="Resume")
    run.expect_silence("paused after M1", seconds=0.3, settle=0.2)
    run.mark = tooltip


def open_dialog(p, slot):
    p.deck_click(f"P11{slot}", button=3)
    window = p.wait_window(DIALOG_TITLE)
    p.wait_deck(f"P11{slot}", showing=False)
    return window


def dialog_fields(p):
    controls = prog.wait_for(lambda: p.a11y.controls(p.pid, DIALOG_TITLE, DIALOG_LAYOUT), 5,
                             0.2, "the dialog's fields")
    return {name: p.a11y.text(node) for name, node in controls.items()}


def set_field(run, p, window, name, text):
    p.click(window, DIALOG_LAYOUT, name)
    run.desktop.press(window, "ctrl+a", "BackSpace")
    run.desktop.type_text(window, text)


def close_dialog(run, p, window):
    run.desktop.close_window(window)
    p.wait_gone(DIALOG_TITLE)


def dialog_edit(run, p):
    window = open_dialog(p, 1)
    fields = dialog_fields(p)
    print(f"    fields of slot 1: {fields}")
    eq(fields, {"Text1": "1", "Text2": "500", "Text3": getattr(run, "mark", "0.0")},
       "dialog fields")
    set_field(run, p, window, "Text1", "3")
    set_field(run, p, window, "Text3", "3.5")
    eq(dialog_fields(p), {"Text1": "3", "Text2": "500", "Text3": "3.5"}, "typed fields")
    close_dialog(run, p, window)
    p.wait_deck("P111", caption="P1")
    p.wait_deck("M111", caption="M1", tooltip="3.5")


def cue_bursts(run, p):
    start = run.desktop.now()
    p.deck_click("P111")
    run.desktop.record_until(max(0.0, start + 2.6 - run.desktop.now()))
    samples = run.desktop.samples(start, start + 2.6)
    stretches = sweep_stretches(samples)
    runs = sound.sound_runs(samples)
    print(f"    stretches: {describe(stretches)}")
    print(f"    sound runs: " + ", ".join(f"{a:.3f}-{b:.3f}" for a, b in runs))
    run.note_stretch_holes(samples, start, stretches, "inside a burst")
    eq(len(stretches), 3, "number of bursts")
    lengths = [b - a for a, b, _, _ in stretches]
    gaps = [stretches[i + 1][0] - stretches[i][1] for i in range(2)]
    silences = [b2 - a2 for (_, a2), (b2, _) in zip(runs, runs[1:])]
    print("    burst lengths: " + ", ".join(f"{x * 1000:.1f} ms" for x in lengths))
    print("    gaps between bursts: " + ", ".join(f"{x * 1000:.1f} ms" for x in gaps)
          + "; silent stretches: " + (", ".join(f"{x * 1000:.1f} ms" for x in silences)
                                      or "none"))
    for i, (a, b, c, d) in enumerate(stretches):
        near(b - a, 0.5, BURST_TOLERANCE, f"burst {i + 1} length")
        near(c, 3.5, 0.05, f"burst {i + 1} song start")
    for i, gap in enumerate(gaps):
        near(gap, 0.0, BURST_TOLERANCE, f"gap after burst {i + 1}")
    tail = run.desktop.samples(stretches[-1][1] + start + 0.1, start + 2.6)
    assert sound.loud_fraction(tail) <= 0.05, "sound after the last burst: the song is not paused"
    p.wait_deck("R", showing=True)


def dialog_abandon(run, p):
    window = open_dialog(p, 2)
    fields = dialog_fields(p)
    print(f"    fields of slot 2: {fields}")
    eq(fields, {"Text1": "1", "Text2": "750", "Text3": "0.0"}, "dialog fields of slot 2")
    set_field(run, p, window, "Text3", "99")
    close_dialog(run, p, window)
    p.wait_deck("P112", caption="P2")
    p.wait_deck("M112", caption="M2", tooltip="0.0")


def segment_replay(run, p):
    # Slot 2 starts at 7.5 s; its one cue play of 750 ms makes that the segment's end.
    window = open_dialog(p, 2)
    set_field(run, p, window, "Text3", "7.5")
    close_dialog(run, p, window)
    p.wait_deck("M112", tooltip="7.5")
    start = run.desktop.now()
    p.deck_click("P112")
    run.desktop.record_until(max(0.0, start + 1.5 - run.desktop.now()))
    stretches = sweep_stretches(run.desktop.samples(start, start + 1.5))
    print(f"    P2: {describe(stretches)}")
    eq(len(stretches), 1, "bursts of P2")
    near(stretches[0][1] - stretches[0][0], 0.75, BURST_TOLERANCE, "P2 burst length")
    near(stretches[0][2], 7.5, 0.05, "P2 song start")

    p.deck_click("tsegs")
    p.wait_deck("tsegs", caption="On")
    start = run.desktop.now()
    p.deck_click("P")
    run.desktop.record_until(max(0.0, start + 10.0 - run.desktop.now()))
    samples = run.desktop.samples(start, start + 10.0)
    stretches = sweep_stretches(samples)
    print(f"    segment play: {describe(stretches)}")
    run.note_stretch_holes(samples, start, stretches, "segment play")
    plays = [s for s in stretches if s[1] - s[0] > 1.0]
    assert len(plays) >= 2, f"segment played {len(plays)} time(s) in 10 s, expected 2 or more"
    for i, (a, b, c, d) in enumerate(plays):
        near(c, 3.5, 0.1, f"segment play {i + 1} start")
        if b < 10.0 - 0.05:  # a replay still sounding when the recording ends has no end yet
            near(d, 7.5, 0.1, f"segment play {i + 1} end")
    for a, b, c, d in stretches:
        assert 3.4 <= c and d <= 7.6, f"sound from outside the segment: song {c:.2f}-{d:.2f} s"
    p.deck_click("tsegs")
    p.wait_deck("tsegs", caption="Off")
    run.expect_silence("segment switched off")


def loop_restart(run, p):
    p.deck_click("tloop")
    p.wait_deck("tloop", caption="L")
    # x = 2790 twips: the marker goes to 3150, 3/4 of the song, 9 s; the loop restarts at 10 s on.
    start = run.desktop.now()
    p.track_bar(2790)
    run.desktop.record_until(max(0.0, start + 5.0 - run.desktop.now()))
    samples = run.desktop.samples(start, start + 5.0)
    stretches = sweep_stretches(samples)
    print(f"    loop play: {describe(stretches)}")
    run.note_stretch_holes(samples, start, stretches, "loop play")
    before = [s for s in stretches if abs(s[2] - 9.0) < 0.15]
    assert before, "play did not start at 9 s"
    after = [s for s in stretches if s[0] > before[0][1] - 0.01 and s[2] < 0.3]
    assert after, "the song did not start again from its beginning"
    near(before[0][3], 11.0, 1.05, "song time where the loop restarted")
    gap = after[0][0] - before[0][1]
    print(f"    restart after song time {before[0][3]:.2f} s, silence of {gap * 1000:.0f} ms")
    p.deck_click("tloop")
    p.wait_deck("tloop", caption="")
    p.deck_click("S")
    p.wait_deck("R", showing=False)


def space_bar(run, p):
    p.track_bar(2100)  # from 7 s
    p.wait_deck("R", caption="Pause")
    run.expect_sound("playing from 7 s", seconds=0.3)
    run.desktop.press(p.deck, "space")
    p.wait_deck("R", showing=False)
    run.expect_silence("after the first space")
    start = run.desktop.now()
    run.desktop.press(p.deck, "space")
    p.wait_deck("R", caption="Pause")
    run.desktop.record_until(max(0.0, start + 1.0 - run.desktop.now()))
    stretches = sweep_stretches(run.desktop.samples(start, start + 1.0))
    print(f"    after the second space: {describe(stretches)}")
    assert stretches, "no sound after the second space"
    near(stretches[0][2], 0.0, 0.1, "song time where the second space started play")
    p.deck_click("S")
    p.wait_deck("R", showing=False)


def second_deck(run, p):
    before = set(run.desktop.marked_pids())
    p.deck_click("L")

    def new_deck():
        for pid in set(run.desktop.marked_pids()) - before:
            try:
                if os.path.realpath(f"/proc/{pid}/exe") == os.path.realpath(p.exe):
                    return pid
            except OSError:
                pass
        return None
    pid = prog.wait_for(new_deck, 10, 0.1, "a second deck process")
    try:
        window = prog.wait_for(
            lambda: (run.desktop.windows(prog.title_pattern(prog.DECK_TITLE), pid=pid,
                                         visible=False) or [None])[0], 15, 0.2,
            "the second deck's window")
        state = run.desktop.property(window, "_NET_WM_STATE")
        hints = run.desktop.property(window, "WM_HINTS")
        print(f"    second deck pid {pid}: {state}; {' '.join(hints.split())}")
        assert "_NET_WM_STATE_HIDDEN" in state or "Iconic" in hints, \
            "the second deck's window is not minimised"
        eq(p.deck_title(), "d_sweep.mp3", "first deck's title after LT")
    finally:
        # SIGKILL: the sound library turns SIGTERM into a quit request that a deck ignores.
        try:
            os.kill(pid, 9)
        except OSError:
            pass
        prog.wait_for(lambda: not os.path.exists(f"/proc/{pid}") or _zombie(pid), 5, 0.1,
                      "the second deck to end")


def _zombie(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(")")[-1].split()[0] == "Z"
    except OSError:
        return True


def farewell(run, p):
    run.desktop.close_window(p.deck)
    window, text = p.message(FAREWELL_TITLE)
    print(f"    farewell text: {text!r}")
    assert text, "the farewell box has no readable text"
    lines = text.split("\n")
    eq(len(lines), 3, "farewell lines")
    for line in lines:
        assert line.startswith(" "), f"farewell line without its leading blank: {line!r}"
    p.dismiss(window)
    code = p.wait_exit(10)
    eq(code, 0, "exit code after the farewell")


# --- the Play All run: three short songs in a folder of their own ------------------------------

def playall_run(run):
    folder = os.path.join(run.desktop.dir, "playall")
    os.makedirs(folder)
    for name, frequency in (("a440", 440), ("b660", 660), ("c880", 880)):
        songs.tone(folder, name, frequency, 6)
    p = Program(run.desktop, run.a11y, run.exe, folder)
    try:
        if run.scenario("Play All over three songs with Skip and the finish message",
                        play_all, run, p):
            run.scenario("closing shows the farewell and ends the process (Play All deck)",
                         farewell, run, p)
    finally:
        p.kill()


def play_all(run, p):
    p.deck_click("F")
    window = p.wait_window(PLAYLIST_TITLE)
    clicked = run.desktop.now()
    p.click(window, PLAYLIST_LAYOUT, "tpall")
    first = p.wait_window("a440.mp3")
    eq(first, window, "playlist window showing the first song")
    run.expect_pitch(440, "Play All, first song")
    p.wait_window("b660.mp3", timeout=8)
    run.expect_pitch(660, "Play All, second song")
    # Each song is cut at the first one-second tick at which it is within a second of its end.
    track = sound.pitch_track(run.desktop.samples(clicked, run.desktop.now()))
    first_heard = next((t for t, f in track if abs(f - 440) < 44), None)
    second_heard = next((t for t, f in track if abs(f - 660) < 66), None)
    assert first_heard is not None and second_heard is not None, "songs not found in the sound"
    played = second_heard - first_heard
    print(f"    first song played {played:.2f} s of its 6 s before the second began")
    near(played, 5.0, 0.65, "time the first song played")
    skipped = run.desktop.now()
    p.click(window, PLAYLIST_LAYOUT, "Label1")  # Skip
    p.wait_window("c880.mp3", timeout=3)
    run.expect_pitch(880, "after Skip, third song")
    track = sound.pitch_track(run.desktop.samples(skipped, run.desktop.now()), 0.02)
    third_heard = next((t for t, f in track if abs(f - 880) < 88), None)
    print(f"    Skip to the third song heard within {third_heard:.2f} s of the click")
    box, text = p.message(APP_TITLE, timeout=10)
    eq(text, "Play of all files finished or no file to play", "finish message")
    p.dismiss(box)
    p.wait_gone(APP_TITLE)
    p.wait_gone("c880.mp3")
    run.expect_silence("after Play All")
    eq(p.deck_title(), prog.DECK_TITLE, "deck title after Play All")


# --- the sound server goes away and comes back under a playing deck -------------------------

def outage_run(run):
    folder = os.path.join(run.desktop.dir, "outage")
    os.makedirs(folder)
    songs.sweep(folder, "sweep")
    p = Program(run.desktop, run.a11y, run.exe, folder)
    steps = [("the sound server restarts under a playing song: it goes on where it stopped",
              outage_plays_on),
             ("Pause during an outage: silence after the return, Resume plays on", outage_pause),
             ("closing during an outage: the farewell, and the process ends at once",
              outage_close)]
    try:
        for name, body in steps:
            if not run.scenario(name, body, run, p):
                break
    finally:
        p.kill()
        if run.desktop.pulse.poll() is not None:
            run.desktop.start_sound_server()


def cut_sound(run):
    """Kills the sound server; returns the song time heard last before it went."""
    heard = run.desktop.now()
    run.desktop.kill_sound_server()
    stretches = sweep_stretches(run.desktop.samples(heard - 0.8, run.desktop.now()))
    assert stretches, "no sound before the server went away"
    print(f"    before the cut: {describe(stretches[-1:])}")
    return stretches[-1][3]


def outage_plays_on(run, p):
    p.pick("sweep.mp3")
    p.wait_deck("R", caption="Pause")
    run.listen(1.0)
    stopped = cut_sound(run)
    time.sleep(1.5)
    p.wait_deck("R", caption="Pause")  # still playing, as far as the deck knows
    back = run.desktop.start_sound_server()
    run.desktop.record_until(max(0.0, back + 1.5 - run.desktop.now()))
    samples = run.desktop.samples(back, back + 1.5)
    after = sweep_stretches(samples)
    print(f"    after the return: {describe(after)}")
    assert after, "no sound within 1.5 s of the server's return"
    a, _, c, _ = after[0]
    print(f"    sound again {a * 1000:.0f} ms after the server's return, at song time "
          f"{c:.3f} s (stopped at {stopped:.3f} s)")
    assert a <= 1.0, f"sound came back after {a:.2f} s"
    near(c, stopped, 0.2, "song time where sound came back")
    # The ramp: the first millisecond of the sound is well below its level a little later.
    first = next(i for i, v in enumerate(samples) if abs(v) > 30)
    rise = max(abs(v) for v in samples[first:first + 44])
    level = max(abs(v) for v in samples[first + 441:first + 1323])
    print(f"    first millisecond peaks at {rise}, the song at {level}")
    assert rise <= level / 2, "sound came back with a click"


def outage_pause(run, p):
    stopped = cut_sound(run)
    p.deck_click("R")
    p.wait_deck("R", caption="Resume")
    run.desktop.start_sound_server()
    run.expect_silence("paused through the outage", seconds=1.0, settle=0)
    start = run.desktop.now()
    p.deck_click("R")
    p.wait_deck("R", caption="Pause")
    run.desktop.record_until(max(0.0, start + 1.0 - run.desktop.now()))
    stretches = sweep_stretches(run.desktop.samples(start, start + 1.0))
    print(f"    after Resume: {describe(stretches)}")
    assert stretches, "no sound after Resume"
    near(stretches[0][2], stopped, 0.6, "song time where Resume plays on")


def outage_close(run, p):
    cut_sound(run)
    time.sleep(0.5)
    run.desktop.close_window(p.deck)
    window, _ = p.message(FAREWELL_TITLE)
    p.dismiss(window)
    began = time.monotonic()
    code = p.wait_exit(10)
    print(f"    ended {time.monotonic() - began:.2f} s after the farewell, exit code {code}")
    eq(code, 0, "exit code")
    assert time.monotonic() - began <= 1.0, "the process took longer than 1 s to end"
# --- the space-bar hold run: the X server repeats a held key, on a busy machine ------------------

HOLD = 1.5


def spacehold_run(run):
    folder = os.path.join(run.desktop.dir, "spacehold")
    os.makedirs(folder)
    songs.sweep(folder, "sweep")
    p = Program(run.desktop, run.a11y, run.exe, folder)
    try:
        run.scenario("a held space bar toggles once, at its release, on a busy machine",
                     space_holds, run, p)
    finally:
        p.kill()


def space_holds(run, p):
    p.pick("sweep.mp3")
    p.wait_deck("R", caption="Pause")
    run.expect_sound("the sweep plays", seconds=0.3)
    failed = []
    with run.desktop.busy(2):
        for hold in range(1, 11):
            ok, what = space_hold(run, p, stops=hold % 2 == 1)
            print(f"    hold {hold}: {'ok, ' if ok else 'FAILED: '}{what}", flush=True)
            if not ok:
                failed.append(hold)
    print(f"    holds passed: {10 - len(failed)}/10")
    assert not failed, f"holds {failed} did not toggle exactly once, at the release"


def space_hold(run, p, stops):
    """Holds the space bar; returns whether the recording shows one toggle at the release, and
    what it shows."""
    began = time.monotonic()
    run.desktop.key_down(p.deck, "space")
    down = run.desktop.now()
    time.sleep(max(0.0, began + HOLD - time.monotonic()))
    up = run.desktop.now()
    run.desktop.key_up("space")
    released = run.desktop.now()  # the key went up between `up` and here
    run.desktop.record_until(max(0.0, released + 1.0 - run.desktop.now()))
    held = run.desktop.samples(down + 0.05, up)  # the X server repeats from about 0.66 s on
    after = run.desktop.samples(up, released + 1.0)
    if stops:
        stretches = sweep_stretches(held)
        if sound.loud_fraction(held) < 0.95 or len(stretches) != 1:
            return False, f"the song did not play on through the hold: {describe(stretches)}"
        if sound.loud_fraction(run.desktop.samples(released + 0.15, released + 1.0)) > 0.05:
            return False, "sound after the release"
        runs = sound.sound_runs(after)
        return True, f"stopped {(up + runs[0][1] - released) * 1000:.0f} ms after the keyup" \
            if runs else "silent from the keyup"
    if sound.loud_fraction(held) > 0.05:
        return False, f"sound during the hold: {describe(sweep_stretches(held))}"
    stretches = sweep_stretches(after)
    if not stretches or stretches[0][2] > 0.1 or stretches[0][0] > released - up + 0.3:
        return False, f"no play from the beginning at the release: {describe(stretches)}"
    if sound.loud_fraction(run.desktop.samples(released + 0.3, released + 1.0)) < 0.95:
        return False, "play did not go on after the release"
    return True, (f"song time {stretches[0][2]:.2f} s heard "
                  f"{(up + stretches[0][0] - released) * 1000:.0f} ms after the keyup")
# --- the command line: bad arguments, the music folder and "LT" from it, a song named at start --

ARG_SONGS = ["A440.MP3", "b660.mp3"]


def args_run(run):
    music = os.path.join(run.desktop.env["HOME"], "Music")
    os.makedirs(music)
    songs.tone(music, "b660", 660, 20)
    os.rename(songs.tone(music, "a440", 440, 20), os.path.join(music, "A440.MP3"))
    run.scenario("bad arguments: one line on stderr, exit 2, no window", bad_arguments, run)
    for args, title, body in ((["--music-folder"], prog.DECK_TITLE, music_folder_and_lt),
                              (["--music-folder", "home/Music/b660.mp3"], "b660.mp3", file_plays)):
        p = Program(run.desktop, run.a11y, run.exe, music, args, title)
        try:
            run.scenario(f"{' '.join(args)}: {body.__doc__}", body, run, p)
        finally:
            p.kill()


def bad_arguments(run):
    env = {k: v for k, v in run.desktop.env.items() if k != "DISPLAY"}
    missing = f"PockoMP3Player: no such folder or file: {run.desktop.dir}/nowhere\n"
    for args, code, stdout, stderr in (
            (["nowhere"], 2, "", missing),
            (["--help", "-x"], 0, "Usage: PockoMP3Player [--music-folder] [FOLDER | FILE]", "")):
        out = subprocess.run([run.exe, *args], cwd=run.desktop.dir, env=env, timeout=20,
                             capture_output=True, text=True)
        eq((out.returncode, out.stdout.split("\n")[0], out.stderr), (code, stdout, stderr), args)


def music_folder_and_lt(run, p):
    """the music folder is listed, and so it is on the deck LT opens"""
    eq(p.pick("b660.mp3"), ARG_SONGS, "the music folder's songs")
    run.expect_pitch(660, "picked from the music folder")
    before = set(run.desktop.marked_pids())
    p.deck_click("L")
    exe = os.path.realpath(p.exe)
    second = copy.copy(p)
    second.pid = prog.wait_for(lambda: next((q for q in set(run.desktop.marked_pids()) - before
                                             if os.path.realpath(f"/proc/{q}/exe") == exe), None),
                               10, 0.1, "a second deck")
    try:
        second.deck = prog.wait_for(lambda: second.find(prog.DECK_TITLE), 15, 0.2, "its window")
        second.deck_click("F")
        eq([name for name, _ in prog.wait_for(second.list_entries, 10, 0.2, "its list")],
           ARG_SONGS, "the second deck's songs")
    finally:
        os.kill(second.pid, 9)


def file_plays(run, p):
    """the song plays at once, as if picked, and its folder is listed"""
    p.wait_deck("R", caption="Pause")
    p.wait_deck("Label1", caption=" From")
    run.expect_pitch(660, "the song named at start")
    eq(p.pick("A440.MP3"), ARG_SONGS, "the song's folder")
    run.expect_pitch(440, "picked after it")


# --- main ---------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("executable")
    parser.add_argument("--only", choices=["deck", "outage", "playall", "spacehold", "args"],
                        action="append")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()

    missing = desk.missing_tools()
    if missing:
        print("SKIP: not installed: " + " ".join(missing))
        return SKIP
    if importlib.util.find_spec("pyatspi") is None:
        print("SKIP: python3-pyatspi is not installed")
        return SKIP

    began = time.monotonic()
    # A time-out of the test runner ends the run through the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    desktop = desk.Desktop(keep=args.keep)
    print(f"e2e: temporary folder {desktop.dir}", flush=True)
    try:
        desktop.start()
        print(f"e2e: display {desktop.display}, sound server {desktop.env['PULSE_SERVER']}",
              flush=True)
        run = Run(desktop, prog.Accessibility(desktop.env), os.path.abspath(args.executable))
        for name, body in (("deck", deck_run), ("outage", outage_run), ("playall", playall_run),
                           ("spacehold", spacehold_run), ("args", args_run)):
            if not args.only or name in args.only:
                body(run)
    except desk.SetupError as error:
        print(f"FAIL set-up: {error}")
        return 1
    finally:
        desktop.stop()
    print(f"e2e: {len(run.passed)} passed, {len(run.failures)} failed "
          f"in {time.monotonic() - began:.0f} s; {len(run.holes)} silent hole(s) in steady sound")
    for name in run.failures:
        print(f"  failed: {name}")
    return 1 if run.failures or not run.passed else 0


if __name__ == "__main__":
    sys.exit(main())
