"""The running program as a user meets it: its windows found by title, its controls clicked at
their places on the deck, and what they show read back through the accessibility bus (AT-SPI),
with the window titles from the X server as the fallback. Used by the test's main thread only."""

import os
import re
import shutil
import signal
import subprocess
import time

from desktop import wait_for

TWIPS_PER_PIXEL = 15
DECK_TITLE = "Pocko MP3 DJ Player 1.4"
PLAYLIST_TITLE = "  Select an MP3. Click MP3 to load."
DIALOG_TITLE = "Repeats, duration,    start posn  & -->>"
APP_TITLE = "PockoMP3 DJ Player V1.4"
FAREWELL_TITLE = "Quit - Thank you for using PockoMP3."

# Places of the controls in twips (left, top, width, height) within each window's client area.
DECK_LAYOUT = {
    "F": (360, 240, 650, 255), "thspd": (1080, 240, 195, 255), "P": (1420, 240, 630, 255),
    "tloop": (2160, 240, 255, 255), "S": (2540, 240, 630, 255), "R": (3410, 240, 630, 255),
    "L": (4170, 240, 375, 255), "Label1": (360, 680, 3735, 240), "T": (4080, 695, 495, 255),
    "M111": (360, 1080, 375, 255), "M112": (840, 1080, 375, 255),
    "M113": (1320, 1080, 375, 255), "tsegs": (2070, 1080, 405, 255),
    "P111": (2760, 1080, 375, 255), "P112": (3240, 1080, 375, 255),
    "P113": (3720, 1080, 375, 255),
}
PLAYLIST_LAYOUT = {
    "tpall": (960, 0, 645, 255), "Label1": (1890, 0, 645, 255), "tsall": (2760, 0, 645, 255),
    "List1": (600, 240, 3135, 1230),
}
DIALOG_LAYOUT = {
    "Text1": (480, 120, 255, 285), "Text2": (1200, 120, 495, 285),
    "Text3": (2160, 120, 1095, 285),
}


def px(twips):
    return int(round(twips / TWIPS_PER_PIXEL))


def title_pattern(title):
    """An anchored POSIX regular expression that matches exactly this window title."""
    return "^" + re.sub(r"([.\[\]()*+?{}|^$\\])", r"\\\1", title) + "$"


class Accessibility:
    """Reads the program's accessible tree. Imported late: the bus address must be set first."""

    def __init__(self, env):
        for key in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"):
            os.environ[key] = env[key]
        import pyatspi
        self.pyatspi = pyatspi

    def application(self, pid):
        for app in self.pyatspi.Registry.getDesktop(0):
            try:
                if app is not None and app.get_process_id() == pid:
                    app.clear_cache()
                    return app
            except Exception:
                continue
        return None

    def window(self, pid, title):
        app = self.application(pid)
        if app is None:
            return None
        for child in app:
            try:
                if child is not None and child.name == title:
                    return child
            except Exception:
                continue
        return None

    def descendants(self, node):
        found = []
        try:
            children = list(node)
        except Exception:
            return found
        for child in children:
            if child is None:
                continue
            found.append(child)
            found.extend(self.descendants(child))
        return found

    def extents(self, node):
        e = node.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        return e.x, e.y, e.width, e.height

    def showing(self, node):
        return node.getState().contains(self.pyatspi.STATE_SHOWING)

    def text(self, node):
        try:
            return node.queryText().getText(0, -1)
        except Exception:
            return node.name

    def controls(self, pid, title, layout):
        """The window's controls by name, matched by their places: name -> accessible."""
        window = self.window(pid, title)
        if window is None:
            return None
        wx, wy, _, _ = self.extents(window)
        wanted = {(px(l), px(t), px(w), px(h)): name for name, (l, t, w, h) in layout.items()}
        found = {}
        for node in self.descendants(window):
            try:
                x, y, w, h = self.extents(node)
            except Exception:
                continue
            name = wanted.get((x - wx, y - wy, w, h))
            if name is not None and name not in found:
                found[name] = node
        return found


