"""The ``tarnok`` command's entry point, kept free of imports so that a
Ctrl-C while NumPy, Matplotlib and the engine load ends the command quietly
rather than in a traceback."""

from __future__ import annotations

import signal
import sys

EXIT_INTERRUPTED = 130


def main() -> int:
    """Load the command line and run it; Ctrl-C while loading exits with 130."""
    try:
        from .cli import main as run_command
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        print("tarnok: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    return run_command()
