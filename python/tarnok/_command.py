"""The ``tarnok`` command's entry point, kept free of imports so that a
Ctrl-C while NumPy, Matplotlib and the engine load ends the command quietly
rather than in a traceback or a broken import."""

from __future__ import annotations

# All loaded before any code runs (_signal is built in); the signal module
# proper is imported with the rest, where Ctrl-C is caught.
import _signal
import os
import sys

EXIT_INTERRUPTED = 130


def main() -> int:
    """Load the command line and run it; Ctrl-C while loading exits with 130."""
    # While the modules load, Ctrl-C ends the process from its handler, at
    # once: raised as an exception inside the initialisation of a compiled
    # module it would surface as an ImportError, or leave that module half
    # made. Nothing has been written yet that could be left incomplete.
    default = _signal.signal(_signal.SIGINT, _end_while_loading)
    from .cli import main as run_command
    _signal.signal(_signal.SIGINT, default)
    status = run_command()
    return _leave_interrupted() if status == EXIT_INTERRUPTED else status


def _end_while_loading(signum: int, frame: object) -> None:
    _signal.signal(_signal.SIGINT, _signal.SIG_IGN)
    print("tarnok: interrupted", file=sys.stderr)
    _leave_interrupted()


def _leave_interrupted() -> int:
    # A Ctrl-C that reached an extension module while it ran Python code
    # during its import leaves the interpreter marked as ended by Ctrl-C,
    # and it would then kill itself with SIGINT at exit whatever status is
    # returned. Everything is written and flushed by now, so the process
    # ends here, with the status of an interrupted command.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(EXIT_INTERRUPTED)
