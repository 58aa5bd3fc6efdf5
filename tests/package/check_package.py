#!/usr/bin/env python3
"""check_package.py PACKAGE.deb: checks the Debian package without installing it (its files, its
Depends, lintian, the desktop entry) and plays a song with the program unpacked from it, started
on a folder, under the end-to-end tests' private desktop. Exit code 0 when all of it holds."""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import run_e2e  # noqa: E402  (hands over to the system python, which has the AT-SPI bindings)
from run_e2e import eq, prog  # noqa: E402

FILES = ["usr/bin/PockoMP3Player", "usr/share/applications/pockomp3player.desktop",
         "usr/share/doc/pockomp3player/changelog.gz", "usr/share/doc/pockomp3player/copyright",
         "usr/share/icons/hicolor/scalable/apps/pockomp3player.svg",
         "usr/share/man/man1/PockoMP3Player.1.gz"]
# Each with a version: dpkg-shlibdeps found them in the executable.
LIBRARIES = {"libasound2", "libc6", "libgcc-s1", "libjack-jackd2-0", "libmpg123-0",
             "libpipewire-0.3-0", "libpulse0", "libqt6core6", "libqt6gui6", "libqt6svg6",
             "libqt6widgets6", "librtmidi6", "libsdl2-2.0-0", "libsoxr0", "libstdc++6"}


def output(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def contents(deb, root):
    listing = output("dpkg-deb", "-c", deb)
    depends = output("dpkg-deb", "-f", deb, "Depends").strip()
    lintian = subprocess.run(["lintian", "--pedantic", "-I", deb], capture_output=True, text=True)
    print(f"{listing}Depends: {depends}\nlintian:\n{lintian.stdout}", flush=True)
    eq(sorted(line.split()[-1][2:] for line in listing.splitlines() if line[0] != "d"), FILES,
       "files")
    eq({d.split(" (>= ")[0] for d in depends.split(", ") if "(>= " in d}, LIBRARIES, "Depends")
    assert "E:" not in [line[:2] for line in lintian.stdout.splitlines()], "lintian errors"
    output("desktop-file-validate", os.path.join(root, FILES[1]))


def plays(run, p):
    eq(p.pick("a440.mp3"), ["a440.mp3"], "the folder's songs")
    run.expect_pitch(440, "the unpacked program")


def main():
    deb = os.path.abspath(sys.argv[1])
    root = tempfile.mkdtemp(prefix="pocko-package-")
    exe = os.path.join(root, FILES[0])

    def checks(run):
        run.scenario("files, Depends, lintian and the desktop entry", contents, deb, root)
        folder = run_e2e.song_folder(run, "songs", [440], 10)
        run_e2e.scenarios(run, lambda: prog.Program(run.desktop, run.a11y, exe, folder, [folder]),
                          [("the unpacked program plays a song of its folder", plays)])
    try:
        output("dpkg-deb", "-x", deb, root)
        return run_e2e.session(exe, checks)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
