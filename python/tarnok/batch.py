"""Fitting many run descriptions at once, each in its own process: on a local
process pool by default, or on any ``concurrent.futures.Executor`` such as
the one a Dask client hands out (``client.get_executor()``).

Each task travels as the run file's path (or the validated description) and
comes back as a :class:`~tarnok.fit.FitResult`. The compiled model behind an
:class:`~tarnok.Experiment` cannot be pickled, so a result crosses the process
boundary without it and gets it rebuilt from its plain fields on arrival."""

from __future__ import annotations

import dataclasses
import multiprocessing
import os
import pickle
import queue
import threading
from collections.abc import Iterable
from concurrent.futures import Executor, Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import TYPE_CHECKING, Any, Union

from .experiment import Experiment
from .parameters import Parameters
from .runfile import RunDescription, load_run

if TYPE_CHECKING:
    from .fit import FitResult

RunSource = Union[str, "os.PathLike[str]", RunDescription]
"""A run file's path, or a run description already loaded."""

# Several fits side by side each get one thread unless their run file asks for
# more, so that n processes do not start n x cores threads.
BATCH_THREADS = 1


class BatchRunError(Exception):
    """A failure inside a worker whose own exception could not be sent back.

    Attributes
    ----------
    kind : str
        The name of the original exception's type (e.g. ``"DataFileError"``).
    """

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(kind, message)
        self.kind = kind

    def __str__(self) -> str:
        return f"{self.kind}: {self.args[1]}"


@dataclasses.dataclass(frozen=True)
class _Shipment:
    """A FitResult without its Experiment, plus what rebuilds that Experiment."""

    result: Any
    experiment: dict[str, Any] | None

    def unpack(self) -> "FitResult":
        if self.experiment is not None:
            self.result.experiment = Experiment(**self.experiment)
        return self.result


def _portable(error: BaseException) -> BaseException:
    """The error itself when it survives pickling, else a BatchRunError
    carrying its type name and message."""
    try:
        pickle.loads(pickle.dumps(error))
    except Exception:
        return BatchRunError(type(error).__name__, str(error))
    return error


def fit_run(run: RunSource) -> _Shipment:
    """Load (if needed) and fit one run description; the task each worker runs.

    Parameters
    ----------
    run : path-like or RunDescription

    Returns
    -------
    _Shipment
        The result, ready to pickle; :meth:`_Shipment.unpack` restores it.

    Raises
    ------
    Exception
        Whatever loading or fitting raised, replaced by :class:`BatchRunError`
        when it cannot be pickled.
    """
    try:
        return _fit(run)
    except Exception as error:
        portable = _portable(error)
        if portable is error:
            raise
        raise portable from None


def _fit(run: RunSource) -> _Shipment:
    from .fit import fit

    description = run if isinstance(run, RunDescription) else load_run(run)
    data, _ = description.load_data()
    settings = description.fit
    threads = settings.threads if settings.threads is not None else BATCH_THREADS
    result = fit(data, Experiment(**description.experiment),
                 Parameters(**description.parameters), n_starts=settings.n_starts,
                 engine=settings.engine, threads=threads, seed=settings.seed,
                 uncertainties=description.uncertainties or None)
    if settings.intervals and not result.aborted:
        result.conf_interval(threads=threads)
    experiment = None if result.experiment is None else result.experiment.to_dict()
    result.experiment = None
    return _Shipment(result, experiment)


def _task(run: RunSource) -> RunSource:
    # Paths go as text: small to send, and the same on any worker that sees
    # the same file system.
    if isinstance(run, RunDescription):
        return run
    if isinstance(run, (str, os.PathLike)):
        return str(Path(run).resolve())
    raise TypeError(f"runs: expected run file paths or RunDescription objects, got "
                    f"{type(run).__name__}")


def _outcome(future: Future[_Shipment]) -> "FitResult | Exception":
    try:
        return future.result().unpack()
    except Exception as error:
        return error


# What each worker runs; a name looked up at submission, so that the tests can
# hand the workers a task that kills its process.
_task_function = fit_run


def _worker_died(outcome: "FitResult | Exception") -> bool:
    return isinstance(outcome, BrokenProcessPool)


def _lost(task: RunSource) -> BatchRunError:
    name = task.source if isinstance(task, RunDescription) else task
    return BatchRunError("WorkerDied", f"{name}: the worker process fitting this run ended "
                         "without a result twice (killed, or out of memory?); the run was "
                         "given up")


