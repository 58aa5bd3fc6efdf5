"""A private desktop for one end-to-end run: an X server, a session bus, a sound server (PulseAudio,
or PipeWire with its PulseAudio service) whose null sink is recorded, and the X calls. What is started here carries a marker in its environment, so
the clean-up also ends what the program and the buses started on their own (a second deck)."""

import array
import contextlib
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

RATE = 44100
FRAME_BYTES = 4  # 16-bit stereo
MARKER = "POCKO_E2E_RUN"
SERVERS = ("pulseaudio", "pipewire")
# The recorders' fragment. PipeWire runs its graph at the shortest cycle any stream asks for: at
# 10 ms the recorder alone would hold it at 256 frames whatever the program asks; 12 ms leaves the
# program's own choice (512 frames).
RECORDER_MS = {"pulseaudio": 10, "pipewire": 10}
# XDG_CONFIG_HOME of the private PipeWire: drop-ins over the packaged configuration.
PIPEWIRE_CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pipewire-config")


class SetupError(RuntimeError):
    pass


def wait_for(probe, timeout, interval=0.1, what="condition"):
    """Polls probe() until it returns something true; returns that, or raises TimeoutError."""
    end = time.monotonic() + timeout
    while not (value := probe()):
        if time.monotonic() >= end:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)
    return value


def missing_tools(server="pulseaudio"):
    servers = {"pulseaudio": ("pulseaudio",),
               "pipewire": ("pipewire", "wireplumber", "pipewire-pulse")}[server]
    return [tool for tool in ("Xvfb", *servers, "parec", "pactl", "xdotool", "xprop", "sox",
                              "lame", "dbus-daemon") if shutil.which(tool) is None]


