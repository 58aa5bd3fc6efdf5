#!/usr/bin/env python3
"""End-to-end run of PockoMP3Player for what only a real window and real sound show (README.md).

    run_e2e.py EXECUTABLE [--only deck|outage|playall|spacehold|args|outputs|midi|waveform ...]
               [--server pulseaudio|pipewire] [--keep]

Exit code 0 when every scenario passes, 1 when one fails, 77 when tools are missing."""

import argparse
import copy
import importlib.util
import os
import re
import signal
import subprocess
import sys
import time
import traceback

import desktop as desk
import midi
import program as prog
import songs
import sound
from desktop import wait_for
from program import APP_TITLE, DIALOG_TITLE, FAREWELL_TITLE, PLAYLIST, PLAYLIST_TITLE

# AT-SPI's Python bindings come with the system's Python; another python3 first in PATH hands over.
if importlib.util.find_spec("pyatspi") is None and os.path.exists("/usr/bin/python3") \
        and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
    os.execv("/usr/bin/python3", ["/usr/bin/python3", *sys.argv])


class Run:
    """The scenarios of one run, sharing one desktop; each failure is recorded, not fatal."""

    def __init__(self, desktop, a11y, exe):
        self.desktop = desktop
        self.a11y = a11y
        self.exe = exe
        self.failures = []
        self.passed = []

    def scenario(self, name, body, *args):
        started = time.monotonic()
        print(f"--- {name}", flush=True)
        try:
            body(*args)
            self.passed.append(name)
            print(f"ok   {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Exception as error:  # an assertion, a time-out or a broken driver step
            self.failures.append(name)
            print(f"FAIL {name}: {error}", flush=True)
            if not isinstance(error, (AssertionError, TimeoutError)):
                traceback.print_exc()

    def recorded(self, start, seconds):
        """The sound from recording time `start` on, once that much of it is there."""
        self.desktop.record_until(start + seconds)
        return self.desktop.samples(start, start + seconds)

    def listen(self, seconds, settle):
        return self.recorded(self.desktop.now() + settle, seconds)

    def heard(self, start, seconds, what):
        """The sweep song's stretches heard from `start` on; prints them."""
        stretches = sound.stretches(self.recorded(start, seconds))
        print(f"    {what}: " + ", ".join(f"[{a:.3f}-{b:.3f} s heard = song {c:.2f}-{d:.2f} s]"
                                          for a, b, c, d in stretches), flush=True)
        return stretches

    def expect_pitch(self, expected, what, settle=0.25):
        heard = sound.pitch(self.listen(0.6, settle))
        print(f"    {what}: pitch {heard:.1f} Hz (expected {expected:g} Hz)", flush=True)
        assert abs(heard - expected) <= expected * 0.1, \
            f"{what}: heard {heard:.1f} Hz, expected {expected:g} Hz"


def eq(actual, expected, what):
    assert actual == expected, f"{what}: got {actual!r}, expected {expected!r}"


def near(actual, expected, tolerance, what):
    assert abs(actual - expected) <= tolerance, \
        f"{what}: got {actual:.3f}, expected {expected:.3f} +- {tolerance:.3f}"


def song_folder(run, name, tones, seconds):
    """A folder with a tone song of each frequency (a440, b660, ...) and "sweep" the sweep song."""
    folder = os.path.join(run.desktop.dir, name)
    os.makedirs(folder)
    for letter, f in zip("abc", tones):
        songs.sweep(folder, f) if f == "sweep" else songs.tone(folder, f"{letter}{f}", f, seconds)
    return folder


def scenarios(run, start, steps):
    """Starts a deck, runs the steps on it, then ends it."""
    p = None
    try:
        p = start()
        for name, body in steps:
            run.scenario(name, body, run, p)
    except TimeoutError as error:  # the deck did not show
        run.failures.append(steps[0][0])
        print(f"FAIL {steps[0][0]}: {error}", flush=True)
    finally:
        if p:
            p.kill()
        if run.desktop.sound_server_down():  # a scenario failed during an outage
            run.desktop.start_sound_server()


# --- the deck: a pick, half speed and the cue bursts, heard; the farewell ------------------------

def pick_plays_song(run, p):
    eq(p.pick("b880.mp3"), ["a440.mp3", "b880.mp3", "sweep.mp3"], "playlist entries")
    run.expect_pitch(880, "after the pick")


def half_speed(run, p):
    p.deck_click("thspd")
    p.wait_deck("thspd", caption="H")
    run.expect_pitch(440, "half speed of the 880 Hz song", settle=0.4)
    p.deck_click("thspd")
    p.wait_deck("thspd", caption="")


def cue_bursts(run, p):
    p.pick("sweep.mp3")
    p.wait_deck("R", caption="Pause")
    p.deck_click("R")  # paused, so that the bursts stand alone in the recording
    p.wait_deck("R", caption="Resume")
    p.deck_click("P111", button=3)
    dialog = p.wait_window(DIALOG_TITLE)
    # The repeats have the focus; the start position is two fields on.
    run.desktop.press(dialog, "ctrl+a", "3", "Tab", "Tab", "ctrl+a", "3", "period", "5")
    run.desktop.close_window(dialog)
    p.wait_deck("M111", tooltip="3.5")
    start = run.desktop.now()
    p.deck_click("P111")
    stretches = run.heard(start, 2.6, "P1")
    eq(len(stretches), 3, "number of bursts")
    for i, (a, b, c, _) in enumerate(stretches):
        near(b - a, 0.5, 0.03, f"burst {i + 1} length")
        near(c, 3.5, 0.05, f"burst {i + 1} song start")
        if i:
            near(a - stretches[i - 1][1], 0.0, 0.03, f"gap before burst {i + 1}")
    tail = run.desktop.samples(start + stretches[-1][1] + 0.1, start + 2.6)
    assert sound.loud_fraction(tail) <= 0.05, "sound after the last burst: the song is not paused"


def click_to_sound(run, p):
    """Resume clicked through the X server, ten times: the time from the click (sent with XTest
    from here) to the first sound in the recording, which adds the recorder's own lag (an upper
    bound of what is heard)."""
    p.pick("a440.mp3")
    p.wait_deck("R", caption="Pause")
    times = []
    for _ in range(10):
        p.deck_click("R")
        p.wait_deck("R", caption="Resume")
        p.point_at("R")
        time.sleep(0.3)
        clicked = run.desktop.xtest_click()
        run.desktop.xdotool("mousemove", "--sync", 1, 1)
        samples = run.recorded(clicked, 0.5)
        first = next((i for i, v in enumerate(samples) if abs(v) > 300), None)
        assert first is not None, "no sound within 0.5 s of Resume"
        times.append(first / desk.RATE)
        p.wait_deck("R", caption="Pause")
    times.sort()
    median = (times[4] + times[5]) / 2
    print(f"    click to sound: {median * 1000:.1f} ms median, {times[-1] * 1000:.1f} ms at most "
          f"(of 10)", flush=True)
    limit = 0.06 if run.desktop.server == "pipewire" else 0.05
    assert median <= limit, f"click to sound {median * 1000:.1f} ms median"


def farewell(run, p):
    run.desktop.close_window(p.deck)
    box, text = p.message(FAREWELL_TITLE)
    lines = text.split("\n")
    assert len(lines) == 3 and all(line[:1] == " " for line in lines), f"farewell text {text!r}"
    p.dismiss(box)
    eq(p.wait_exit(10), 0, "exit code after the farewell")


# --- Play All: three short songs heard in turn, with Skip ---------------------------------------

def play_all(run, p):
    p.deck_click("F")
    window = p.wait_window(PLAYLIST_TITLE)
    p.click(window, PLAYLIST, "tpall")
    eq(p.wait_window("a440.mp3"), window, "playlist window showing the first song")
    run.expect_pitch(440, "Play All, first song")
    p.wait_window("b660.mp3", timeout=8)
    run.expect_pitch(660, "Play All, second song")
    p.click(window, PLAYLIST, "Label1")  # Skip
    p.wait_window("c880.mp3", timeout=3)
    run.expect_pitch(880, "after Skip, third song")
    box, text = p.message(APP_TITLE)
    eq(text, "Play of all files finished or no file to play", "finish message")
    p.dismiss(box)


# --- the sound server goes away and comes back under a playing deck -----------------------------

def cut_sound(run):
    """Kills the sound server; returns the song time heard last before it went."""
    start = run.desktop.now() - 0.8
    run.desktop.kill_sound_server()
    stretches = run.heard(start, run.desktop.now() - start, "before the cut")
    assert stretches, "no sound before the server went away"
    return stretches[-1][3]


def outage_plays_on(run, p):
    p.pick("sweep.mp3")
    p.wait_deck("R", caption="Pause")
    run.listen(1.0, 0.25)
    stopped = cut_sound(run)
    time.sleep(1.5)
    back = run.desktop.start_sound_server()
    after = run.heard(back, 1.5, "after the return")
    assert after and after[0][0] <= 1.0, "no sound within 1 s of the server's return"
    near(after[0][2], stopped, 0.2, "song time where sound came back")
    # The ramp: the first millisecond of the sound is well below its level a little later.
    samples = run.desktop.samples(back, back + 1.5)
    first = next(i for i, v in enumerate(samples) if abs(v) > 30)
    rise = max(map(abs, samples[first:first + 44]))
    level = max(map(abs, samples[first + 441:first + 1323]))
    assert rise <= level / 2, f"sound came back with a click: {rise} in its first ms, then {level}"


def outage_pause(run, p):
    stopped = cut_sound(run)
    p.deck_click("R")
    p.wait_deck("R", caption="Resume")
    run.desktop.start_sound_server()
    loud = sound.loud_fraction(run.listen(1.0, 0))
    assert loud <= 0.05, f"sound in {loud:.0%} of the second after the return, paused"
    start = run.desktop.now()
    p.deck_click("R")
    p.wait_deck("R", caption="Pause")
    stretches = run.heard(start, 1.0, "after Resume")
    assert stretches, "no sound after Resume"
    near(stretches[0][2], stopped, 0.6, "song time where Resume plays on")


def outage_close(run, p):
    cut_sound(run)
    time.sleep(0.5)
    run.desktop.close_window(p.deck)
    box, _ = p.message(FAREWELL_TITLE)
    p.dismiss(box)
    began = time.monotonic()
    eq(p.wait_exit(10), 0, "exit code")
    assert time.monotonic() - began <= 1.0, f"{time.monotonic() - began:.2f} s to end"


# --- the space bar held down: the X server repeats it, on a busy machine ------------------------

def space_holds(run, p):
    p.pick("sweep.mp3")
    p.wait_deck("R", caption="Pause")
    busy = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(2)]
    try:
        # A busy machine may make the server itself drop out now and then (PipeWire's graph does,
        # whatever plays); the holds are judged once the sound is steady.
        wait_for(lambda: sound.loud_fraction(run.listen(0.5, 0)) >= 0.98, 6, 0, "steady sound")
        failed = [hold for hold in range(1, 11) if not space_hold(run, p, hold, hold % 2)]
    finally:
        for proc in busy:
            proc.kill()
            proc.wait()
    assert not failed, f"holds {failed} did not toggle exactly once, at the release"