def fit_many(runs: Iterable[RunSource],
             executor: Executor | None = None) -> list["FitResult | Exception"]:
    """Fit many run descriptions, each as a separate task.

    Parameters
    ----------
    runs : iterable of path-like or RunDescription
        Run files or loaded descriptions.
    executor : concurrent.futures.Executor, optional
        Where to run the fits, e.g. ``dask.distributed.Client(...).get_executor()``.
        By default a local process pool with one process per core (at most one
        per run) is started and shut down again; its processes are spawned
        fresh, so a script that calls this needs the usual
        ``if __name__ == "__main__":`` guard.

    Returns
    -------
    list of FitResult or Exception
        One entry per run, in the order given: the result, or the exception
        that loading or fitting that run raised (the others go on regardless).
        A run whose worker process dies (killed, out of memory) is run once
        more in a fresh process while the others go on; should that die
        too, its entry is a :class:`BatchRunError` of kind ``"WorkerDied"``.

    Notes
    -----
    Each fit uses one thread unless its run file sets ``[fit] threads``, so
    that parallel fits do not compete for the cores. Nothing is written to
    disk; ``tarnok.outputs`` writes a result folder for each result if wanted.
    """
    tasks = [_task(run) for run in runs]
    if not tasks:
        return []
    if executor is not None:
        return _retry_dead(executor, tasks, _run_all(executor, tasks))
    return _run_in_lanes(tasks, min(len(tasks), os.cpu_count() or 1))


def _run_in_lanes(tasks: list[RunSource], workers: int) -> list["FitResult | Exception"]:
    """Run the tasks on ``workers`` lanes, each a process of its own running one
    task at a time, so that a process that dies took exactly one run with it:
    that run is run once more in a fresh process, and the other lanes go on."""
    outcomes: list["FitResult | Exception | None"] = [None] * len(tasks)
    pending: queue.SimpleQueue[int] = queue.SimpleQueue()
    for index in range(len(tasks)):
        pending.put(index)
    stop = threading.Event()

    def lane() -> None:
        pool: ProcessPoolExecutor | None = None
        try:
            while not stop.is_set():
                try:
                    index = pending.get_nowait()
                except queue.Empty:
                    return
                for _attempt in range(2):
                    pool = pool or _local_pool(1)
                    outcome = _outcome(pool.submit(_task_function, tasks[index]))
                    if not _worker_died(outcome):
                        break
                    pool.shutdown(wait=True)
                    pool = None
                outcomes[index] = _lost(tasks[index]) if _worker_died(outcome) else outcome
        finally:
            if pool is not None:
                pool.shutdown(wait=True)

    lanes = [threading.Thread(target=lane, name=f"tarnok-batch-{k}") for k in range(workers)]
    for thread in lanes:
        thread.start()
    try:
        for thread in lanes:
            thread.join()
    except KeyboardInterrupt:
        stop.set()  # the lanes finish the runs they are on and take no more
        raise
    return outcomes  # type: ignore[return-value]


def _local_pool(workers: int) -> ProcessPoolExecutor:
    # Spawned, not forked: forking a process that runs threads (a fit's
    # workers, a progress display) can deadlock the child.
    return ProcessPoolExecutor(max_workers=workers,
                               mp_context=multiprocessing.get_context("spawn"))


def _run_all(executor: Executor, tasks: list[RunSource]) -> list["FitResult | Exception"]:
    futures = [executor.submit(_task_function, task) for task in tasks]
    return [_outcome(future) for future in futures]


def _retry_dead(executor: Executor, tasks: list[RunSource],
                outcomes: list["FitResult | Exception"]) -> list["FitResult | Exception"]:
    """Submit once more every task whose worker died; a second death loses
    that run only. (An executor that cannot take more work, such as a broken
    process pool, leaves those runs with their error.)"""
    dead = [index for index, outcome in enumerate(outcomes) if _worker_died(outcome)]
    futures: list[Any] = []
    for index in dead:
        try:
            futures.append(executor.submit(_task_function, tasks[index]))
        except RuntimeError as error:
            futures.append(error)
    for index, future in zip(dead, futures):
        outcome = future if isinstance(future, Exception) else _outcome(future)
        outcomes[index] = _lost(tasks[index]) if _worker_died(outcome) else outcome
    return outcomes
