"""The MIDI run: a private JACK server on its dummy driver, pads made with JACK's Python client,
and the deck's bursts heard."""

import os
import queue
import re
import subprocess
import time

import program as prog
import songs
import sound
from desktop import wait_for


class Pad:
    """A JACK MIDI device: its output writes each hit as a bridge does (in the next cycle, at the
    offset where it was struck), and its input keeps the lights the deck sends it."""

    def __init__(self, name):
        import jack  # python3-jack-client; only this run needs it
        self.name = name
        self.notes = queue.Queue()
        self.waiting = []
        self.lights = []  # (time.monotonic(), note, velocity), as they came
        self.client = jack.Client(name, no_start_server=True)
        self.port = self.client.midi_outports.register("out")
        self.inport = self.client.midi_inports.register("in")
        self.client.set_process_callback(self.process)
        self.client.activate()

    def process(self, frames):
        self.port.clear_buffer()
        while not self.notes.empty():
            self.waiting.append(self.notes.get_nowait())
        first = self.client.last_frame_time
        # A strike at frame F goes out at F + period - this cycle's first frame (frames wrap).
        later, ready = [], []
        for frame, message in self.waiting:
            offset = (frame + frames - first + 2**31) % 2**32 - 2**31
            if offset >= frames:
                later.append((frame, message))  # struck in this cycle
            else:
                ready.append((max(offset, 0), message))
        self.waiting = later
        for offset, message in sorted(ready, key=lambda r: r[0]):
            self.port.write_midi_event(offset, message)
        for _, data in self.inport.incoming_midi_events():
            data = bytes(data)
            if len(data) == 3 and data[0] & 0xf0 == 0x90:
                self.lights.append((time.monotonic(), data[1], data[2]))

    def hit(self, note, velocity=100, channel=1):
        """Strikes the pad now, at a random moment against JACK's cycles."""
        frame = self.client.frame_time
        self.notes.put((frame, bytes([0x90 + channel - 1, note, velocity])))
        self.notes.put((frame, bytes([0x80 + channel - 1, note, 0])))

    def close(self):
        self.client.deactivate()
        self.client.close()


def connections(env, deck="PockoMP3 deck"):
    """The MIDI outputs connected to the inputs of the decks whose client names begin with
    `deck`, as jack_lsp -c lists them."""
    out = subprocess.run(["jack_lsp", "-c"], env=env, capture_output=True, text=True).stdout
    found, port = set(), None
    for line in out.splitlines():
        if not line.startswith(" "):
            port = line
        elif port.startswith(deck):
            found.add(line.strip())
    return found


def deck_ports(env):
    out = subprocess.run(["jack_lsp"], env=env, capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if line.startswith("PockoMP3")]


def midi_run(run):
    """Pads through a private JACK server: heard, connected when they appear, none with --no-midi."""
    desktop = run.desktop
    server = f"pocko-e2e-{os.getpid()}"
    os.environ["JACK_DEFAULT_SERVER"] = desktop.env["JACK_DEFAULT_SERVER"] = server
    env = dict(desktop.env)
    # At real-time priority, as a DJ's JACK runs: without it a busy machine makes the clients
    # miss cycles, and a note written in a cycle its reader missed is lost inside JACK.
    desktop.spawn(["jackd", "-R", "-n", server, "-d", "dummy", "-r", "44100", "-p", "256"],
                  "jackd.log", env=env)
    wait_for(lambda: subprocess.run(["jack_lsp"], env=env, capture_output=True).returncode == 0,
             10, 0.2, "the JACK server")
    folder = os.path.join(desktop.dir, "midi")
    os.makedirs(folder)
    songs.sweep(folder, "sweep")
    tone = songs.tone(folder, "b660", 660, 8)
    pads = [Pad("first pad")]
    deck = None
    try:
        deck = prog.Program(desktop, run.a11y, run.exe, folder, ["--midi-monitor", folder])
        for name, body in (("a pad there at start is connected; note 36 plays P1's burst", pad_p1),
                           ("a pad that appears later is connected within 2 s, and heard",
                            late_pad)):
            run.scenario(name, body, run, deck, pads, env)
        run.scenario("two decks: notes 44 and up play deck 2 only, 36 and up deck 1 only",
                     two_decks, run, tone, pads, env)
        run.scenario("lights read from a JACK MIDI port: M1 once set, P1 while its train "
                     "plays, all dark at close", lights, run, deck, pads, env)
        deck.kill()
        deck = None
        run.scenario("a map file's binding is heard; the pads it does not bind are not",
                     map_file, run, folder, pads, env)
        run.scenario("--no-midi opens no MIDI input", no_midi, run, folder, env)
        run.scenario("a bad map file: its line on stderr, exit 2", bad_map, run, folder)
    finally:
        if deck:
            deck.kill()
        for pad in pads:
            pad.close()
        del desktop.env["JACK_DEFAULT_SERVER"]


