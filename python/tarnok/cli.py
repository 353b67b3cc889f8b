"""The ``tarnok`` command: fit the measurements a run file describes, simulate
curves to plan a measurement, redraw a saved result, or start a new run file.

This is the only module that writes to the terminal. Problems the user has to
fix (a wrong key, a bad data cell, a missing file) end with one line on stderr
naming where the problem is, never with a traceback."""

from __future__ import annotations

import argparse
import contextlib
import importlib
import math
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any, TypeVar

import numpy as np

from . import _interruptible
from .experiment import Experiment
from .io import DataFileError
from .outputs import (FIT_OUTPUTS, RESULT_FILE, SIMULATION_OUTPUTS, OutputFolder,
                      ResultFileError, checked_saved_fit, plan_output_folder, read_document,
                      result_document, write_document, write_fit_files, write_simulation)
from .parameters import Parameters
from .plotting import FORMATS, format_energy
from .presets import PRESETS, preset
from .runfile import RunDescription, RunFileError, load_run, template
from .safe_write import OutputError
from .simulation import MAX_POINTS, peak_irradiance, simulate
from .units import EnergyOrPower, UnitError, energy_or_power

# Loaded with the rest, while the command holds Ctrl-C back; looked up where
# it is used.
importlib.import_module(".fit", __package__)

EXIT_OK = 0
EXIT_NOT_CONVERGED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130  # the shell's convention for a command ended by Ctrl-C
EXIT_BROKEN_PIPE = 141  # the shell's status for a command ended by SIGPIPE

T = TypeVar("T")


class BadInput(Exception):
    """Input the user has to fix; the message says where the problem is."""


class FitFailed(Exception):
    """A fit that produced no result at all (no start could be evaluated)."""


# ---------------------------------------------------------------------------
# Argument parsing

_DESCRIPTION = """\
Fit open-aperture z-scan measurements (one transmittance curve per pulse
energy) with a five-level rate-equation model.

A run file (TOML) says which data files to read, how to normalise them, the
optics of the experiment, the model parameters (which to fit, their start
values and bounds) and how to fit. 'tarnok init' writes a commented one."""

_EPILOG = """\
exit status:
  0  success
  1  the fit did not converge or was stopped (results are still written)
  2  bad input: run file, data file, result file or command-line option
130  interrupted before a fit had started

See docs/user_guide.md for the model, the file layouts and every run-file key."""

_FIT_DESCRIPTION = """\
Read the run file and its data, normalise the curves, fit the varied
parameters from several starting points, print the fit report and write into
the output folder:

  result.json     everything: fit statistics, parameters with uncertainties
                  and correlations, every start, data, model and residuals,
                  the run file as read, the normalisation baselines, versions
  report.txt      the fit report printed on the terminal
  curves.csv      one row per point: pulse_energy_J, position_mm,
                  transmittance, sigma, model, residual
  fit.png         data and model per pulse energy, residuals below
  irradiance.png  transmittance against the peak on-axis irradiance
  starts.png      final chi-square of every start (with more than one start)

If the output folder holds an earlier result, that result is kept and this
one goes into the first free numbered folder beside it (tarnok-output-2, ...);
--overwrite replaces the earlier result instead, removing all of its files.
Every file is written under a temporary name and renamed into place, so an
interrupted write never leaves a partial file.

While fitting, a progress line shows the start, its iteration and the best
chi-square so far (only when stderr is a terminal, and not with --quiet).
Ctrl-C stops the fit: the best result so far is written, marked as aborted,
and the exit status is 1; before any start has a value there is nothing to
write, and the exit status is 130. A second Ctrl-C stops at once."""

