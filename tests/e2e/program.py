"""The running program as a user meets it: windows found by title, controls clicked at their places
and read back through the accessibility bus (AT-SPI). Used by the test's main thread only."""

import os
import re
import shutil
import signal
import subprocess

from desktop import wait_for

DECK_TITLE = "Pocko MP3 DJ Player 1.4"
PLAYLIST_TITLE = "  Select an MP3. Click MP3 to load."
DIALOG_TITLE = "Repeats, duration,    start posn  & -->>"
APP_TITLE = "PockoMP3 DJ Player V1.4"
FAREWELL_TITLE = "Quit - Thank you for using PockoMP3."

# Places of the controls in twips (left, top, width, height) within the window's client area;
# 15 twips make a pixel.
DECK = {"F": (360, 240, 650, 255), "thspd": (1080, 240, 195, 255), "P": (1420, 240, 630, 255),
        "tloop": (2160, 240, 255, 255), "R": (3410, 240, 630, 255), "L": (4170, 240, 375, 255),
        "Label1": (360, 680, 3735, 240),
        **{f"{kind}11{slot + 1}": (left + 480 * slot, 1080, 375, 255)
           for kind, left in (("M", 360), ("P", 2760)) for slot in range(3)}}
PLAYLIST = {"tpall": (960, 0, 645, 255), "Label1": (1890, 0, 645, 255)}


class Accessibility:
    """Reads the program's accessible tree. Imported late: the bus address must be set first."""

    def __init__(self, env):
        for key in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[key] = env[key]
        import pyatspi
        self.at = pyatspi

    def window(self, pid, title):
        for app in self.at.Registry.getDesktop(0):
            try:
                if app is not None and app.get_process_id() == pid:
                    app.clear_cache()
                    return next((w for w in app if w is not None and w.name == title), None)
            except Exception:  # an application that went away meanwhile
                continue
        return None

    def tree(self, node):
        try:
            return [n for child in node if child is not None for n in (child, *self.tree(child))]
        except Exception:
            return []

    def extents(self, node):
        try:
            e = node.queryComponent().getExtents(self.at.DESKTOP_COORDS)
            return e.x, e.y, e.width, e.height
        except Exception:  # a node that went away meanwhile
            return None


class Program:
    """One process of the program, started from a copy of the executable in a song folder, or,
    given `args`, from where it lies with those arguments; `title` is the deck's first title."""

    def __init__(self, desktop, a11y, exe, folder, args=None, title=DECK_TITLE, env=None):
        self.desktop = desktop
        self.a11y = a11y
        self.folder = folder
        self.exe = exe if args is not None else os.path.join(folder, "PockoMP3Player")
        if args is None:
            shutil.copy2(exe, self.exe)
        env = dict(desktop.env, **(env or {}), QT_QPA_PLATFORM="xcb", QT_ACCESSIBILITY="1",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", NO_AT_BRIDGE="0", PATH="/usr/bin:/bin",
                   ASAN_OPTIONS="detect_leaks=0", LC_ALL="C.UTF-8")
        # Started from elsewhere than its folder, as from a desktop icon.
        self.proc = desktop.spawn([self.exe, *(args or [])],
                                  f"program-{os.path.basename(folder)}.log", env=env)
        self.pid = self.proc.pid
        try:
            self.deck = wait_for(lambda: self.find(title), 30, 0.2, "the deck window")
        except BaseException:
            self.kill()
            raise

    def find(self, title):
        ids = self.desktop.windows("^" + re.escape(title) + "$", self.pid)
        return ids[0] if ids else None

    def wait_window(self, title, timeout=10):
        return wait_for(lambda: self.find(title), timeout, 0.1, f"window {title!r}")

    def deck_title(self):
        return self.desktop.xdotool("getwindowname", self.deck).rstrip("\n")

    def click(self, window, layout, name, button=1, x_twips=None):
        left, top, width, height = layout[name]
        x = left + (width / 2 if x_twips is None else x_twips)
        self.desktop.click(round(x / 15), round((top + height / 2) / 15), button, window)

    def deck_click(self, name, button=1):
        self.click(self.deck, DECK, name, button)

    def point_at(self, name):
        """Moves the pointer onto a deck control, for a click sent later with xtest_click()."""
        left, top, width, height = DECK[name]
        self.desktop.xdotool("mousemove", "--window", self.deck, "--sync",
                             round((left + width / 2) / 15), round((top + height / 2) / 15))

    def track_bar(self, x_twips):
        self.click(self.deck, DECK, "Label1", 1, x_twips)

    def wait_deck(self, name, caption=None, tooltip=None, timeout=5):
        """Waits until a deck control shows, with the caption and tooltip given (each a regular
        expression when compiled as one); returns (caption, tooltip) read last."""
        seen = [None]
        place = tuple(round(v / 15) for v in DECK[name])

        def probe():
            window = self.a11y.window(self.pid, self.deck_title())
            origin = window and self.a11y.extents(window)
            for node in self.a11y.tree(window) if origin else []:
                e = self.a11y.extents(node)
                if e and (e[0] - origin[0], e[1] - origin[1], e[2], e[3]) == place:
                    seen[0] = node.name, node.description
                    return node.getState().contains(self.a11y.at.STATE_SHOWING) and all(
                        w is None or (w.fullmatch(a) if isinstance(w, re.Pattern) else w == a)
                        for w, a in zip((caption, tooltip), seen[0]))
        try:
            wait_for(probe, timeout, 0.15, f"deck control {name}")
        except TimeoutError:
            raise AssertionError(f"{name}: wanted caption={caption!r} tooltip={tooltip!r}, "
                                 f"read {seen[0]!r}")
        return seen[0]

    def list_entries(self):
        """The playlist's entries as (name, screen place), or None while it is not open."""
        window = self.a11y.window(self.pid, PLAYLIST_TITLE)
        return window and [(n.name, self.a11y.extents(n)) for n in self.a11y.tree(window)
                           if n.getRole() == self.a11y.at.ROLE_LIST_ITEM]

    def pick(self, song):
        """Clicks FILE, then the song's entry; returns the names listed."""
        self.deck_click("F")
        entries = wait_for(self.list_entries, 10, 0.2, "the list entries")
        names = [name for name, _ in entries]
        assert song in names, f"{song} not listed: {names}"
        x, y, w, h = entries[names.index(song)][1]
        self.desktop.click(x + w // 2, y + h // 2)
        return names

    def message(self, title, timeout=10):
        """Waits for a message box with this title; returns (window, its text)."""
        window = self.wait_window(title, timeout)
        box = wait_for(lambda: self.a11y.window(self.pid, title), 5, 0.2, "the box's text")
        return window, box.description

    def dismiss(self, window):
        self.desktop.press(window, "Return")

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
            self.proc.wait()
