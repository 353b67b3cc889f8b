"""The ``tarnok`` command: fit the measurements a run file describes, simulate
curves to plan a measurement, redraw a saved result, or start a new run file.

This is the only module that writes to the terminal. Problems the user has to
fix (a wrong key, a bad data cell, a missing file) end with one line on stderr
naming where the problem is, never with a traceback."""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import re
import sys
from collections.abc import Callable, Iterator, Sequence
from decimal import Decimal
from pathlib import Path
from typing import Any, TypeVar

import numpy as np

from .experiment import Experiment
from .io import DataFileError
from .outputs import (RESULT_FILE, ResultFileError, read_document, result_document, saved_fit,
                      write_document, write_fit_files, write_simulation)
from .parameters import Parameters
from .plotting import FORMATS, format_energy
from .runfile import RunDescription, RunFileError, load_run, template
from .simulation import peak_irradiance, simulate

EXIT_OK = 0
EXIT_NOT_CONVERGED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130  # the shell's convention for a command ended by Ctrl-C

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

While fitting, a progress line shows the start, its iteration and the best
chi-square so far (only when stderr is a terminal, and not with --quiet).
Ctrl-C stops the fit: the best result so far is written, marked as aborted,
and the exit status is 1."""

_SIMULATE_DESCRIPTION = """\
Compute model curves with the run file's experiment and parameter values (the
start values, not fitted ones), to see which pulse energies give a measurable
dip or peak. Positions and energies come from the run's data files unless
given here; with both --energies and --positions (or --scan) no data file is
read, so a measurement can be planned before it is made.

