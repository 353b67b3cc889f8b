"""fit_zscan lets other threads run while it fits, gives every concurrent
caller exactly its own result, and keeps nothing from one call to the next."""

import gc
import os
import sys
import threading
import time
import tracemalloc
import weakref

import numpy as np
import pytest

from conftest import TRUTH, make_problem, model_curve


def started_off(measured, factors):
    spec_pars = TRUTH.copy()
    indices = np.array(sorted(factors), dtype=np.int32)
    spec_pars[indices] *= [factors[i] for i in sorted(factors)]
    return measured.with_(spec_pars=spec_pars, fit_indices=indices)


def test_other_threads_run_while_a_fit_runs(measured):
    fitting = started_off(measured, {2: 1.6})
    interval = []

    def fit():
        begin = time.perf_counter()
        fitting.fit()
        interval.extend([begin, time.perf_counter()])

    worker = threading.Thread(target=fit)
    samples = []
    worker.start()
    while worker.is_alive():
        samples.append(time.perf_counter())
        time.sleep(0.001)
    worker.join()
    begin, end = interval
    # Holding the interpreter lock through the fit would allow a sample or
    # two at its very start, not a steady stream throughout.
    assert sum(begin < sample < end for sample in samples) >= 20


def test_concurrent_fits_match_sequential_ones(measured):
    problems = [started_off(measured, {2: 1.6}), started_off(measured, {0: 0.7, 2: 1.3})]
    sequential = [problem.fit(n_starts=2) for problem in problems]
    barrier = threading.Barrier(len(problems))
    concurrent = [None] * len(problems)

    def fit(k):
        barrier.wait()
        concurrent[k] = problems[k].fit(n_starts=2)

    threads = [threading.Thread(target=fit, args=(k,)) for k in range(len(problems))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for alone, together in zip(sequential, concurrent):
        np.testing.assert_array_equal(alone[0], together[0])
        assert alone[1] == together[1]
        np.testing.assert_array_equal(alone[2], together[2])
    assert sequential[0][1] != sequential[1][1]


def resident_bytes():
    with open(f"/proc/{os.getpid()}/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_address_sanitizer():
    """AddressSanitizer keeps freed memory in quarantine, so the resident size
    grows without a leak; its own leak checker covers that run instead."""
    with open(f"/proc/{os.getpid()}/maps") as maps:
        return "libasan" in maps.read()


def tiny_problem():
    base = make_problem(num_x_pts=5, num_datasets=1).with_(t_slices=2, z_slices=2)
    # Unmeasured positions past the end make the call's own copy of x_data
    # large enough that losing it would show in the resident size.
    x_data = np.concatenate([base.x_data, np.zeros(100_000)])
    return base.with_(y_data=model_curve(base, TRUTH), x_data=x_data).frozen(2)


def failing_calls(problem):
    """Calls refused at each stage: binding, conversion, None, index range,
    the orchestration's index checks and the size checks."""
    yield lambda: problem.fit(bogus=1)
    yield lambda: problem.with_(y_data=problem.y_data.astype(np.float32)).fit()
    yield lambda: problem.with_(spec_pars=None).fit()
    yield lambda: problem.with_(fit_indices=np.array([8], np.int32)).fit()
    yield lambda: problem.with_(populations=np.zeros(0)).fit()
    yield lambda: problem.with_(tau=-1.0).fit()
    yield lambda: problem.with_(t_slices=2**31 - 1).fit()


def run_calls(problem, repeats):
    calls = list(failing_calls(problem))
    for _ in range(repeats):
        for call in calls:
            try:
                call()
            except (TypeError, ValueError, IndexError, MemoryError):
                pass
            else:
                raise AssertionError("the call should have been refused")
    for _ in range(repeats // 10):
        problem.fit(n_starts=2)


def test_a_thousand_calls_leak_no_references_or_memory():
    problem = tiny_problem()
    arrays = [problem.x_data, problem.y_data, problem.populations, problem.pulse_energy,
              problem.spec_pars, problem.fit_indices]
    run_calls(problem, 100)  # warm up caches and allocator pools
    gc.collect()
    references = [sys.getrefcount(a) for a in arrays]
    objects = len(gc.get_objects())
    resident = resident_bytes()
    tracemalloc.start()
    try:
        traced = tracemalloc.get_traced_memory()[0]
        run_calls(problem, 1000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(a) for a in arrays] == references
    assert len(gc.get_objects()) - objects < 50
    assert grown < 64 * 1024
    if not under_address_sanitizer():
        assert resident_bytes() - resident < 4 * 1024 * 1024


def test_results_are_freed_with_their_last_view():
    residuals, error, spec_pars = tiny_problem().fit(n_starts=3)
    matrices = [weakref.ref(residuals.base), weakref.ref(spec_pars.base)]
    del residuals, spec_pars
    assert [matrix() for matrix in matrices] == [None, None]


@pytest.mark.parametrize("n_starts", [1, 4])
def test_repeated_calls_give_identical_results(n_starts):
    problem = tiny_problem().with_(fit_indices=np.array([2], np.int32))
    first = problem.fit(n_starts=n_starts)
    second = problem.fit(n_starts=n_starts)
    for a, b in zip(first, second):
        np.testing.assert_array_equal(a, b)