def space_hold(run, p, hold, stops):
    """Holds the space bar for 1.5 s; whether it toggled once, at the release: the sweep plays on
    through the hold and stops after it, or stays silent and then plays from its beginning."""
    began = time.monotonic()
    run.desktop.xdotool("windowfocus", "--sync", p.deck)
    run.desktop.xdotool("keydown", "space")
    down = run.desktop.now() + 0.05
    time.sleep(max(0.0, began + 1.5 - time.monotonic()))
    up = run.desktop.now()
    run.desktop.xdotool("keyup", "space")
    released = run.desktop.now()  # the key went up between `up` and here
    held = run.heard(down, up - down, f"hold {hold}")  # the X server repeats from about 0.66 s on
    after = run.heard(up, released - up + 1.0, f"hold {hold}, after the release")
    loud = sound.loud_fraction(run.desktop.samples(down, up))
    late = sound.loud_fraction(run.desktop.samples(released + 0.3, released + 1.0))
    if stops:  # a buffer step may split the hold's sound, but never sends the song 0.3 s back
        return loud >= 0.8 and held and late <= 0.05 \
            and all(b[2] >= a[3] - 0.3 for a, b in zip(held, held[1:]))
    return loud <= 0.05 and after and after[0][2] <= 0.1 and after[0][0] <= released - up + 0.3 \
        and late >= 0.8


