#!/usr/bin/env python3
"""Types command lines into a user's own interactive bash on a terminal and
presses TAB, as the user would, and checks what the terminal then shows.

    tab-complete.py USER TYPED EXPECTED [TYPED EXPECTED ...]

Each TYPED is typed, then TAB; the line must then show EXPECTED. A TYPED that
ends in a newline is run instead, and its output must show EXPECTED. Exits 1
naming the first line that does not, after ten seconds.

bash runs as USER with only HOME, PATH and TERM set, so it reads the user's
own ~/.bashrc as a new login's terminal does; nothing is sourced by hand.
"""
import os
import pty
import pwd
import re
import select
import sys
import time

WAIT_SECONDS = 10
# What a dumb terminal still receives: carriage returns, bells, and the odd
# CSI sequence from readline.
NOISE = re.compile(rb"\r|\x07|\x1b\[[0-9;?]*[A-Za-z]")


def read_until(fd: int, wanted: bytes, seen: bytearray) -> bool:
    end = time.monotonic() + WAIT_SECONDS
    while time.monotonic() < end:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # the shell ended
                return False
            seen += chunk
            if wanted in NOISE.sub(b"", bytes(seen)):
                return True
    return False


def main() -> int:
    user, pairs = sys.argv[1], sys.argv[2:]
    if not pairs or len(pairs) % 2:
        print(__doc__, file=sys.stderr)
        return 2
    home = pwd.getpwnam(user).pw_dir
    pid, fd = pty.fork()
    if pid == 0:
        os.chdir(home)
        os.execvp("runuser", ["runuser", "-u", user, "--", "env", "-i", f"HOME={home}",
                              "PATH=/usr/bin:/bin", "TERM=dumb", "bash", "-i"])
    seen = bytearray()
    # The quotes keep the typed line's echo from matching the expected text.
    os.write(fd, b"echo RE''ADY\n")
    if not read_until(fd, b"READY\n", seen):
        print(f"tab-complete: bash as {user} did not start: {bytes(seen)!r}", file=sys.stderr)
        return 1
    for typed, expected in zip(pairs[::2], pairs[1::2]):
        seen.clear()
        os.write(fd, typed.encode() if typed.endswith("\n") else typed.encode() + b"\t")
        if not read_until(fd, expected.encode(), seen):
            shown = NOISE.sub(b"", bytes(seen)).decode(errors="replace")
            print(f"tab-complete: {typed!r} did not show {expected!r}; the terminal showed "
                  f"{shown!r}", file=sys.stderr)
            return 1
        os.write(fd, b"\x15")  # Ctrl-U: clear the line for the next one
    os.write(fd, b"exit\n")
    os.waitpid(pid, 0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