_SIMULATE_DESCRIPTION = """\
Compute model curves with the run file's experiment and parameter values (the
start values, not fitted ones), to see which pulse energies give a measurable
dip or peak. Positions and energies come from the run's data files unless
given here; with both --energies and --positions (or --scan) no data file is
read, so a measurement can be planned before it is made.

Writes simulation.csv (pulse_energy_J, position_mm, transmittance,
peak_irradiance_W_per_m2; with --noise also measured and sigma, synthetic
data for trying a fit; with a closed aperture in [experiment] also
closed_transmittance, and with --noise closed_measured and closed_sigma)
and simulation.png into the output folder, and
prints the peak irradiance at the focus and the largest change of the
transmittance for each energy."""

_REPORT_DESCRIPTION = """\
Write report.txt, curves.csv and the figures again from a result.json that
'tarnok fit' saved, e.g. in another figure format or after the figures were
deleted. No fit is run. The report text is the one saved with the result."""

_COMPARE_DESCRIPTION = """\
Compare models fitted to the same data (for example two-photon absorption
against excited-state absorption): a table of chi-square, reduced
chi-square, number of varied parameters, AIC, BIC, AIC less the lowest
(dAIC) and Akaike weights (the relative likelihood of each model). Results
fitted to different data are refused: each result.json holds a hash of its
data."""

_INIT_DESCRIPTION = """\
Write a commented run file with every key and its default, to edit for a new
measurement, or with --preset one made for a kind of sample and laser:
realistic values and bounds, the parameters such a measurement determines set
to be fitted, and comments that say why. An existing file is never
overwritten."""

def energy_or_power_argument(text: str) -> EnergyOrPower:
    """A pulse energy (``3.2e-3``, ``3.2mJ``, ``200uJ``, ``50nJ``) or an average
    power (``20mW``, ``115nw``), which the run's repetition rate turns into one."""
    try:
        return energy_or_power(text, "J")
    except UnitError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a pulse energy or an average power: write joules (3.2e-3) or a "
            "number with pJ, nJ, uJ or mJ (200uJ), or with nW, uW, mW or W (20mW)") from None


def energy_argument(text: str) -> float:
    """A pulse energy in joules from ``3.2e-3``, ``3.2mJ``, ``200uJ`` or ``50nJ``."""
    quantity = energy_or_power_argument(text)
    if quantity.is_power:
        raise argparse.ArgumentTypeError(f"{text!r} is not a pulse energy but a power")
    return quantity.value