# --- the command line: bad arguments, the music folder and LT from it, a song named at start -----

def args_run(run):
    music = os.path.join(run.desktop.env["HOME"], "Music")
    os.makedirs(music)
    songs.tone(music, "b660", 660, 20)
    os.rename(songs.tone(music, "a440", 440, 20), os.path.join(music, "A440.MP3"))
    run.scenario("bad arguments: the message, exit 2, no display needed", bad_arguments, run)
    for args, title, body in ((["--music-folder"], prog.DECK_TITLE, music_folder_and_lt),
                              (["--music-folder", "home/Music/b660.mp3"], "b660.mp3", file_plays)):
        scenarios(run, lambda: prog.Program(run.desktop, run.a11y, run.exe, music, args, title),
                  [(f"{' '.join(args)}: {body.__doc__}", body)])


def bad_arguments(run):
    out = subprocess.run([run.exe, "nowhere"], cwd=run.desktop.dir, timeout=20, text=True,
                         env={k: v for k, v in run.desktop.env.items() if k != "DISPLAY"},
                         capture_output=True)
    eq((out.returncode, out.stderr),
       (2, f"PockoMP3Player: no such folder or file: {run.desktop.dir}/nowhere\n"), "nowhere")


def listed(p):
    p.deck_click("F")
    return [name for name, _ in wait_for(p.list_entries, 10, 0.2, "the list")]


