"""The MIDI run: a private JACK server on its dummy driver, pads made with JACK's Python client,
and the deck's bursts heard."""

import hashlib
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
        self.sent = []  # JACK's frame of each note-on as it went out
        self.flood = None  # (note, per second, until JACK frame) while a flood goes out
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
        for offset, message in ready:
            if message[0] & 0xf0 == 0x90:
                self.sent.append(first + offset)
        if self.flood:
            note, rate, until = self.flood
            count = round(rate * frames / self.client.samplerate)
            for i in range(count if first < until else 0):
                ready.append((i * frames // count, bytes([0x90, note, 100])))
            if first >= until:
                self.flood = None
        # JACK takes a cycle's events in the order of their offsets.
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

    def seconds_between(self, first, last):
        """The time between two note-ons sent, by their cycles' JACK frames."""
        return (self.sent[last] - self.sent[first]) / self.client.samplerate

    def start_flood(self, note, rate, seconds):
        self.flood = (note, rate, self.client.frame_time + int(seconds * self.client.samplerate))

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
    # JACK's registry holds 8 servers, and a killed one's entry is freed only when a server of its
    # name starts again: a name fixed for this checkout reuses its entry, and checkouts side by
    # side do not meet.
    server = "pocko-e2e-" + hashlib.sha1(os.path.abspath(__file__).encode()).hexdigest()[:8]
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
        for name, note in (("a Stop pad", 43), ("an M1 pad (a mark, no sound of its own)", 40)):
            run.scenario(f"{name} 300 ms into a train of 3 x 500 ms: silence within 30 ms",
                         stop_in_train, run, folder, pads, env, note)
        run.scenario("three Play pads with no song: no box, then a picked song plays",
                     play_without_song, run, folder, pads, env)
        run.scenario("one map file for two decks: each note heard on its own deck only",
                     two_deck_map, run, folder, tone, pads, env)
        run.scenario("10,000 notes a second for 2 s on M1: a click answered, memory flat, "
                     "no backlog", flood, run, folder, pads, env)
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


def stop_in_train(run, folder, pads, env, note):
    deck = paused_deck(run, [os.path.join(folder, "sweep.mp3")], env, "PockoMP3 deck 1")
    try:
        deck.deck_click("P111", button=3)
        dialog = deck.wait_window(prog.DIALOG_TITLE)
        run.desktop.press(dialog, "ctrl+a", "3")  # the repeats have the focus
        run.desktop.close_window(dialog)
        deck.wait_deck("P111", caption="P1")
        pad = pads[0]
        first = len(pad.sent)
        start = run.desktop.now()
        pad.hit(36)  # P1: three bursts of 500 ms
        time.sleep(0.3)
        pad.hit(note)
        stretches = run.heard(start, 2.0, f"P1, then note {note}")
        wait_for(lambda: len(pad.sent) >= first + 2, 1, 0.05, "both notes sent")
        between = pad.seconds_between(first, first + 1)
        assert len(stretches) == 1, f"{len(stretches)} stretches heard, expected 1"
        heard = stretches[0][1] - stretches[0][0]
        print(f"    hits {between * 1000:.1f} ms apart, sound for {heard * 1000:.1f} ms", flush=True)
        assert abs(heard - between) <= 0.03, \
            f"sound for {heard * 1000:.0f} ms after P1, note {note} {between * 1000:.0f} ms after it"
    finally:
        deck.kill()


def play_without_song(run, folder, pads, env):
    deck = prog.Program(run.desktop, run.a11y, run.exe, folder, [folder])
    try:
        wait_for(lambda: "first pad:out" in connections(env, "PockoMP3 deck 1"), 5, 0.1,
                 "the pad connected")
        for _ in range(3):
            pads[0].hit(39)
            time.sleep(0.2)
        time.sleep(0.5)
        box = deck.find("Mp3 File name not entered.")
        assert box is None, "a Play pad with no song opened the box"
        log = run.desktop.tail(f"program-{os.path.basename(folder)}.log")
        told = log.count("PockoMP3Player: No file specified.")
        print(f"    stderr told it {told} times", flush=True)
        assert told >= 3, f"the box's text not told on stderr: {log[-300:]!r}"
        deck.pick("sweep.mp3")
        deck.wait_deck("R", caption="Pause")
        loud = sound.loud_fraction(run.listen(1.0, 0.3))
        assert loud > 0.9, f"the picked song: sound in {loud:.0%} of 1 s"
    finally:
        deck.kill()


def two_deck_map(run, folder, tone, pads, env):
    path = os.path.join(folder, "two.map")
    with open(path, "w") as f:
        f.write("note 60 = P1\n[deck 2]\nnote 61 = P1\n")
    first = paused_deck(run, ["--midi-map", path, os.path.join(folder, "sweep.mp3")], env,
                        "PockoMP3 deck 1")
    try:
        # As LT starts it: the same file, deck 2.
        second = paused_deck(run, ["--deck", "2", "--midi-map", path, tone], env,
                             "PockoMP3 deck 2")
        try:
            start = run.desktop.now()
            pads[0].hit(61)
            heard = run.recorded(start, 1.5)
            tones = [f for _, _, f in sound.cycles(heard)]
            print(f"    note 61: pitch {sound.pitch(heard):.1f} Hz, sound in "
                  f"{sound.loud_fraction(heard):.0%} of 1.5 s", flush=True)
            assert abs(sound.pitch(heard) - 660) <= 20, "note 61: not deck 2's song"
            assert sum(290 < f < 380 for f in tones) < 10, "note 61: deck 1 played too"
            start = burst_heard(run, pads[0], "note 60", 60, 1)
            heard = run.recorded(start, 1.5)
            assert sum(abs(f - 660) < 15 for _, _, f in sound.cycles(heard)) < 10, \
                "note 60: deck 2 played too"
            nothing_heard(run, pads[0], 36, 1, "note 36, a default pad the file replaces")
        finally:
            second.kill()
    finally:
        first.kill()


def resident_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def flood(run, folder, pads, env):
    deck = paused_deck(run, [os.path.join(folder, "sweep.mp3")], env, "PockoMP3 deck 1")
    pad = pads[0]
    try:
        before = resident_kb(deck.pid)
        pad.start_flood(40, 10000, 2.0)  # M1 of the default pads
        time.sleep(0.7)
        start = run.desktop.now()
        deck.deck_click("R")  # Resume, heard
        stretches = run.heard(start, 0.5, "Resume clicked during the flood")
        assert stretches, "the click during the flood was not heard within 0.5 s"
        print(f"    click to sound {stretches[0][0] * 1000:.0f} ms (xdotool's start included)",
              flush=True)
        assert stretches[0][0] <= 0.1, f"click to sound {stretches[0][0] * 1000:.0f} ms"
        deck.deck_click("R")  # paused again, so that the burst below stands alone
        deck.wait_deck("R", caption="Resume")
        wait_for(lambda: pad.flood is None, 3, 0.01, "the flood's end")
        start = run.desktop.now()
        # P1 at once after the flood: a burst of 500 ms, from the last M1 the flood marked.
        pad.hit(36)
        stretches = run.heard(start, 1.0, "P1 right after the flood")
        after = resident_kb(deck.pid)
        print(f"    resident {before} kB before, {after} kB after", flush=True)
        assert stretches, "P1 right after the flood: nothing heard"
        a, b, _, _ = stretches[0]
        assert abs((b - a) - 0.5) <= 0.03 and a <= 0.05, \
            f"P1 right after the flood: [{a:.3f}-{b:.3f} s], expected a 0.5 s burst within 50 ms"
        assert after - before <= 4096, f"memory grew by {after - before} kB in the flood"
    finally:
        pad.flood = None
        deck.kill()