class Program:
    """One process of the program, started from a copy of the executable in a song folder, or,
    given `args`, from where it lies with those arguments; `title` is the deck's first title."""

    def __init__(self, desktop, a11y, exe, folder, args=None, title=DECK_TITLE):
        self.desktop = desktop
        self.a11y = a11y
        self.folder = folder
        self.exe = exe if args is not None else os.path.join(folder, "PockoMP3Player")
        if args is None:
            shutil.copy2(exe, self.exe)
        env = dict(desktop.env)
        env.update({"QT_QPA_PLATFORM": "xcb", "QT_ACCESSIBILITY": "1",
                    "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "NO_AT_BRIDGE": "0",
                    "ASAN_OPTIONS": "detect_leaks=0", "PATH": "/usr/bin:/bin",
                    "LC_ALL": "C.UTF-8"})
        # Started from elsewhere than its folder, as from a desktop icon.
        self.proc = desktop.spawn([self.exe, *(args or [])],
                                  "program-%s.log" % os.path.basename(folder), env=env,
                                  cwd=desktop.dir)
        self.pid = self.proc.pid
        self.deck = wait_for(lambda: self.find(title), 30, 0.2, "the deck window")

    # --- windows ----------------------------------------------------------------------------

    def find(self, title, pid=None):
        ids = self.desktop.windows(title_pattern(title), pid=pid or self.pid)
        return ids[0] if ids else None

    def wait_window(self, title, timeout=10):
        return wait_for(lambda: self.find(title), timeout, 0.1, f"window {title!r}")

    def wait_gone(self, title, timeout=10):
        wait_for(lambda: self.find(title) is None, timeout, 0.1, f"window {title!r} to close")

    def deck_title(self):
        return self.desktop.title(self.deck)

    # --- clicks -----------------------------------------------------------------------------

    def click(self, window, layout, name, button=1, x_twips=None):
        wx, wy, _, _ = self.desktop.geometry(window)
        left, top, width, height = layout[name]
        x = wx + px(left + (x_twips if x_twips is not None else width / 2))
        y = wy + px(top + height / 2)
        self.desktop.click(x, y, button)
        # Away from the controls, so that no tooltip lies over the next one.
        self.desktop.xdotool("mousemove", "--sync", 1, 1)

    def deck_click(self, name, button=1):
        self.click(self.deck, DECK_LAYOUT, name, button)

    def track_bar(self, x_twips):
        self.click(self.deck, DECK_LAYOUT, "Label1", 1, x_twips)

    # --- reading ----------------------------------------------------------------------------

    def read(self, title, layout, name):
        """(caption, tooltip, showing) of a control, or None while it is not in the tree."""
        controls = self.a11y.controls(self.pid, title, layout) or {}
        node = controls.get(name)
        if node is None:
            return None
        return node.name, node.description, self.a11y.showing(node)

    def deck_read(self, name):
        return self.read(self.deck_title(), DECK_LAYOUT, name)

    def wait_deck(self, name, caption=None, tooltip=None, showing=True, timeout=5):
        """Waits until a deck control shows the caption / tooltip given (a regex when it has
        a pattern's type); returns what it read last."""
        seen = [None]

        def probe():
            state = self.deck_read(name)
            seen[0] = state
            if state is None:
                return not showing
            cap, tip, shown = state
            if shown != showing:
                return False
            return _matches(caption, cap) and _matches(tooltip, tip)
        try:
            wait_for(probe, timeout, 0.15, f"deck control {name}")
        except TimeoutError:
            raise AssertionError(f"{name}: wanted caption={caption!r} tooltip={tooltip!r} "
                                 f"showing={showing}, read {seen[0]!r}")
        return seen[0]

    def list_entries(self):
        window = self.a11y.window(self.pid, PLAYLIST_TITLE)
        if window is None:
            return None
        items = [n for n in self.a11y.descendants(window)
                 if n.getRole() == self.a11y.pyatspi.ROLE_LIST_ITEM]
        return [(n.name, self.a11y.extents(n)) for n in items]

    def pick(self, song):
        """Opens the playlist window with FILE and clicks the song's entry."""
        self.deck_click("F")
        self.wait_window(PLAYLIST_TITLE)
        entries = wait_for(lambda: self.list_entries(), 10, 0.2, "the list entries")
        for name, (x, y, w, h) in entries:
            if name == song:
                self.desktop.click(x + w // 2, y + h // 2)
                self.desktop.xdotool("mousemove", "--sync", 1, 1)
                return [n for n, _ in entries]
        raise AssertionError(f"{song} not listed: {[n for n, _ in entries]}")

    def message(self, title, timeout=10):
        """Waits for a message box with this title; returns (window, its text)."""
        window = self.wait_window(title, timeout)
        text = None
        try:
            node = wait_for(lambda: self.a11y.window(self.pid, title), 5, 0.2, "the box")
            text = node.description
            if not text:
                labels = [self.a11y.text(n) for n in self.a11y.descendants(node)
                          if n.getRole() == self.a11y.pyatspi.ROLE_LABEL]
                text = "\n".join(t for t in labels if t)
        except TimeoutError:
            pass
        return window, text

    def dismiss(self, window):
        self.desktop.press(window, "Return")

    # --- the end ----------------------------------------------------------------------------

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGKILL)
            self.proc.wait()


def _matches(wanted, actual):
    if wanted is None:
        return True
    if isinstance(wanted, re.Pattern):
        return actual is not None and wanted.fullmatch(actual) is not None
    return wanted == actual


def sleep(seconds):
    time.sleep(seconds)