def music_folder_and_lt(run, p):
    """the music folder is listed; LT opens a minimised deck that lists it too"""
    eq(listed(p), ["A440.MP3", "b660.mp3"], "the music folder's songs")
    p.deck_click("L")
    second = copy.copy(p)
    second.deck = wait_for(lambda: next((w for w in run.desktop.windows(
        "^" + re.escape(prog.DECK_TITLE) + "$") if w != p.deck), None), 15, 0.2, "a second deck")
    second.pid = int(run.desktop.xdotool("getwindowpid", second.deck))
    hints = " ".join(run.desktop.property(second.deck, "WM_HINTS").split())
    assert "Iconic" in hints, f"the second deck's window is not minimised: {hints}"
    eq(listed(second), ["A440.MP3", "b660.mp3"], "the second deck's songs")
    # SIGKILL: the sound library turns SIGTERM into a quit request that a deck ignores.
    os.kill(second.pid, signal.SIGKILL)


def file_plays(run, p):
    """the song plays at once"""
    run.expect_pitch(660, "the song named at start")


# --- PipeWire through its PulseAudio service, as some users run it -------------------------------

def service_run(run):
    """On PipeWire only: the deck forced onto libpulse (POCKO_AUDIO_OUTPUT=pulse), so through the
    PulseAudio service and its long queue."""
    if run.desktop.server != "pipewire":
        return
    folder = song_folder(run, "service", [440, "sweep"], 20)
    scenarios(run, lambda: prog.Program(run.desktop, run.a11y, run.exe, folder,
                                        env={"POCKO_AUDIO_OUTPUT": "pulse"}), [
        ("through the PulseAudio service: P1's three bursts back to back", cue_bursts),
        ("through the PulseAudio service: a click on Resume is heard", click_to_sound)])


# --- outputs: each deck on the sink it was given -------------------------------------------------

def outputs_run(run):
    """Deck 1 on the second sink (named by its description), the deck LT opens on the first."""
    folder = song_folder(run, "outputs", [440, 660], 40)
    headphones = run.desktop.add_sink("deck2", "Headphones")
    run.scenario("--list-outputs: both sinks, name and description", list_outputs, run)
    deck = None
    try:
        deck = prog.Program(run.desktop, run.a11y, run.exe, folder,
                            ["--output", "headphones", "--lt-output", "deck", folder])
        for name, body in (
                ("--output: heard on the chosen sink only", chosen_sink),
                ("--lt-output: LT's deck heard on the other sink", lt_output),
                ("the chosen sink removed and loaded again: back on it, never on the other",
                 sink_comes_back)):
            run.scenario(name, body, run, deck, headphones)
    finally:
        if deck:
            deck.kill()