def burst_heard(run, pad, what, note=36, channel=10):
    """One burst of P1's 0.5 s from song 0.1 s heard after the note."""
    start = run.desktop.now()
    pad.hit(note, channel=channel)
    stretches = run.heard(start, 1.5, what)
    assert len(stretches) == 1, f"{what}: {len(stretches)} bursts heard, expected 1"
    a, b, c, _ = stretches[0]
    assert abs((b - a) - 0.5) <= 0.03, f"{what}: a burst of {b - a:.3f} s, expected 0.5 s"
    assert abs(c - 0.1) <= 0.05, f"{what}: the burst starts at song {c:.2f} s, expected 0.1 s"
    return start


def pad_p1(run, deck, pads, env):
    wait_for(lambda: "first pad:out" in connections(env), 2.5, 0.1, "the first pad connected")
    deck.pick("sweep.mp3")
    deck.wait_deck("R", caption="Pause")
    deck.deck_click("R")  # paused, so that the burst stands alone in the recording
    deck.wait_deck("R", caption="Resume")
    time.sleep(0.3)
    burst_heard(run, pads[0], "note 36")


def late_pad(run, deck, pads, env):
    pads.append(Pad("late pad"))
    appeared = time.monotonic()
    wait_for(lambda: "late pad:out" in connections(env), 2.0, 0.05, "the late pad connected")
    print(f"    connected after {time.monotonic() - appeared:.2f} s", flush=True)
    time.sleep(0.2)  # a note in the very cycle of the connection may be lost
    burst_heard(run, pads[-1], "note 36 from the late pad")


def paused_deck(run, args, env, name):
    """A deck started on a song with these arguments, its pad connected, paused at once."""
    deck = prog.Program(run.desktop, run.a11y, run.exe, os.path.dirname(args[-1]), args,
                        os.path.basename(args[-1]))
    try:
        wait_for(lambda: "first pad:out" in connections(env, name), 5, 0.1,
                 f"the pad connected to {name}")
        deck.wait_deck("R", caption="Pause")
        deck.deck_click("R")
        deck.wait_deck("R", caption="Resume")
    except BaseException:
        deck.kill()
        raise
    time.sleep(0.3)
    return deck


def nothing_heard(run, pad, note, channel, what):
    start = run.desktop.now()
    pad.hit(note, channel=channel)
    loud = sound.loud_fraction(run.recorded(start, 1.0))
    print(f"    {what}: sound in {loud:.0%} of 1 s", flush=True)
    assert loud == 0, f"{what}: sound in {loud:.0%} of the second after it"


