"""What an evaluation will need, estimated before it starts, so that a request
beyond the machine is refused with a message instead of failing halfway (or
bringing the machine to a crawl).

The derivatives of two or more parameters come from a backward pass, which
keeps a record of the time-by-depth grid, per thread evaluating; the engine
says how large (it keeps a long record in segments, rebuilt from
checkpoints, so that it stays bounded on fine grids)."""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .experiment import Experiment

_CGROUP_LIMIT = Path("/sys/fs/cgroup/memory.max")
_CGROUP_USAGE = Path("/sys/fs/cgroup/memory.current")


def derivative_record_bytes(experiment: "Experiment", n_varied: int) -> int:
    """Bytes one thread keeps while it evaluates the derivatives of ``n_varied``
    parameters (none below two: one derivative is carried forward)."""
    if n_varied < 2:
        return 0
    from . import _core

    # Extrapolated in depth, the finer of its two grids has twice the slices.
    z_slices = experiment.z_slices * (2 if getattr(experiment, "depth_extrapolation", False) else 1)
    return int(_core.derivative_record_bytes(experiment.t_slices, z_slices))


def available_memory() -> int | None:
    """Bytes the process can still take: the system's available memory, or the
    control group's remaining allowance when that is smaller; None if unknown."""
    limits = []
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemAvailable:"):
                limits.append(int(line.split()[1]) * 1024)
    except (OSError, ValueError, IndexError):
        pass
    try:
        limit = _CGROUP_LIMIT.read_text().strip()
        if limit != "max":
            limits.append(int(limit) - int(_CGROUP_USAGE.read_text().strip()))
    except (OSError, ValueError):
        pass
    return min(limits) if limits else None


def check_derivative_memory(experiment: "Experiment", n_varied: int, threads: int) -> None:
    """Refuse an evaluation whose derivative records would not fit in memory.

    Raises
    ------
    MemoryError
        Naming the grid, the estimate and what is available.
    """
    per_thread = derivative_record_bytes(experiment, n_varied)
    needed = per_thread * max(1, threads)
    if needed == 0:
        return
    available = available_memory()
    if available is not None and needed > available:
        raise MemoryError(
            f"derivatives of {n_varied} parameters on a grid of t_slices x z_slices = "
            f"{experiment.t_slices} x {experiment.z_slices} need about {_size(needed)} "
            f"({threads} thread{'s' if threads != 1 else ''} x {_size(per_thread)}), but only "
            f"{_size(max(available, 0))} are available; use fewer slices or fewer threads")


def _size(count: int) -> str:
    return f"{count / 2**30:.1f} GiB" if count >= 2**30 else f"{count / 2**20:.0f} MiB"


def cpu_count() -> int:
    """Cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1