def pitch_on(recording, seconds, what):
    heard = sound.pitch(recording.samples(recording.now() - seconds, recording.now()))
    print(f"    {what}: pitch {heard:.1f} Hz", flush=True)
    return heard


def list_outputs(run):
    out = subprocess.run([run.exe, "--list-outputs"], env=run.desktop.env, timeout=20, text=True,
                         capture_output=True)
    print("    " + out.stdout.replace("\n", "\n    ").rstrip(), flush=True)
    lines = [line.split(None, 1) for line in out.stdout.splitlines()]
    eq(out.returncode, 0, "exit code")
    eq(sorted(line[0] for line in lines), ["deck", "deck2"], "the names")
    assert ["deck2", "Headphones"] in lines, f"no line for deck2 with its description: {lines}"


def chosen_sink(run, p, headphones):
    p.pick("a440.mp3")
    p.wait_deck("R", caption="Pause")
    time.sleep(1.0)
    assert abs(pitch_on(headphones, 0.8, "the headphones") - 440) <= 44, "not on the headphones"
    loud = sound.loud_fraction(run.listen(0.8, 0))
    assert loud <= 0.05, f"sound in {loud:.0%} of the room's recording"


def lt_output(run, p, headphones):
    p.deck_click("L")
    second = copy.copy(p)
    second.deck = wait_for(lambda: next((w for w in run.desktop.windows(
        "^" + re.escape(prog.DECK_TITLE) + "$") if w != p.deck), None), 15, 0.2, "a second deck")
    second.pid = int(run.desktop.xdotool("getwindowpid", second.deck))
    try:
        second.pick("b660.mp3")
        second.wait_deck("R", caption="Pause")
        run.expect_pitch(660, "the room", settle=0.5)
        assert abs(pitch_on(headphones, 0.8, "the headphones") - 440) <= 44, \
            "the headphones no longer play deck 1"
    finally:
        os.kill(second.pid, signal.SIGKILL)


def sink_comes_back(run, p, headphones):
    run.desktop.remove_sink("deck2")
    loud = sound.loud_fraction(run.listen(2.0, 0.3))
    assert loud <= 0.05, f"the headphone deck in {loud:.0%} of the room while its sink was gone"
    began, start = time.monotonic(), headphones.now()  # the new sink records on from `start`
    run.desktop.add_sink("deck2", "Headphones")
    wait_for(lambda: headphones.now() >= start + 0.5 and abs(sound.pitch(headphones.samples(
        headphones.now() - 0.5, headphones.now())) - 440) <= 44, 8, 0.2,
        "deck 1 on the headphones again")
    print(f"    back on the headphones {time.monotonic() - began:.1f} s after the sink was loaded",
          flush=True)
    loud = sound.loud_fraction(run.listen(1.0, 0))
    assert loud <= 0.05, f"sound in {loud:.0%} of the room's recording after the return"


# --- the waveform in the track bar: the song's shape, M1's line, the play head; no hole ---------

BAR = tuple(round(v / 15) for v in prog.DECK["Label1"])  # left, top, width, height in pixels


def bar_shot(run, p):
    """The track bar's inner pixels as rows of (r, g, b), read from the deck's window."""
    left, top, width, height = BAR
    ppm = subprocess.run(["import", "-window", str(p.deck), "-crop", f"{width}x{height}+{left}+{top}",
                          "+repage", "-depth", "8", "ppm:-"], env=run.desktop.env, check=True,
                         capture_output=True, timeout=20).stdout
    fields = ppm.split(maxsplit=4)
    w, h, data = int(fields[1]), int(fields[2]), fields[4]
    return [[tuple(data[(y * w + x) * 3:(y * w + x) * 3 + 3]) for x in range(w)]
            for y in range(1, h - 1)]