def _number_argument(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def _noise_argument(text: str) -> float:
    value = _number_argument(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"{text!r} must be a fraction from 0 to 1")
    return value


def _count_argument(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} must be 1 or more")
    return value


def _add_output_options(parser: argparse.ArgumentParser, default_folder: str) -> None:
    parser.add_argument("-o", "--output", metavar="DIR",
                        help=f"folder to write into (created if needed; default: "
                             f"{default_folder})")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace an earlier result in the output folder (default: keep "
                             "it and write into a new numbered folder beside it)")
    parser.add_argument("--format", choices=FORMATS,
                        help="figure file format (default: the run file's [output] format, "
                             "else png)")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``tarnok`` command and its subcommands."""
    from . import __version__

    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(prog="tarnok", description=_DESCRIPTION, epilog=_EPILOG,
                                     formatter_class=formatter)
    parser.add_argument("--version", action="version", version=f"tarnok {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND",
                                     title="commands (tarnok COMMAND --help for details)")

    fit_parser = commands.add_parser("fit", help="fit the data a run file describes",
                                     description=_FIT_DESCRIPTION, formatter_class=formatter)
    fit_parser.add_argument("run", metavar="RUN.toml", help="the run file")
    _add_output_options(fit_parser, "the run file's [output] folder")
    fit_parser.add_argument("--threads", type=_count_argument, metavar="N",
                            help="worker threads for the starts (default: the run file's "
                                 "[fit] threads, else every core); the result does not "
                                 "depend on it")
    fit_parser.add_argument("--intervals", action="store_true",
                            help="also compute profile-likelihood intervals (1 and 2 sigma) "
                                 "of every varied parameter, as [fit] intervals = true does")
    fit_parser.add_argument("-q", "--quiet", action="store_true",
                            help="print neither progress nor the report; files are still "
                                 "written and problems still reported on stderr")
    fit_parser.set_defaults(handler=_fit_command)

    compare_parser = commands.add_parser("compare", help="compare models fitted to the same "
                                         "data", description=_COMPARE_DESCRIPTION,
                                         formatter_class=formatter)
    compare_parser.add_argument("results", nargs="+", metavar=RESULT_FILE,
                                help="two or more result.json files of fits to the same data")
    compare_parser.set_defaults(handler=_compare_command)

    sim_parser = commands.add_parser("simulate", help="model curves for planning a measurement",
                                     description=_SIMULATE_DESCRIPTION, formatter_class=formatter)
    sim_parser.add_argument("run", metavar="RUN.toml", help="the run file")
    sim_parser.add_argument("--energies", nargs="+", type=energy_or_power_argument,
                            metavar="E",
                            help="pulse energies: joules (2e-4) or with a unit (200uJ, 3.2mJ); "
                                 "or average powers (20mW), with the run file's "
                                 "repetition_rate")
    positions = sim_parser.add_mutually_exclusive_group()
    positions.add_argument("--positions", nargs="+", type=_number_argument, metavar="Z",
                           help="sample positions in mm (at least 5)")
    positions.add_argument("--scan", nargs=3, metavar=("START", "STOP", "COUNT"),
                           help="COUNT evenly spaced positions from START to STOP mm, e.g. "
                                "--scan -20 20 81")
    sim_parser.add_argument("--noise", type=_noise_argument, default=0.0, metavar="FRACTION",
                            help="also write synthetic data: the transmittance with Gaussian "
                                 "noise of this standard deviation relative to it (0.004: "
                                 "0.4%%), as the columns measured and sigma")
    sim_parser.add_argument("--seed", type=_count_argument, default=1, metavar="N",
                            help="seed of the noise (default 1)")
    _add_output_options(sim_parser, "the run file's [output] folder")
    sim_parser.add_argument("-q", "--quiet", action="store_true",
                            help="do not print the table of energies")
    sim_parser.set_defaults(handler=_simulate_command)

    report_parser = commands.add_parser("report", help="redraw figures and report from "
                                        "result.json", description=_REPORT_DESCRIPTION,
                                        formatter_class=formatter)
    report_parser.add_argument("result", metavar=RESULT_FILE,
                               help="a result.json written by 'tarnok fit'")
    _add_output_options(report_parser, "the folder of result.json")
    report_parser.add_argument("-q", "--quiet", action="store_true",
                               help="do not print the report")
    report_parser.set_defaults(handler=_report_command)

    init_parser = commands.add_parser("init", help="write a commented run file to start from",
                                      description=_INIT_DESCRIPTION, formatter_class=formatter)
    init_parser.add_argument("path", nargs="?", default="run.toml", metavar="PATH",
                             help="file to create (default: run.toml)")
    init_parser.add_argument(
        "--preset", choices=tuple(PRESETS), metavar="NAME",
        help="start from a preset: " + "; ".join(f"{name}: {p.summary}"
                                                 for name, p in PRESETS.items()))
    init_parser.set_defaults(handler=_init_command)
    return parser


# ---------------------------------------------------------------------------
# Turning the user's mistakes into one clear line


def _input_step(where: object, action: Callable[[], T]) -> T:
    """Run ``action``, turning the errors that bad input raises into BadInput.

    The library's file errors already name file, line and key; other
    validation errors get the file they concern in front."""
    try:
        return action()
    except (RunFileError, DataFileError, ResultFileError, OutputError) as error:
        raise BadInput(str(error)) from None
    except MemoryError as error:
        raise BadInput(f"{where}: {error or 'not enough memory'}") from None
    except KeyError as error:
        raise BadInput(f"{where}: {error.args[0] if error.args else error}") from None
    except (ValueError, TypeError) as error:
        raise BadInput(f"{where}: {error}") from None
    except OSError as error:
        raise BadInput(f"{where}: {error.strerror or error}") from None


def _load_run(path: str) -> RunDescription:
    return _input_step(path, lambda: load_run(path))


def _model(run: RunDescription) -> tuple[Experiment, Parameters]:
    experiment = _input_step(run.source, lambda: Experiment(**run.experiment))
    parameters = _input_step(run.source, lambda: Parameters(**run.parameters))
    return experiment, parameters


def _plan_folder(option: str | None, default: Path, outputs: tuple[str, ...],
                 overwrite: bool, same_result: bool = False) -> OutputFolder:
    # Decided before any long computation, so that an unwritable place is
    # reported at once rather than after the fit.
    folder = Path(option) if option is not None else default
    return _input_step(folder, lambda: plan_output_folder(
        folder, outputs, overwrite=overwrite, same_result=same_result))


def _print_written(plan: OutputFolder, written: Sequence[Path], *,
                   with_note: bool = True) -> None:
    if with_note and plan.note:
        print(plan.note)
    print(f"wrote into {plan.folder}:")
    for path in written:
        print(f"  {path.name}")


# ---------------------------------------------------------------------------
# tarnok fit


def _show_progress(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


@contextlib.contextmanager
def _progress(enabled: bool, n_starts: int) -> Iterator[Callable[[Any], None] | None]:
    """A fit callback that draws a progress line on stderr, or None."""
    if not enabled:
        yield None
        return
    from rich.console import Console
    from rich.progress import (BarColumn, MofNCompleteColumn, Progress, TextColumn,
                               TimeElapsedColumn)

    columns = (TextColumn("fitting"), BarColumn(bar_width=20), MofNCompleteColumn(),
               TextColumn("starts"), TimeElapsedColumn(), TextColumn("{task.fields[status]}"))
    # transient: the line disappears when the fit ends, leaving the report.
    with Progress(*columns, console=Console(stderr=True), transient=True) as bar:
        task = bar.add_task("fit", total=n_starts, status="")

        def show(progress: Any) -> None:
            bar.update(task, completed=progress.starts_done, status=(
                f"start {progress.start}, iteration {progress.iteration}, "
                f"χ² {_chisqr(progress.chisqr)}, best {_chisqr(progress.best_chisqr)}"))

        yield show


def _chisqr(value: float) -> str:
    # Before a start's first evaluation there is no χ² yet (NaN or infinity).
    return f"{value:.5g}" if math.isfinite(value) else "-"


class _StopRequest:
    """Ctrl-C during a fit: the first asks the fit to stop at its next poll and
    keep the best result so far; a second stops at once."""

    def __init__(self) -> None:
        self.requested = False
        self._previous: Any = None

    def __enter__(self) -> "_StopRequest":
        if threading.current_thread() is threading.main_thread():
            self._previous = signal.signal(signal.SIGINT, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)

    def _handle(self, signum: int, frame: Any) -> None:
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True

    @contextlib.contextmanager
    def raising(self) -> Iterator[None]:
        """Ctrl-C raising KeyboardInterrupt at once again, for work that is
        given up rather than kept when stopped (the confidence intervals)."""
        if self._previous is None:
            yield
            return
        signal.signal(signal.SIGINT, self._previous)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, self._handle)

    def callback(self, show: Callable[[Any], None] | None) -> Callable[[Any], None]:
        """The fit's progress callback: draws progress, and stops the fit once
        asked to (by raising KeyboardInterrupt, which the fit turns into an
        interrupted result)."""
        def poll(progress: Any) -> None:
            if self.requested:
                raise KeyboardInterrupt
            if show is not None:
                show(progress)
        return poll


def _run_fit(run: RunDescription, data: Any, experiment: Experiment, parameters: Parameters,
             threads: int | None, show_progress: bool, stop: _StopRequest,
             intervals: bool) -> Any:
    from .fit import fit

    settings = run.fit
    with _progress(show_progress, settings.n_starts) as show:
        try:
            result = fit(data, experiment, parameters, n_starts=settings.n_starts,
                         engine=settings.engine, threads=threads, callback=stop.callback(show),
                         seed=settings.seed, uncertainties=run.uncertainties or None)
        except (ValueError, TypeError, MemoryError) as error:
            raise BadInput(f"{run.source}: {error}") from None
        except RuntimeError as error:
            raise FitFailed(f"{run.source}: the fit produced no result: {error}") from None
    if intervals and not result.aborted and not stop.requested:
        if show_progress:
            print("profiling the chi-square for the confidence intervals...", file=sys.stderr)
        try:
            with stop.raising():
                result.conf_interval(threads=threads)
        except KeyboardInterrupt:
            _error("interrupted while computing the intervals; the fit is written without them")
    return result


def _fit_status(result: Any, stop: _StopRequest) -> int:
    if result.aborted:
        _error("the fit was stopped before it finished; the best result so far was "
               "written, marked as aborted")
        return EXIT_NOT_CONVERGED
    if stop.requested:
        _error("interrupted after the fit had finished; its result was written")
        return EXIT_INTERRUPTED
    if not result.success:
        _error(f"the fit did not converge ({result.message}); its results were written "
               "for inspection")
        return EXIT_NOT_CONVERGED
    return EXIT_OK


def _fit_document(result: Any, run: RunDescription, curves: Any, data: Any,
                  plan: OutputFolder) -> dict[str, Any]:
    document = result_document(result, run, curves)
    blocks = [document["report"], run.values_report(data.pulse_energies)]
    if plan.note:
        blocks.append(f"[[Output]]\n    {plan.note}")
    document["report"] = "\n".join(blocks)
    document["output"] = {"folder": str(plan.folder), "requested": str(plan.requested),
                          "replaced_earlier_result": plan.replacing}
    return document


def _write_fit(document: dict[str, Any], plan: OutputFolder, format: str) -> list[Path]:
    def write() -> list[Path]:
        written = [write_document(document, plan.folder)]
        # The earlier run's files go once this result is safely in place, so
        # that none of them is ever taken for part of it.
        if plan.replacing:
            plan.remove_earlier(keep=written)
        saved = checked_saved_fit(document, str(written[0]))
        return written + write_fit_files(saved, plan.folder, format)
    return _input_step(plan.folder, write)


def _fit_command(args: argparse.Namespace) -> int:
    run = _load_run(args.run)
    experiment, parameters = _model(run)
    data, curves = _input_step(run.source, run.load_data)
    plan = _plan_folder(args.output, run.output.folder, FIT_OUTPUTS, args.overwrite)
    threads = args.threads if args.threads is not None else run.fit.threads
    try:
        with _StopRequest() as stop:
            result = _run_fit(run, data, experiment, parameters, threads,
                              _show_progress(args.quiet), stop,
                              args.intervals or run.fit.intervals)
            document = _fit_document(result, run, curves, data, plan)
            written = _write_fit(document, plan, args.format or run.output.format)
    except BaseException:
        plan.discard_if_unused()
        raise
    if not args.quiet:
        print(document["report"])  # which says where an earlier result went
        print()
        _print_written(plan, written, with_note=False)
    return _fit_status(result, stop)


# ---------------------------------------------------------------------------
# tarnok simulate


def _scan_positions(scan: Sequence[str]) -> np.ndarray:
    start, stop = (_input_step("--scan", lambda text=text: float(text)) for text in scan[:2])
    count = _input_step("--scan", lambda: int(scan[2]))
    if not (math.isfinite(start) and math.isfinite(stop)) or start == stop or count < 5:
        raise BadInput("--scan: needs START and STOP apart (mm) and a COUNT of at least 5, "
                       f"got {' '.join(scan)}")
    if count > MAX_POINTS:
        # Refused before the positions are made, not after.
        raise BadInput(f"--scan: COUNT {count} is more than the {MAX_POINTS} points a "
                       "simulation can hold")
    return np.linspace(start, stop, count)


def _planning_grid(run: RunDescription, args: argparse.Namespace
                   ) -> tuple[np.ndarray, np.ndarray]:
    positions = (np.array(args.positions) if args.positions is not None
                 else _scan_positions(args.scan) if args.scan is not None else None)
    energies = None if args.energies is None else np.array(
        [_input_step("--energies", lambda q=quantity: q.pulse_energy(run.repetition_rate))
         for quantity in args.energies])
    if positions is None or energies is None:
        try:
            data, _ = _input_step(run.source, run.load_data)
        except BadInput as error:
            raise BadInput(f"{error} (or give both --energies and --positions to simulate "
                           "without data)") from None
        if positions is None:
            positions = np.unique(data.positions_mm)  # every position of every curve
        if energies is None:
            energies = np.array(list(dict.fromkeys(data.pulse_energies.tolist())))
    return np.sort(positions), energies


def _print_simulation(energies: np.ndarray, curves: np.ndarray,
                      irradiance: np.ndarray, closed: np.ndarray | None = None) -> None:
    extra = f"  {'closed: max - min':>17}" if closed is not None else ""
    print(f"{'pulse energy':>12}  {'peak irradiance at focus':>24}  {'largest change of T':>19}"
          f"{extra}")
    for row, energy in enumerate(energies):
        change = curves[row] - 1.0
        extreme = change[int(np.argmax(np.abs(change)))]
        pv = "" if closed is None else \
            f"  {(closed[row].max() - closed[row].min()) * 100:>16.2f}%"
        print(f"{format_energy(float(energy)):>12}  "
              f"{irradiance[row].max():>19.3e} W/m²  {extreme * 100:>+18.2f}%{pv}")


def _simulate_command(args: argparse.Namespace) -> int:
    run = _load_run(args.run)
    experiment, parameters = _model(run)
    positions, energies = _planning_grid(run, args)
    plan = _plan_folder(args.output, run.output.folder, SIMULATION_OUTPUTS, args.overwrite)
    try:
        experiment, grid = _input_step(run.source, lambda: _simulation_grid(
            experiment, parameters, positions, energies))
        both = experiment.has_aperture
        curves = _input_step(run.source, lambda: simulate(
            experiment, parameters, positions, energies, run.fit.engine,
            aperture="both" if both else "open"))
        closed = None
        if both:
            curves, closed = curves[0], curves[1]
        irradiance = _input_step(run.source, lambda: _finite_irradiance(
            experiment, parameters, positions, energies))
        if plan.replacing:
            _input_step(plan.folder, lambda: plan.remove_earlier(keep=()))
        written = _input_step(plan.folder, lambda: write_simulation(
            plan.folder, positions, energies, curves, irradiance,
            args.format or run.output.format, noise=args.noise, seed=args.seed, closed=closed))
    except BaseException:
        plan.discard_if_unused()
        raise
    if not args.quiet:
        _print_simulation(energies, curves, irradiance, closed)
        if grid is not None:
            print(f"grid: {grid.describe()}")
        print()
        _print_written(plan, written)
    return EXIT_OK


def _simulation_grid(experiment: Experiment, parameters: Parameters, positions: np.ndarray,
                     energies: np.ndarray) -> tuple[Experiment, Any]:
    """The experiment on the grid "auto" chooses for planning (tolerance 1e-4,
    there being no σ yet), with the record of the choice; as given otherwise."""
    if not experiment.auto_axes:
        return experiment, None
    from . import discretisation
    from .simulation import scan_arrays

    points, levels = scan_arrays(positions, energies)
    return discretisation.choose(experiment, parameters.vector(), points, levels,
                                 discretisation.DEFAULT_TOLERANCE)


def _finite_irradiance(experiment: Experiment, parameters: Parameters, positions: np.ndarray,
                       energies: np.ndarray) -> np.ndarray:
    irradiance = peak_irradiance(experiment, parameters, positions, energies)
    if not np.all(np.isfinite(irradiance) & (irradiance > 0)):
        raise ValueError("the peak irradiance is not a finite positive number at every point; "
                         "check the pulse energies, w0 and tau")
    return irradiance


# ---------------------------------------------------------------------------
# tarnok report and tarnok init


def _report_command(args: argparse.Namespace) -> int:
    source = Path(args.result)
    document = _input_step(source, lambda: read_document(source))
    saved = _input_step(source, lambda: checked_saved_fit(document, str(source)))
    requested = Path(args.output) if args.output is not None else source.parent
    own_folder = requested.resolve() == source.parent.resolve()
    plan = _plan_folder(args.output, source.parent, FIT_OUTPUTS, args.overwrite,
                        same_result=own_folder)

    def write() -> list[Path]:
        written = []
        if not own_folder:
            # The new folder gets its own copy, so that it is complete on its own.
            written.append(write_document(document, plan.folder))
            if plan.replacing:
                plan.remove_earlier(keep=written)
        return written + write_fit_files(saved, plan.folder, args.format or "png")

    try:
        written = _input_step(plan.folder, write)
    except BaseException:
        plan.discard_if_unused()
        raise
    if not args.quiet:
        print(saved.report)
        print()
        _print_written(plan, written)
    return EXIT_OK


def _compare_command(args: argparse.Namespace) -> int:
    from .compare import compare

    if len(args.results) < 2:
        raise BadInput("compare: give at least two result.json files")
    comparison = _input_step("compare", lambda: compare(args.results))
    print(comparison.table())
    print()
    print(f"lowest AIC: {comparison.best.label}")
    return EXIT_OK


def _init_command(args: argparse.Namespace) -> int:
    path = Path(args.path)
    text = template() if args.preset is None else preset(args.preset).text
    try:
        with path.open("x", encoding="utf-8") as handle:
            handle.write(text)
    except FileExistsError:
        raise BadInput(f"{path}: already exists and is left unchanged; give another "
                       "name or remove it first") from None
    except OSError as error:
        raise BadInput(f"{path}: cannot write: {error.strerror or error}") from None
    print(f"wrote {path}: set its [data] files and [parameters], then run: tarnok fit {path}")
    return EXIT_OK


# ---------------------------------------------------------------------------


def _error(message: str) -> None:
    print(f"tarnok: {message}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``tarnok`` command.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the program name (default: ``sys.argv[1:]``).

    Returns
    -------
    int
        The exit status: 0 success, 1 fit not converged or stopped, 2 bad
        input, 130 interrupted before any start had a value, 141 the output's
        reader went away.
    """
    try:
        return _run(argv)
    except BadInput as error:
        _error(f"error: {error}")
        return EXIT_BAD_INPUT
    except FitFailed as error:
        _error(str(error))
        return EXIT_NOT_CONVERGED
    except KeyboardInterrupt:
        return _interrupted()
    except BrokenPipeError:
        # The reader of the output went away (tarnok ... | head): nothing
        # more can be said, and Python must not try again at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_BROKEN_PIPE


def _run(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as done:  # --help, --version or a usage error
        return done.code if isinstance(done.code, int) else EXIT_BAD_INPUT
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_BAD_INPUT
    return args.handler(args)


def _interrupted() -> int:
    # A further Ctrl-C while the message is printed would end in a traceback.
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    _error("interrupted")
    if _interruptible.abandoned_evaluations():
        # An evaluation Ctrl-C abandoned still runs without the interpreter
        # lock; ending the process now spares waiting for it at shutdown.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(EXIT_INTERRUPTED)
    return EXIT_INTERRUPTED