def two_decks(run, tone, pads, env):
    second = paused_deck(run, ["--deck", "2", "--midi-monitor", tone], env, "PockoMP3 deck 2")
    try:
        start = run.desktop.now()
        pads[0].hit(44)  # deck 2's P1: a burst of its tone, and not deck 1's (about 330 Hz)
        heard = run.recorded(start, 1.5)
        tones = [f for _, _, f in sound.cycles(heard)]
        print(f"    note 44: pitch {sound.pitch(heard):.1f} Hz, sound in "
              f"{sound.loud_fraction(heard):.0%} of 1.5 s", flush=True)
        assert abs(sound.pitch(heard) - 660) <= 20, "note 44: not deck 2's song"
        assert abs(sound.loud_fraction(heard) * 1.5 - 0.5) <= 0.05, "note 44: not one burst"
        # Deck 1's burst would be some 160 cycles of 310-360 Hz; a burst's edges make a few odd ones.
        assert sum(290 < f < 380 for f in tones) < 10, "note 44: deck 1 played too"
        start = burst_heard(run, pads[0], "note 36 with two decks")
        heard = run.recorded(start, 1.5)
        assert sum(abs(f - 660) < 15 for _, _, f in sound.cycles(heard)) < 10, \
            "note 36: deck 2 played too"
    finally:
        second.kill()


def lights(run, deck, pads, env):
    pad = pads[0]
    wait_for(lambda: "first pad:in" in connections(env, "PockoMP3 deck 1"), 2, 0.1,
             "the deck's lights connected to the pad's input")
    wait_for(lambda: (40, 0) in [(n, v) for _, n, v in pad.lights], 1, 0.05,
             "M1's state sent on connection")

    def light(note, velocity, after, within):
        def seen():
            return next((t for t, n, v in list(pad.lights) if t >= after and (n, v) ==
                         (note, velocity)), None)
        at = wait_for(seen, within, 0.01, f"note {note} vel {velocity} on the pad's input")
        print(f"    note {note} vel {velocity}: {(at - after) * 1000:.0f} ms after", flush=True)
        return at

    struck = time.monotonic()
    pad.hit(40)
    light(40, 127, struck, 0.5)
    deck.wait_deck("M111", tooltip=re.compile(r"(?!0\.0$).+"))
    struck = time.monotonic()
    pad.hit(36)
    lit = light(36, 127, struck, 0.3)
    dark = light(36, 0, lit, 1.5)
    assert 0.4 <= dark - lit <= 0.8, f"P1 lit for {dark - lit:.3f} s, its train is 0.5 s"
    closing = time.monotonic()
    run.desktop.close_window(deck.deck)
    box, _ = deck.message(prog.FAREWELL_TITLE)
    deck.dismiss(box)
    assert deck.wait_exit(10) == 0, "exit code after the farewell"
    light(40, 0, closing, 0.5)


def map_file(run, folder, pads, env):
    path = os.path.join(folder, "pads.map")
    with open(path, "w") as f:
        f.write("# one pad on channel 3\nnote 60 channel 3 = P1\n")
    deck = paused_deck(run, ["--midi-map", path, os.path.join(folder, "sweep.mp3")], env,
                       "PockoMP3 deck 1")
    try:
        burst_heard(run, pads[0], "note 60 on channel 3", 60, 3)
        nothing_heard(run, pads[0], 60, 1, "note 60 on channel 1")
        nothing_heard(run, pads[0], 36, 10, "note 36, bound only by default")
    finally:
        deck.kill()


def no_midi(run, folder, env):
    deck = prog.Program(run.desktop, run.a11y, run.exe, folder, ["--no-midi", folder])
    try:
        time.sleep(1.5)  # longer than the input takes to connect
        assert not deck_ports(env), f"ports opened: {deck_ports(env)}"
    finally:
        deck.kill()


def bad_map(run, folder):
    path = os.path.join(folder, "pads.map")
    for text, line in (("note 36 = P1\nnote 36 = P2\n", "2: note 36 is bound twice (first on line 1)"),
                       ("# pads\ncc 7 = Label2\n", "2: unknown target Label2")):
        with open(path, "w") as f:
            f.write(text)
        out = subprocess.run([run.exe, "--midi-map", path], timeout=20, text=True,
                             capture_output=True,
                             env={k: v for k, v in run.desktop.env.items() if k != "DISPLAY"})
        assert (out.returncode, out.stderr) == (2, f"PockoMP3Player: {path}:{line}\n"), \
            f"{text!r}: exit {out.returncode}, {out.stderr!r}"