def drawn_at(seconds, duration, width=BAR[2]):
    """The pixel that draws a moment of the song: the bar draws along its seek (the deck's own
    mapping, in pixels of 15 twips), its start zone and its last stretch compressed."""
    def share(pixel):
        return min(max(pixel * 15 + 360, 360), 4000) / 4200

    def start(pixel):
        if pixel < 6:
            return pixel / 6 * share(6) * duration
        if pixel < 243:
            return share(pixel) * duration
        return (share(243) + (1 - share(243)) * (pixel - 243) / (width - 243)) * duration
    return max(p for p in range(width) if start(p) <= seconds)


def column_has(shot, x, colour):
    return any(row[x] == colour for row in shot)


def head_at(shot):
    found = [x for x in range(len(shot[0])) if sum(row[x] == (255, 255, 255) for row in shot) >= 10]
    assert len(found) == 1, f"play head columns {found}"
    return found[0]


def waveform_shape(run, p):
    p.pick("halves.mp3")
    p.wait_deck("R", caption="Pause")
    time.sleep(1.5)
    shot = bar_shot(run, p)
    heights = [sum(row[x] not in ((0, 0, 0), (255, 255, 0)) for row in shot)
               for x in range(len(shot[0]))]
    loud, quiet = drawn_at(10, 20), drawn_at(10.5, 20)
    loud, quiet = heights[40:loud - 5], heights[quiet + 5:240]
    print(f"    heights, loud half: {min(loud)} to {max(loud)}, quiet half: {min(quiet)} to "
          f"{max(quiet)}", flush=True)
    assert min(loud) >= 5 and sum(loud) / len(loud) >= 6, "the loud half is not drawn tall"
    assert max(quiet) <= 2, "the quiet half is not drawn low"


def waveform_marks_and_head(run, p):
    p.deck_click("M111")
    _, tooltip = p.wait_deck("M111", tooltip=re.compile(r"[0-9.]+"))
    time.sleep(0.3)
    first = bar_shot(run, p)
    time.sleep(1.0)
    second = bar_shot(run, p)
    mark = drawn_at(float(tooltip), 20)
    assert column_has(second, mark, (0, 255, 255)), f"no M1 line at pixel {mark} ({tooltip} s)"
    a, b = head_at(first), head_at(second)
    print(f"    M1 at {tooltip} s: pixel {mark}; the play head from pixel {a} to {b} in 1 s",
          flush=True)
    assert 5 <= b - a <= 16, f"the play head moved from {a} to {b} in 1 s of a 20 s song"


def no_hole(run, what, start, seconds):
    holes = sound.holes(run.recorded(start, seconds))
    print(f"    {what}: {len(holes)} holes {holes[:3]}", flush=True)
    assert len(holes) <= (1 if run.desktop.server == "pipewire" else 0), f"{what}: holes {holes}"


def waveform_no_hole(run, p):
    start = run.desktop.now()
    p.pick("steady.mp3")
    p.wait_deck("R", caption="Pause")
    wait_for(lambda: sound.loud_fraction(run.listen(0.3, 0)) >= 0.98, 5, 0, "the steady tone")
    no_hole(run, "while its own summary is computed", start + 0.6, 2.0)
    p.deck_click("L")
    second = copy.copy(p)
    second.deck = wait_for(lambda: next((w for w in run.desktop.windows(
        "^" + re.escape(prog.DECK_TITLE) + "$") if w != p.deck), None), 15, 0.2, "a second deck")
    second.pid = int(run.desktop.xdotool("getwindowpid", second.deck))
    try:
        run.desktop.xdotool("windowactivate", "--sync", second.deck)
        start = run.desktop.now()
        second.pick("long.mp3")
        no_hole(run, "while the second deck opens a 6-minute song", start, 3.0)
    finally:
        os.kill(second.pid, signal.SIGKILL)