class Recording:
    """What a recorder wrote of one sink's monitor, raw 16-bit stereo, on its own clock."""

    def __init__(self, path):
        self.path = path

    def pad(self):
        """Completes the frame a recorder that was cut off left unfinished."""
        with open(self.path, "ab") as f:
            f.write(bytes(-f.tell() % FRAME_BYTES))

    def now(self):
        return os.path.getsize(self.path) // FRAME_BYTES / RATE

    def samples(self, start, end):
        first = int(start * RATE) * FRAME_BYTES
        with open(self.path, "rb") as f:
            f.seek(first)
            data = f.read(max(0, int(end * RATE) * FRAME_BYTES - first))
        frames = array.array("h", data[:len(data) // FRAME_BYTES * FRAME_BYTES])
        return frames[0::2].tolist()


class Desktop:
    def __init__(self, keep=False, realtime_server=False, server="pulseaudio"):
        self.dir = tempfile.mkdtemp(prefix="pocko-e2e-")
        self.keep = keep
        self.server = server
        self.server_priority = "yes" if realtime_server else "no"
        self.sound = []  # the sound server's processes
        self.procs = []
        self.env = dict(os.environ, **{MARKER: self.dir})
        self.env.pop("AT_SPI_BUS_ADDRESS", None)
        self.recording = os.path.join(self.dir, "rec.raw")
        self.recorder = None  # the env of the recorder's own socket, once the server runs
        self.sinks = {}  # the further null sinks: name -> (module index, recording)
        self.xtest = None  # the X libraries and the display that xtest_click() uses

    def start(self):
        read_fd, write_fd = os.pipe()  # Xvfb writes the number of the first free display to it
        self.spawn(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24",
                    "-nolisten", "tcp", "-noreset"], "xvfb.log", pass_fds=(write_fd,))
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            raise SetupError("Xvfb did not start: " + self.tail("xvfb.log"))
        bus = os.path.join(self.dir, "session-bus")
        self.env.update(DISPLAY=":" + number, DBUS_SESSION_BUS_ADDRESS="unix:path=" + bus,
                        XDG_RUNTIME_DIR=os.path.join(self.dir, "run"),
                        HOME=os.path.join(self.dir, "home"), SDL_AUDIODRIVER="pulseaudio",
                        PULSE_SERVER="unix:" + os.path.join(self.dir, "native"))
        if self.server == "pipewire":
            # The program's own PipeWire socket, a link made when its PulseAudio socket is.
            self.env["PIPEWIRE_REMOTE"] = os.path.join(self.dir, "pipewire-program")
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        os.makedirs(self.env["HOME"])
        self.spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                    "--address=unix:path=" + bus], "dbus.log")
        wait_for(lambda: os.path.exists(bus), 10, what="the session bus")
        self.start_sound_server()
        return self

    def spawn(self, args, log_name, env=None, stdout=None, pass_fds=()):
        log = open(os.path.join(self.dir, log_name), "ab")
        proc = subprocess.Popen(args, env=env or self.env, cwd=self.dir, stderr=log,
                                stdout=stdout or log, stdin=subprocess.DEVNULL, pass_fds=pass_fds,
                                start_new_session=True)
        self.procs.append(proc)
        return proc

    def tail(self, name):
        with open(os.path.join(self.dir, name), errors="replace") as f:
            return f.read()[-2000:]

    def start_sound_server(self):
        """Starts the sound server with the recorder attached; returns the recording time at which
        it first accepts the program's streams. The recorder, a low-latency reader on the null
        sink's monitor, settles first on a socket of its own, before the program's socket opens:
        an idle PulseAudio null sink renders about 2 s ahead and stalls the first stream otherwise,
        and a program that played before the recorder listened would be heard late."""
        if self.server == "pipewire":
            recorder, settle = self.start_pipewire(), 1.0
        else:
            recorder, settle = self.start_pulseaudio(), 2.5
        self.recorder = recorder
        Recording(self.recording).pad()
        self.spawn(["parec", "--raw", "--format=s16le", f"--rate={RATE}", "--channels=2",
                    "-d", "deck.monitor", f"--latency-msec={RECORDER_MS[self.server]}"],
                   "parec.log", env=recorder,
                   stdout=open(self.recording, "ab"))
        time.sleep(settle)
        socket = self.env["PULSE_SERVER"][5:]
        if self.server == "pipewire":
            # pipewire-pulse serves one socket: the program's path becomes a link to it now, and
            # so does its path to PipeWire's own. Earlier, its stream would play on the session
            # manager's dummy sink while the null sink is being made.
            for target, link in ((recorder["PULSE_SERVER"][5:], socket),
                                 (os.path.join(self.env["XDG_RUNTIME_DIR"], "pipewire-0"),
                                  self.env["PIPEWIRE_REMOTE"])):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(link)
                os.symlink(target, link)
        elif not self.pactl(recorder, "load-module", "module-native-protocol-unix",
                            "auth-anonymous=1", "socket=" + socket):
            raise SetupError("the program's socket did not open: " + self.tail("pulseaudio.log"))
        return self.now()

    def pactl(self, env, *args):
        return subprocess.run(["pactl", *args], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def wait_for_server(self, env, log):
        try:
            wait_for(lambda: self.pactl(env, "info"), 15, 0.2, "the sound server")
        except TimeoutError:
            raise SetupError(f"the sound server did not start: {self.tail(log)}")

    def start_pulseaudio(self):
        """PulseAudio with the null sink and the recorder's socket; returns the recorder's env."""
        recorder = dict(self.env, PULSE_SERVER="unix:" + os.path.join(self.dir, "recorder"))
        self.sound = [self.spawn(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
             "--use-pid-file=no", "--system=no", "--realtime=" + self.server_priority,
             "--high-priority=" + self.server_priority,
             "--log-target=stderr", "-L", f"module-null-sink sink_name=deck rate={RATE} channels=2",
             "-L", "module-native-protocol-unix auth-anonymous=1 socket="
             + recorder["PULSE_SERVER"][5:]], "pulseaudio.log")]
        self.wait_for_server(recorder, "pulseaudio.log")
        return recorder

    def start_pipewire(self):
        """PipeWire, its session manager and its PulseAudio service, on the desktop's runtime
        folder and session bus, with the packaged configuration and the drop-ins of
        PIPEWIRE_CONFIG; the null sink made through the PulseAudio service and made the default.
        Returns the recorder's env. PipeWire runs its graph at real-time priority itself."""
        # A copy in the desktop's folder: the PulseAudio service writes its cookie there.
        config = os.path.join(self.dir, "pipewire-config")
        if not os.path.isdir(config):
            shutil.copytree(PIPEWIRE_CONFIG, config)
        env = dict(self.env, XDG_CONFIG_HOME=config)
        env.pop("PIPEWIRE_REMOTE", None)
        recorder = dict(env, PULSE_SERVER="unix:" + os.path.join(
            self.env["XDG_RUNTIME_DIR"], "pulse", "native"))
        recorder.pop("XDG_CONFIG_HOME")
        self.sound = [self.spawn(["pipewire"], "pipewire.log", env=env)]
        wait_for(lambda: os.path.exists(os.path.join(self.env["XDG_RUNTIME_DIR"], "pipewire-0")),
                 10, 0.05, "the pipewire socket")
        self.sound += [self.spawn(["wireplumber"], "wireplumber.log", env=env),
                       self.spawn(["pipewire-pulse"], "pipewire-pulse.log", env=env)]
        self.wait_for_server(recorder, "pipewire-pulse.log")
        # The service answers before the session manager has settled, and a sink loaded then
        # may be refused or appear late: load until it is listed, then make it the default.
        def sink_made():
            if self.sink_listed(recorder, "deck"):
                return True
            self.pactl(recorder, "load-module", "module-null-sink", "sink_name=deck",
                       f"rate={RATE}", "channels=2")
            return False
        try:
            wait_for(sink_made, 15, 0.3, "the null sink")
            wait_for(lambda: self.pactl(recorder, "set-default-sink", "deck"), 5, 0.2,
                     "the default sink")
        except TimeoutError as e:
            raise SetupError(f"no null sink ({e}): " + self.tail("pipewire-pulse.log")
                             + self.tail("wireplumber.log"))
        return recorder

    def sink_listed(self, env, name):
        listed = subprocess.run(["pactl", "list", "short", "sinks"], env=env, text=True,
                                capture_output=True).stdout
        return any(line.split("\t")[1:2] == [name] for line in listed.splitlines())

    def kill_sound_server(self):
        """Ends the sound server as a crash does (PipeWire: the whole stack, as a restart of the
        user's audio service does); the recording stops with it."""
        for proc in self.sound:
            proc.kill()
        for proc in self.sound:
            proc.wait()
        if self.server == "pipewire":  # so that the next start waits for sockets that listen
            for path in (self.env["PULSE_SERVER"][5:], self.env["PIPEWIRE_REMOTE"],
                         os.path.join(self.env["XDG_RUNTIME_DIR"], "pipewire-0")):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(path)

    def add_sink(self, name, description):
        """A further null sink with a recorder of its own; returns its Recording. A sink loaded
        again after remove_sink records on at the end of the same recording."""
        loaded = subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=" + name,
                                 f"rate={RATE}", "channels=2",
                                 "sink_properties=device.description=" + description],
                                env=self.recorder, text=True, capture_output=True)
        if loaded.returncode != 0:
            raise SetupError(f"no sink {name}: {loaded.stderr}")
        wait_for(lambda: self.sink_listed(self.recorder, name), 10, 0.1, f"the sink {name}")
        recording = Recording(os.path.join(self.dir, f"rec-{name}.raw"))
        recording.pad()
        recorder = self.spawn(["parec", "--raw", "--format=s16le", f"--rate={RATE}",
                               "--channels=2", "-d", name + ".monitor",
                               f"--latency-msec={RECORDER_MS[self.server]}"],
                              f"parec-{name}.log", env=self.recorder,
                              stdout=open(recording.path, "ab"))
        self.sinks[name] = (loaded.stdout.strip(), recorder)
        wait_for(lambda: recording.now() > 0.2, 10, 0.05, f"the recording of {name}")
        return recording

    def remove_sink(self, name):
        """Unloads the sink as an unplugged interface goes; its recorder ends first, so that it
        is not moved to another sink's monitor."""
        module, recorder = self.sinks.pop(name)
        recorder.kill()
        recorder.wait()
        if not self.pactl(self.recorder, "unload-module", module):
            raise SetupError(f"the sink {name} could not be unloaded")

    def sound_server_down(self):
        return any(proc.poll() is not None for proc in self.sound)

    def now(self):
        """The recording's length so far in seconds: a time stamp on the recording's own clock."""
        return Recording(self.recording).now()

    def samples(self, start, end):
        """The left channel between two recording times, as a list of ints."""
        return Recording(self.recording).samples(start, end)

    def record_until(self, end):
        wait_for(lambda: self.now() >= end, end - self.now() + 10, 0.02, "the recording")

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True,
                              text=True, timeout=20).stdout

    def windows(self, title, pid=None):
        """Mapped windows whose title matches this regular expression, of one process or any."""
        of = ["--pid", pid] if pid else []
        return [int(w) for w in self.xdotool("search", "--onlyvisible", "--all", *of, "--name",
                                             title).split()]

    def property(self, window, name):
        return subprocess.run(["xprop", "-id", str(window), name], env=self.env, timeout=20,
                              capture_output=True, text=True).stdout

    def click(self, x, y, button=1, window=None):
        """Clicks at a place of the screen or window; then away, so no tooltip hides the next."""
        place = ["--window", window] if window else []
        self.xdotool("mousemove", *place, "--sync", int(x), int(y), "click", button)
        self.xdotool("mousemove", "--sync", 1, 1)

    def xtest_click(self, button=1):
        """Presses and releases a button where the pointer is, through XTest from this process, so
        that no xdotool process starts between the time taken and the click (10-36 ms here).
        Returns the recording time taken just before the events are flushed."""
        if self.xtest is None:
            x11, xtst = ctypes.CDLL("libX11.so.6"), ctypes.CDLL("libXtst.so.6")
            x11.XOpenDisplay.restype = ctypes.c_void_p
            self.xtest = (x11, xtst, ctypes.c_void_p(x11.XOpenDisplay(self.env["DISPLAY"].encode())))
        x11, xtst, display = self.xtest
        xtst.XTestFakeButtonEvent(display, button, 1, 0)
        xtst.XTestFakeButtonEvent(display, button, 0, 0)
        at = self.now()
        x11.XFlush(display)
        return at

    def press(self, window, *keys):
        """Gives the window the keyboard focus and types the keys, as a user at it would."""
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", "--clearmodifiers", *keys)

    def close_window(self, window):
        """Asks the window to close, as a window manager's close box does (WM_DELETE_WINDOW)."""
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        display = ctypes.c_void_p(x.XOpenDisplay(self.env["DISPLAY"].encode()))
        # A ClientMessage as the longs of an XEvent: type, serial, send_event, display, window,
        # message type, format, then the protocol and the time (CurrentTime).
        atom = lambda name: x.XInternAtom(display, name, 0)  # noqa: E731
        event = (ctypes.c_long * 24)(33, 0, 0, 0, window, atom(b"WM_PROTOCOLS"), 32,
                                     atom(b"WM_DELETE_WINDOW"))
        x.XSendEvent(display, ctypes.c_ulong(window), 0, 0, event)
        x.XCloseDisplay(display)  # flushes

    def marked_pids(self):
        """Processes that carry this run's marker: everything started here and its offspring."""
        needle = f"{MARKER}={self.dir}\0".encode()
        found = []
        for pid in map(int, filter(str.isdigit, os.listdir("/proc"))):
            with contextlib.suppress(OSError), open(f"/proc/{pid}/environ", "rb") as f:
                if needle in f.read() + b"\0" and pid != os.getpid():
                    found.append(pid)
        return found

    def stop(self):
        """Ends everything marked: asks first, and kills what is left after 3 s."""
        for sig, grace in ((signal.SIGTERM, 3), (signal.SIGKILL, 5)):
            for pid in self.marked_pids():
                with contextlib.suppress(OSError):
                    os.kill(pid, sig)
            with contextlib.suppress(TimeoutError):
                wait_for(lambda: not self.marked_pids(), grace, 0.05)
        for proc in self.procs:
            proc.wait()
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)
