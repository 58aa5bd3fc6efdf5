"""A private desktop for one end-to-end run: an X server, a session bus with the accessibility bus,
a sound server with a null sink and a recorder on its monitor, and the X calls the tests drive the
program with. Everything started here carries a marker in its environment, so that the clean-up
also finds what the program and the buses started on their own (a second deck, the AT-SPI
registry) and ends it by its process id. Used by the test's main thread only."""

import contextlib
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

RATE = 44100
CHANNELS = 2
FRAME_BYTES = 2 * CHANNELS
MARKER = "POCKO_E2E_RUN"


class SetupError(RuntimeError):
    pass


def wait_for(probe, timeout, interval=0.1, what="condition"):
    """Polls probe() until it returns something true; returns that, or raises TimeoutError."""
    end = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() >= end:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def missing_tools():
    needed = ["Xvfb", "pulseaudio", "parec", "pactl", "xdotool", "xprop", "sox", "lame",
              "dbus-daemon"]
    return [tool for tool in needed if shutil.which(tool) is None]


class Desktop:
    def __init__(self, keep=False):
        self.dir = tempfile.mkdtemp(prefix="pocko-e2e-")
        self.keep = keep
        self.procs = []
        self.env = dict(os.environ)
        self.env[MARKER] = self.dir
        self.display = None
        self.recording = os.path.join(self.dir, "rec.raw")
        self._xlib = None

    # --- start-up -------------------------------------------------------------------------

    def start(self):
        self._start_x()
        self._start_bus()
        self._start_sound()
        return self

    def spawn(self, args, log_name, env=None, cwd=None, stdout=None):
        log = open(os.path.join(self.dir, log_name), "wb")
        proc = subprocess.Popen(args, env=env or self.env, cwd=cwd or self.dir,
                                stdin=subprocess.DEVNULL, stdout=stdout or log, stderr=log,
                                start_new_session=True)
        self.procs.append(proc)
        return proc

    def _start_x(self):
        read_fd, write_fd = os.pipe()
        log = open(os.path.join(self.dir, "xvfb.log"), "wb")
        proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0",
                                 "1280x1024x24", "-nolisten", "tcp", "-noreset"],
                                env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                pass_fds=(write_fd,), start_new_session=True)
        self.procs.append(proc)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.strip():
            raise SetupError("Xvfb did not start: " + self._tail("xvfb.log"))
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display

    def _start_bus(self):
        # A private session bus; Qt asks it for the accessibility bus, which it starts on demand.
        address = "unix:path=" + os.path.join(self.dir, "session-bus")
        self.spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                    "--address=" + address], "dbus.log")
        wait_for(lambda: os.path.exists(os.path.join(self.dir, "session-bus")), 10,
                 what="the session bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address
        self.env.pop("AT_SPI_BUS_ADDRESS", None)

    def _start_sound(self):
        run = os.path.join(self.dir, "run")
        home = os.path.join(self.dir, "home")
        os.makedirs(run, mode=0o700)
        os.makedirs(home)
        self.env["XDG_RUNTIME_DIR"] = run
        self.env["HOME"] = home
        self.env["PULSE_SERVER"] = "unix:" + os.path.join(self.dir, "native")
        self.env["SDL_AUDIODRIVER"] = "pulseaudio"
        self.start_sound_server()

    def start_sound_server(self):
        """Starts the sound server with the recorder attached; returns the recording time at which
        it first accepts the program's streams. An idle null sink renders about 2 s ahead and stalls
        the first stream, so a low-latency reader on its monitor (the recorder) settles first, on
        a socket of its own, before the program's socket opens."""
        recorder = dict(self.env, PULSE_SERVER="unix:" + os.path.join(self.dir, "recorder"))
        self.pulse = self.spawn(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
             "--use-pid-file=no", "--system=no", "--realtime=no", "--high-priority=no",
             "--log-target=stderr",
             "-L", f"module-null-sink sink_name=deck rate={RATE} channels={CHANNELS}",
             "-L", "module-native-protocol-unix auth-anonymous=1 socket="
             + recorder["PULSE_SERVER"][5:]], "pulseaudio.log")

        def pactl(*args):
            return subprocess.run(["pactl", *args], env=recorder, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0
        try:
            wait_for(lambda: pactl("info"), 15, 0.2, "the sound server")
        except TimeoutError:
            raise SetupError("pulseaudio did not start: " + self._tail("pulseaudio.log"))
        with open(self.recording, "ab") as f:  # a recorder cut off mid-frame
            f.write(bytes(-f.tell() % FRAME_BYTES))
        self.spawn(["parec", "--raw", "--format=s16le", f"--rate={RATE}",
                    f"--channels={CHANNELS}", "-d", "deck.monitor", "--latency-msec=10"],
                   "parec.log", env=recorder, stdout=open(self.recording, "ab"))
        time.sleep(2.5)
        if not pactl("load-module", "module-native-protocol-unix", "auth-anonymous=1",
                     "socket=" + self.env["PULSE_SERVER"][5:]):
            raise SetupError("the program's socket did not open: " + self._tail("pulseaudio.log"))
        return self.now()

    def kill_sound_server(self):
        """Ends the sound server as a crash does; the recording stops with it."""
        self.pulse.kill()
        self.pulse.wait()

    def _tail(self, name):
        try:
            with open(os.path.join(self.dir, name), errors="replace") as f:
                return f.read()[-2000:]
        except OSError:
            return "(no log)"

    # --- the recording ----------------------------------------------------------------------

    def now(self):
        """The recording's length so far in seconds: a time stamp on the recording's own clock."""
        return os.path.getsize(self.recording) // FRAME_BYTES / RATE

    def samples(self, start, end):
        """The left channel between two recording times, as a list of ints."""
        import array
        first = int(start * RATE) * FRAME_BYTES
        last = int(end * RATE) * FRAME_BYTES
        with open(self.recording, "rb") as f:
            f.seek(first)
            data = f.read(max(0, last - first))
        data = data[:len(data) // FRAME_BYTES * FRAME_BYTES]
        frames = array.array("h")
        frames.frombytes(data)
        return frames[0::CHANNELS].tolist()

    def record_until(self, seconds_from_now):
        """Waits until the recording has grown by that many seconds; returns (start, end)."""
        start = self.now()
        end = start + seconds_from_now
        wait_for(lambda: self.now() >= end, seconds_from_now + 10, 0.02, "the recording")
        return start, end

    # --- the X server -----------------------------------------------------------------------

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool", *[str(a) for a in args]], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                timeout=20)
        if check and result.returncode != 0:
            raise RuntimeError(f"xdotool {' '.join(map(str, args))}: {result.stderr.strip()}")
        return result.stdout

    def windows(self, title=None, pid=None, visible=True):
        args = ["search"]
        if visible:
            args.append("--onlyvisible")
        if pid is not None:
            args += ["--all", "--pid", pid]
        args += ["--name", title if title is not None else "."]
        out = self.xdotool(*args, check=False)
        return [int(w) for w in out.split()]

    def title(self, window):
        return self.xdotool("getwindowname", window, check=False).rstrip("\n")

    def geometry(self, window):
        values = {}
        for line in self.xdotool("getwindowgeometry", "--shell", window).splitlines():
            key, _, value = line.partition("=")
            values[key] = int(value)
        return values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]

    def click(self, x, y, button=1):
        self.xdotool("mousemove", "--sync", int(x), int(y), "click", button)

    def press(self, window, *keys):
        """Gives the window the keyboard focus and types the keys, as a user at it would."""
        self.xdotool("windowfocus", "--sync", window, check=False)
        self.xdotool("key", "--clearmodifiers", *keys)

    def key_down(self, window, key):
        """Gives the window the keyboard focus and holds the key down: the X server repeats it."""
        self.xdotool("windowfocus", "--sync", window, check=False)
        self.xdotool("keydown", key)

    def key_up(self, key):
        self.xdotool("keyup", key)

    @contextlib.contextmanager
    def busy(self, loops=2):
        """Keeps the processors busy with shell loops for the length of the block."""
        procs = [subprocess.Popen(["sh", "-c", "while :; do :; done"], env=self.env,
                                  start_new_session=True) for _ in range(loops)]
        try:
            yield
        finally:
            for proc in procs:
                proc.kill()
                proc.wait()

    def type_text(self, window, text):
        self.xdotool("windowfocus", "--sync", window, check=False)
        self.xdotool("type", "--delay", 30, text)

    def property(self, window, name):
        result = subprocess.run(["xprop", "-id", str(window), name], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                timeout=20)
        return result.stdout.strip()

    def close_window(self, window):
        """Asks the window to close, as a window manager's close box does (WM_DELETE_WINDOW)."""
        x = self._x()
        display = x.XOpenDisplay(self.display.encode())
        if not display:
            raise RuntimeError("cannot open " + self.display)
        try:
            protocols = x.XInternAtom(display, b"WM_PROTOCOLS", 0)
            delete = x.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
            event = _XEvent()
            event.xclient.type = 33  # ClientMessage
            event.xclient.window = window
            event.xclient.message_type = protocols
            event.xclient.format = 32
            event.xclient.data[0] = delete
            event.xclient.data[1] = 0  # CurrentTime
            x.XSendEvent(display, window, 0, 0, ctypes.byref(event))
            x.XFlush(display)
        finally:
            x.XCloseDisplay(display)

    def _x(self):
        if self._xlib is None:
            x = ctypes.CDLL("libX11.so.6")
            x.XOpenDisplay.restype = ctypes.c_void_p
            x.XOpenDisplay.argtypes = [ctypes.c_char_p]
            x.XInternAtom.restype = ctypes.c_ulong
            x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
            x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                     ctypes.c_long, ctypes.c_void_p]
            x.XFlush.argtypes = [ctypes.c_void_p]
            x.XCloseDisplay.argtypes = [ctypes.c_void_p]
            self._xlib = x
        return self._xlib

    # --- clean-up ---------------------------------------------------------------------------

    def marked_pids(self):
        """Processes that carry this run's marker: everything started here and its offspring."""
        needle = f"{MARKER}={self.dir}".encode() + b"\0"
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit() or int(entry) == os.getpid():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if needle in f.read() + b"\0":
                        found.append(int(entry))
            except OSError:
                pass
        return found

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGTERM)
                except OSError:
                    pass
        deadline = time.monotonic() + 3
        for proc in self.procs:
            try:
                proc.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except OSError:
                    pass
                proc.wait()
        for pid in self.marked_pids():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)


class _XClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                ("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _XClientMessage), ("pad", ctypes.c_long * 24)]
