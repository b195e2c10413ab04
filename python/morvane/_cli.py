"""The `mhost` command of an installed wheel: the host program shipped inside
the package, run in place of this process."""

import os
import sys
from pathlib import Path


def main() -> None:
    program = Path(__file__).resolve().parent / "bin" / "mhost"
    if not os.access(program, os.X_OK):
        sys.exit(f"mhost: the host program is missing from the package ({program})")
    os.execv(program, [str(program), *sys.argv[1:]])


if __name__ == "__main__":
    main()