def waveform_run(run):
    folder = os.path.join(run.desktop.dir, "waveform")
    os.makedirs(folder)
    halves = [os.path.join(folder, f"half{i}.wav") for i in (1, 2)]
    for wav, gain in zip(halves, ("-2", "-45")):
        subprocess.run(["sox", "-q", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth",
                        "10", "pinknoise", "gain", gain], check=True)
    subprocess.run(["sox", *halves, os.path.join(folder, "halves.wav")], check=True)
    subprocess.run(["lame", "--quiet", "-b", "192", os.path.join(folder, "halves.wav"),
                    os.path.join(folder, "halves.mp3")], check=True)
    for wav in halves + [os.path.join(folder, "halves.wav")]:
        os.remove(wav)
    songs.tone(folder, "steady", 440, 40)
    songs.tone(folder, "long", 660, 360)
    run.desktop.add_sink("deck2", "Headphones")  # LT's deck plays there, away from deck 1's
    scenarios(run, lambda: prog.Program(run.desktop, run.a11y, run.exe, folder,
                                        ["--lt-output", "deck2", folder]), [
        ("the waveform: the loud half drawn tall, the quiet half low", waveform_shape),
        ("M1's line at its pixel, the play head moving between two shots", waveform_marks_and_head),
        ("no hole while a summary is computed, the deck's own or LT's deck's", waveform_no_hole)])


# --- main ---------------------------------------------------------------------------------------

# Each run: one deck on a folder of its own songs (tones in Hz, each so many seconds long, and the
# sweep) and the scenarios played on it in turn, or a function that runs its own.
RUNS = {
    "deck": ([440, 880, "sweep"], 20, [
        ("FILE, pick a song: its tone is heard", pick_plays_song),
        ("half speed is heard an octave down", half_speed),
        ("P1 with repeats 3: three bursts of 500 ms back to back, paused after", cue_bursts),
        ("a click on Resume is heard within 50 ms (PipeWire: 60 ms)", click_to_sound),
        ("closing shows the farewell and ends the process with 0", farewell)]),
    "outage": (["sweep"], 0, [
        ("the sound server restarts under a playing song: it goes on where it stopped",
         outage_plays_on),
        ("Pause during an outage: silence after the return, Resume plays on", outage_pause),
        ("closing during an outage: the farewell, and the process ends at once", outage_close)]),
    "playall": ([440, 660, 880], 6, [
        ("Play All heard in order, with Skip and the finish message", play_all),
        ("closing after Play All: the farewell, exit code 0", farewell)]),
    "spacehold": (["sweep"], 0, [
        ("a held space bar toggles once, at its release, on a busy machine", space_holds)]),
    "service": service_run,
    "args": args_run,
    "midi": midi.midi_run,
    "outputs": outputs_run,
    "waveform": waveform_run}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("executable")
    parser.add_argument("--only", choices=RUNS, action="append")
    parser.add_argument("--server", choices=desk.SERVERS, default="pulseaudio",
                        help="the private sound server (pipewire: with pipewire-pulse)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = parser.parse_args()

    def runs(run):
        for name, deck in RUNS.items():
            if args.only and name not in args.only:
                continue
            if callable(deck):
                deck(run)
            else:
                folder = song_folder(run, name, deck[0], deck[1])
                scenarios(run, lambda: prog.Program(run.desktop, run.a11y, run.exe, folder),
                          deck[2])
    return session(os.path.abspath(args.executable), runs, args.keep, args.server)


def session(exe, body, keep=False, server="pulseaudio"):
    """Runs body(run) on a private desktop; returns the exit code."""
    missing = desk.missing_tools(server) + ["python3-pyatspi"] * (not importlib.util.find_spec("pyatspi"))
    if missing:
        print("SKIP: not installed: " + " ".join(missing))
        return 77
    began = time.monotonic()
    # A time-out of the test runner ends the run through the clean-up below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    desktop = desk.Desktop(keep, server=server)
    print(f"e2e: temporary folder {desktop.dir}, sound server {server}", flush=True)
    try:
        run = Run(desktop.start(), prog.Accessibility(desktop.env), exe)
        body(run)
    except desk.SetupError as error:
        print(f"FAIL set-up: {error}")
        return 1
    finally:
        desktop.stop()
    print(f"e2e: {len(run.passed)} passed, {len(run.failures)} failed "
          f"in {time.monotonic() - began:.0f} s")
    for name in run.failures:
        print(f"  failed: {name}")
    return 1 if run.failures or not run.passed else 0


if __name__ == "__main__":
    sys.exit(main())