Writes simulation.csv (pulse_energy_J, position_mm, transmittance,
peak_irradiance_W_per_m2) and simulation.png into the output folder, and
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
measurement. An existing file is never overwritten."""

_ENERGY = re.compile(r"^\s*(?P<number>[-+]?[0-9.]+(?:[eE][-+]?[0-9]+)?)\s*(?P<unit>[mµun]?J)?\s*$")
# Powers of ten, applied in decimal so that 200uJ is exactly the float 2e-4.
_ENERGY_EXPONENTS = {"J": 0, "mJ": -3, "uJ": -6, "µJ": -6, "nJ": -9}


def energy_argument(text: str) -> float:
    """A pulse energy in joules from ``3.2e-3``, ``3.2mJ``, ``200uJ`` or ``50nJ``."""
    match = _ENERGY.match(text)
    value = math.nan
    if match:
        with contextlib.suppress(ArithmeticError):
            value = float(Decimal(match["number"]).scaleb(_ENERGY_EXPONENTS[match["unit"] or "J"]))
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a pulse energy: write joules (3.2e-3) or a number with "
            "nJ, uJ or mJ (200uJ)")
    return value


def _number_argument(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
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
    sim_parser.add_argument("--energies", nargs="+", type=energy_argument, metavar="E",
                            help="pulse energies: joules (2e-4) or with a unit (200uJ, 3.2mJ)")
    positions = sim_parser.add_mutually_exclusive_group()
    positions.add_argument("--positions", nargs="+", type=_number_argument, metavar="Z",
                           help="sample positions in mm (at least 5)")
    positions.add_argument("--scan", nargs=3, metavar=("START", "STOP", "COUNT"),
                           help="COUNT evenly spaced positions from START to STOP mm, e.g. "
                                "--scan -20 20 81")
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
    except (RunFileError, DataFileError, ResultFileError) as error:
        raise BadInput(str(error)) from None
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


def _output_folder(option: str | None, default: Path) -> Path:
    # Made before any long computation, so that an unwritable place is
    # reported at once rather than after the fit.
    folder = Path(option) if option is not None else default
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise BadInput(f"{folder}: cannot create the output folder: "
                       f"{error.strerror or error}") from None
    if not os.access(folder, os.W_OK):
        raise BadInput(f"{folder}: the output folder is not writable")
    return folder


def _print_written(folder: Path, written: Sequence[Path]) -> None:
    print(f"wrote into {folder}:")
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


def _run_fit(run: RunDescription, data: Any, experiment: Experiment, parameters: Parameters,
             threads: int | None, show_progress: bool, intervals: bool) -> Any:
    from .fit import fit

    settings = run.fit
    with _progress(show_progress, settings.n_starts) as callback:
        try:
            result = fit(data, experiment, parameters, n_starts=settings.n_starts,
                         engine=settings.engine, threads=threads, callback=callback,
                         seed=settings.seed, uncertainties=run.uncertainties or None)
        except (ValueError, TypeError) as error:
            raise BadInput(f"{run.source}: {error}") from None
        except RuntimeError as error:
            raise FitFailed(f"{run.source}: the fit produced no result: {error}") from None
    if intervals and not result.aborted:
        if show_progress:
            print("profiling the chi-square for the confidence intervals...", file=sys.stderr)
        try:
            result.conf_interval(threads=threads)
        except KeyboardInterrupt:
            _error("interrupted while computing the intervals; the fit is written without them")
    return result


def _fit_status(result: Any) -> int:
    if result.aborted:
        _error("the fit was stopped before it finished; the best result so far was "
               "written, marked as aborted")
        return EXIT_NOT_CONVERGED
    if not result.success:
        _error(f"the fit did not converge ({result.message}); its results were written "
               "for inspection")
        return EXIT_NOT_CONVERGED
    return EXIT_OK


def _fit_command(args: argparse.Namespace) -> int:
    run = _load_run(args.run)
    experiment, parameters = _model(run)
    data, curves = _input_step(run.source, run.load_data)
    folder = _output_folder(args.output, run.output.folder)
    threads = args.threads if args.threads is not None else run.fit.threads
    result = _run_fit(run, data, experiment, parameters, threads, _show_progress(args.quiet),
                      args.intervals or run.fit.intervals)
    document = result_document(result, run, curves)
    written = [write_document(document, folder)]
    written += write_fit_files(saved_fit(document, str(written[0])), folder,
                               args.format or run.output.format)
    if not args.quiet:
        print(document["report"])
        print()
        _print_written(folder, written)
    return _fit_status(result)


# ---------------------------------------------------------------------------
# tarnok simulate


def _scan_positions(scan: Sequence[str]) -> np.ndarray:
    start, stop = (_input_step("--scan", lambda text=text: float(text)) for text in scan[:2])
    count = _input_step("--scan", lambda: int(scan[2]))
    if not (math.isfinite(start) and math.isfinite(stop)) or start == stop or count < 5:
        raise BadInput("--scan: needs START and STOP apart (mm) and a COUNT of at least 5, "
                       f"got {' '.join(scan)}")
    return np.linspace(start, stop, count)


def _planning_grid(run: RunDescription, args: argparse.Namespace
                   ) -> tuple[np.ndarray, np.ndarray]:
    positions = (np.array(args.positions) if args.positions is not None
                 else _scan_positions(args.scan) if args.scan is not None else None)
    energies = None if args.energies is None else np.array(args.energies)
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
                      irradiance: np.ndarray) -> None:
    print(f"{'pulse energy':>12}  {'peak irradiance at focus':>24}  {'largest change of T':>19}")
    for row, energy in enumerate(energies):
        change = curves[row] - 1.0
        extreme = change[int(np.argmax(np.abs(change)))]
        print(f"{format_energy(float(energy)):>12}  "
              f"{irradiance[row].max():>19.3e} W/m²  {extreme * 100:>+18.2f}%")


def _simulate_command(args: argparse.Namespace) -> int:
    run = _load_run(args.run)
    experiment, parameters = _model(run)
    positions, energies = _planning_grid(run, args)
    curves = _input_step(run.source, lambda: simulate(experiment, parameters, positions,
                                                      energies, run.fit.engine))
    irradiance = peak_irradiance(experiment, parameters, positions, energies)
    folder = _output_folder(args.output, run.output.folder)
    written = write_simulation(folder, positions, energies, curves, irradiance,
                               args.format or run.output.format)
    if not args.quiet:
        _print_simulation(energies, curves, irradiance)
        print()
        _print_written(folder, written)
    return EXIT_OK


# ---------------------------------------------------------------------------
# tarnok report and tarnok init


def _report_command(args: argparse.Namespace) -> int:
    source = Path(args.result)
    document = _input_step(source, lambda: read_document(source))
    saved = _input_step(source, lambda: saved_fit(document, str(source)))
    _input_step(f"{source}: experiment", lambda: Experiment(**saved.experiment))
    _input_step(f"{source}: params", lambda: Parameters(**saved.parameter_values))
    folder = _output_folder(args.output, source.parent)
    written = []
    if folder.resolve() != source.parent.resolve():
        # The new folder gets its own copy, so that it is complete on its own.
        written.append(write_document(document, folder))
    written += write_fit_files(saved, folder, args.format or "png")
    if not args.quiet:
        print(saved.report)
        print()
        _print_written(folder, written)
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
    try:
        with path.open("x", encoding="utf-8") as handle:
            handle.write(template())
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
        input, 130 interrupted before a fit had started.
    """
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as done:  # --help, --version or a usage error
        return done.code if isinstance(done.code, int) else EXIT_BAD_INPUT
    if args.command is None:
        parser.print_help(sys.stderr)
        return EXIT_BAD_INPUT
    try:
        return args.handler(args)
    except BadInput as error:
        _error(f"error: {error}")
        return EXIT_BAD_INPUT
    except FitFailed as error:
        _error(str(error))
        return EXIT_NOT_CONVERGED
    except KeyboardInterrupt:
        _error("interrupted")
        return EXIT_INTERRUPTED
