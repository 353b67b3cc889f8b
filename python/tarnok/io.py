"""Reading z-scan curves from delimited text files (CSV, TSV, semicolon- or
whitespace-separated): one file per pulse energy, one long table with an
energy column, or one wide table with a group of columns per curve. Every error names the file, the line and the column, because
the person reading it has to find the bad cell in their own data."""

from __future__ import annotations

import csv
import dataclasses
import functools
import math
import os
import re
import stat
from collections import Counter
from decimal import Decimal
from pathlib import Path
from typing import Any

import numpy as np

from . import units
from .zscan import MIN_POSITIONS

Column = str | int
"""A column given by its header name or by its 0-based index."""

POSITION_UNITS = ("mm", "um", "steps")

WHITESPACE = "whitespace"
"""Delimiter name for columns separated by runs of spaces or tabs."""

_SNIFF_DELIMITERS = ",\t; "
_FALLBACK_DELIMITERS = (",", "\t", ";", WHITESPACE)
_COMMENT_PREFIX = "#"
# z-scan files hold hundreds of rows; the reader keeps every cell as text, so a
# file far beyond that is refused before it is read rather than after it has
# filled the memory.
MAX_FILE_BYTES = 64 * 2**20
# Python's csv module refuses longer fields with an error of its own.
MAX_FIELD_CHARACTERS = 131_072

EnergyUnit = float | str
"""Joules per unit of a bare energy number, or a unit: ``"uJ"``, ``"mW"``."""

AUTO_PATTERN = "auto"
"""``energy_pattern`` that takes the last number with an energy or power unit in
a file name (``scan_2.25uw.tsv``)."""


class DataFileError(ValueError):
    """A data file that cannot be read as z-scan data.

    Attributes
    ----------
    path : str
        The file as the caller named it.
    line : int or None
        1-based line number of the offending row, when one row is at fault.
    column : str or None
        The column at fault (its header name, or ``"column N"`` with N 0-based).
    """

    def __init__(self, path: str | os.PathLike[str], message: str, *,
                 line: int | None = None, column: str | None = None) -> None:
        self.path = str(path)
        self._message = message
        self.line = line
        self.column = column
        where = [self.path]
        if line is not None:
            where.append(f"line {line}")
        if column is not None:
            where.append(f"column {column!r}" if not column.startswith("column ")
                         else column)
        super().__init__(", ".join(where) + ": " + message)

    def __reduce__(self) -> tuple[Any, ...]:
        # Rebuilt from its parts, so the error survives a trip from a worker
        # process unchanged.
        return (_rebuild_data_file_error, (self.path, self._message, self.line, self.column))


@dataclasses.dataclass(frozen=True, eq=False)
class Curve:
    """One measured scan at one pulse energy, before or without normalisation.

    Attributes
    ----------
    positions_mm : numpy.ndarray
        Sample positions in millimetres, in file order, read-only float64.
    signal : numpy.ndarray
        Detector signal (or the ratio signal/reference), read-only float64.
    sigma : numpy.ndarray or None
        Uncertainty of each signal value, or None.
    pulse_energy : float
        Pulse energy in joules.
    source : str
        Where the curve came from, for messages and plot legends.
    closed : numpy.ndarray or None
        Closed-aperture signal at the same positions, when measured.
    closed_sigma : numpy.ndarray or None
        Uncertainty of each closed-aperture value, when measured.
    """

    positions_mm: np.ndarray
    signal: np.ndarray
    sigma: np.ndarray | None
    pulse_energy: float
    source: str
    closed: np.ndarray | None = None
    closed_sigma: np.ndarray | None = None

    def __post_init__(self) -> None:
        positions = _frozen_vector("positions_mm", self.positions_mm, self.source)
        signal = _frozen_vector("signal", self.signal, self.source)
        if signal.shape != positions.shape:
            raise ValueError(f"{self.source}: signal has {signal.size} values but "
                             f"positions_mm has {positions.size}")
        object.__setattr__(self, "positions_mm", positions)
        object.__setattr__(self, "signal", signal)
        if self.sigma is not None:
            sigma = _frozen_vector("sigma", self.sigma, self.source)
            if sigma.shape != positions.shape:
                raise ValueError(f"{self.source}: sigma has {sigma.size} values but "
                                 f"positions_mm has {positions.size}")
            object.__setattr__(self, "sigma", sigma)
        if self.closed is not None:
            closed = _frozen_vector("closed", self.closed, self.source)
            if closed.shape != positions.shape:
                raise ValueError(f"{self.source}: closed has {closed.size} values but "
                                 f"positions_mm has {positions.size}")
            object.__setattr__(self, "closed", closed)
        if self.closed_sigma is not None:
            if self.closed is None:
                raise ValueError(f"{self.source}: closed_sigma given without a closed-aperture "
                                 "signal")
            closed_sigma = _frozen_vector("closed_sigma", self.closed_sigma, self.source)
            if closed_sigma.shape != positions.shape:
                raise ValueError(f"{self.source}: closed_sigma has {closed_sigma.size} values "
                                 f"but positions_mm has {positions.size}")
            object.__setattr__(self, "closed_sigma", closed_sigma)
        energy = float(self.pulse_energy)
        if not (math.isfinite(energy) and energy > 0):
            raise ValueError(f"{self.source}: pulse_energy must be a positive number "
                             f"of joules, got {self.pulse_energy!r}")
        object.__setattr__(self, "pulse_energy", energy)

    @property
    def n_positions(self) -> int:
        """Number of points in the curve."""
        return int(self.positions_mm.size)


def _frozen_vector(name: str, value: object, source: str) -> np.ndarray:
    array = np.array(value, dtype=np.float64, order="C", copy=True)
    if array.ndim != 1:
        raise ValueError(f"{source}: {name} must be 1-D, got shape {array.shape}")
    array.setflags(write=False)
    return array


@dataclasses.dataclass(frozen=True)
class _Table:
    """The numeric cells of a file, with where each row came from."""

    path: str
    header: list[str] | None
    rows: list[list[str]]
    line_numbers: list[int]

    def column_index(self, column: Column, role: str) -> int:
        """Resolve a column given by name or index, naming ``role`` on failure."""
        n_columns = len(self.rows[0])
        if isinstance(column, bool) or not isinstance(column, (str, int)):
            raise DataFileError(self.path, f"{role} column must be a header name or a "
                                f"0-based index, got {column!r}")
        if isinstance(column, int):
            if not 0 <= column < n_columns:
                raise DataFileError(self.path, f"{role} column index {column} is out of "
                                    f"range; the file has {n_columns} columns (0 to "
                                    f"{n_columns - 1})")
            return column
        if self.header is None:
            raise DataFileError(self.path, f"{role} column {column!r} is given by name "
                                "but the file has no header row; give a 0-based index "
                                "or header=True")
        names = [name.strip() for name in self.header]
        if column.strip() in names:
            return names.index(column.strip())
        folded = [i for i, name in enumerate(names) if name.casefold() == column.strip().casefold()]
        if len(folded) == 1:
            return folded[0]
        raise DataFileError(self.path, f"{role} column {column!r} not found; the header "
                            f"has {', '.join(repr(n) for n in names)}")

    def column_label(self, index: int) -> str:
        if self.header is not None and self.header[index].strip():
            return self.header[index].strip()
        return f"column {index}"

    def numbers(self, index: int, *, positive: bool = False,
                nonzero: bool = False) -> np.ndarray:
        """Parse one column as finite floats, naming the first bad cell."""
        label = self.column_label(index)
        values = np.empty(len(self.rows))
        for k, (row, line) in enumerate(zip(self.rows, self.line_numbers)):
            values[k] = _parse_number(row[index], self.path, line, label)
            if positive and values[k] <= 0:
                raise DataFileError(self.path, f"{row[index].strip()!r} must be positive",
                                    line=line, column=label)
            if nonzero and values[k] == 0:
                raise DataFileError(self.path, "reference value is zero; cannot divide "
                                    "by it", line=line, column=label)
        return values


def _parse_number(text: str, path: str, line: int, column: str) -> float:
    stripped = text.strip()
    if not stripped:
        raise DataFileError(path, "missing value", line=line, column=column)
    try:
        value = float(stripped)
    except ValueError:
        raise DataFileError(path, f"{stripped!r} is not a number", line=line,
                            column=column) from None
    if not math.isfinite(value):
        raise DataFileError(path, f"{stripped!r} is not a finite number", line=line,
                            column=column)
    return value


def _read_lines(path: str | os.PathLike[str]) -> list[tuple[int, str]]:
    """Return (1-based line number, text) of every non-blank, non-comment line."""
    try:
        check_readable_file(path, "data file", MAX_FILE_BYTES)
        text = Path(path).read_text(encoding="utf-8-sig")
    except FileNotFoundError:
        raise DataFileError(path, "file not found") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise DataFileError(path, f"cannot read file: {exc}") from None
    lines = [(number, line) for number, line in enumerate(text.splitlines(), start=1)
             if line.strip() and not line.lstrip().startswith(_COMMENT_PREFIX)]
    if not lines:
        raise DataFileError(path, "file is empty (no data rows)")
    return lines


def check_readable_file(path: str | os.PathLike[str], what: str, max_bytes: int) -> None:
    """Refuse what cannot be read as a small text file before opening it.

    A FIFO or device would block the reader, and a huge file would fill the
    memory before its first bad line is reached.

    Raises
    ------
    FileNotFoundError
        When there is nothing at ``path``.
    OSError
        With a message saying what is wrong with it.
    """
    status = os.stat(path)
    if stat.S_ISDIR(status.st_mode):
        raise OSError(f"is a folder, not a {what}")
    if not stat.S_ISREG(status.st_mode):
        raise OSError(f"is not a regular file (a pipe or device?); a {what} must be one")
    if status.st_size > max_bytes:
        raise OSError(f"is {status.st_size / 2**20:.0f} MiB; a {what} of more than "
                      f"{max_bytes / 2**20:.0f} MiB is not read")


def _split(line: str, delimiter: str) -> list[str]:
    if delimiter == WHITESPACE:
        return line.split()
    return next(csv.reader([line], delimiter=delimiter))


def _split_row(path: str | os.PathLike[str], number: int, line: str,
               delimiter: str) -> list[str]:
    if len(line) > MAX_FIELD_CHARACTERS:
        raise DataFileError(path, f"line of {len(line)} characters; at most "
                            f"{MAX_FIELD_CHARACTERS} are read", line=number)
    try:
        return _split(line, delimiter)
    except csv.Error as error:
        raise DataFileError(path, f"cannot split the line: {error}", line=number) from None


def _agreeing_lines(lines: list[tuple[int, str]], delimiter: str) -> int:
    """How many lines split into the most common number (>= 2) of fields."""
    counts = Counter(len(_split(text[:MAX_FIELD_CHARACTERS], delimiter))
                     for _, text in lines)
    width, agreeing = counts.most_common(1)[0]
    return agreeing if width >= 2 else 0


def _sniff_delimiter(path: str | os.PathLike[str], lines: list[tuple[int, str]]) -> str:
    """Pick the delimiter on which the lines agree best about the number of columns.

    A delimiter that most (not all) lines agree on still wins, so that one
    ragged row is reported by its line number rather than as an unknown format.
    """
    sample = "\n".join(text for _, text in lines[:50])
    candidates: list[str] = []
    try:
        sniffed = csv.Sniffer().sniff(sample, delimiters=_SNIFF_DELIMITERS).delimiter
        # Aligned columns have runs of spaces that csv would read as empty cells.
        candidates.append(WHITESPACE if sniffed == " " else sniffed)
    except csv.Error:
        pass
    candidates.extend(d for d in _FALLBACK_DELIMITERS if d not in candidates)
    scores = [_agreeing_lines(lines, delimiter) for delimiter in candidates]
    best = max(range(len(candidates)), key=lambda i: scores[i])  # first of equals
    if 2 * scores[best] <= len(lines):
        raise DataFileError(path, "no consistent delimiter: no comma, tab, semicolon or "
                            "whitespace splits most lines into the same number of "
                            "columns (at least 2); give delimiter= if it is another one")
    return candidates[best]


def _looks_like_header(fields: list[str]) -> bool:
    for field in fields:
        try:
            float(field.strip())
        except ValueError:
            return True
    return False


def _normalised_delimiter(delimiter: str | None) -> str | None:
    if delimiter is None:
        return None
    if delimiter in ("\\t", "tab"):
        return "\t"
    if delimiter in (WHITESPACE, " "):
        return WHITESPACE
    if len(delimiter) != 1:
        raise ValueError(f"delimiter: expected one character or {WHITESPACE!r}, "
                         f"got {delimiter!r}")
    return delimiter


def _read_table(path: str | os.PathLike[str], *, delimiter: str | None = None,
               header: bool | None = None, short_rows: bool = False) -> _Table:
    """Split a delimited text file into cells, checking that rows are not ragged.

    Parameters
    ----------
    path : path-like
        The file. Blank lines and lines starting with ``#`` are skipped.
    delimiter : str, optional
        ``","``, ``"\\t"``, ``";"``, ``"whitespace"`` or any single character;
        sniffed when None.
    header : bool, optional
        Whether the first row names the columns; when None, a first row with any
        non-numeric field is taken as a header.
    short_rows : bool
        Accept rows with fewer cells than the header, as empty cells at their
        end (a wide table whose column groups have different lengths).

    Returns
    -------
    _Table
        The header (or None) and the data rows with their line numbers.

    Raises
    ------
    DataFileError
        For an unreadable or empty file, no consistent delimiter, or a ragged row.
    """
    delimiter = _normalised_delimiter(delimiter)
    lines = _read_lines(path)
    if delimiter is None:
        delimiter = _sniff_delimiter(path, lines)
    rows = [_split_row(path, number, text, delimiter) for number, text in lines]
    numbers = [number for number, _ in lines]
    has_header = _looks_like_header(rows[0]) if header is None else header
    header_row = rows.pop(0) if has_header else None
    if has_header:
        numbers.pop(0)
    if not rows:
        raise DataFileError(path, "file has a header but no data rows")
    width = len(header_row) if header_row is not None else len(rows[0])
    for row, line in zip(rows, numbers):
        if short_rows and len(row) < width:
            row.extend([""] * (width - len(row)))
        if len(row) != width:
            raise DataFileError(path, f"row has {len(row)} columns, expected {width}",
                                line=line)
    return _Table(str(path), header_row, rows, numbers)


def _positions_in_mm(path: str | os.PathLike[str], values: np.ndarray, unit: str,
                     step_size_mm: float | None) -> np.ndarray:
    if unit not in POSITION_UNITS:
        raise ValueError(f"position_unit: expected one of {', '.join(POSITION_UNITS)}, "
                         f"got {unit!r}")
    if unit == "steps":
        if step_size_mm is None or isinstance(step_size_mm, bool) or not (
                isinstance(step_size_mm, (int, float)) and math.isfinite(step_size_mm)
                and step_size_mm != 0):
            raise ValueError(f"step_size_mm: position_unit='steps' needs a non-zero step "
                             f"size in mm, got {step_size_mm!r} (reading {path})")
        return values * float(step_size_mm)
    if step_size_mm is not None:
        raise ValueError(f"step_size_mm: only used with position_unit='steps', but "
                         f"position_unit is {unit!r}")
    return values * 1e-3 if unit == "um" else values


@dataclasses.dataclass(frozen=True)
class _Columns:
    position: np.ndarray
    signal: np.ndarray
    sigma: np.ndarray | None
    closed: np.ndarray | None
    closed_sigma: np.ndarray | None = None


def _read_columns(table: _Table, position: Column, signal: Column, sigma: Column | None,
                  reference: Column | None, position_unit: str,
                  step_size_mm: float | None, closed: Column | None = None,
                  closed_sigma: Column | None = None) -> _Columns:
    positions = table.numbers(table.column_index(position, "position"))
    positions = _positions_in_mm(table.path, positions, position_unit, step_size_mm)
    signals = table.numbers(table.column_index(signal, "signal"))
    sigmas = None
    if sigma is not None:
        sigmas = table.numbers(table.column_index(sigma, "sigma"), positive=True)
    closed_signals = None
    if closed is not None:
        closed_signals = table.numbers(table.column_index(closed, "closed-aperture"))
    closed_sigmas = None
    if closed_sigma is not None:
        if closed is None:
            raise ValueError("closed_sigma: needs the closed-aperture column (closed) too")
        closed_sigmas = table.numbers(table.column_index(closed_sigma, "closed-aperture sigma"),
                                      positive=True)
    if reference is not None:
        references = table.numbers(table.column_index(reference, "reference"), nonzero=True)
        signals = signals / references
        if sigmas is not None:
            sigmas = sigmas / np.abs(references)
        if closed_signals is not None:
            closed_signals = closed_signals / references
        if closed_sigmas is not None:
            closed_sigmas = closed_sigmas / np.abs(references)
    return _Columns(positions, signals, sigmas, closed_signals, closed_sigmas)


def _require_enough_points(path: str, n_points: int, what: str) -> None:
    if n_points < MIN_POSITIONS:
        raise DataFileError(path, f"{what} has {n_points} points; a curve needs at least "
                            f"{MIN_POSITIONS}")


# ---------------------------------------------------------------------------
# Energies and powers


def _check_energy_unit(energy_unit: EnergyUnit) -> EnergyUnit:
    if isinstance(energy_unit, str):
        try:
            units.energy_or_power("1" + energy_unit.strip())
        except units.UnitError:
            raise ValueError(f"energy_unit: {energy_unit!r} is not a unit of energy or "
                             "power; use J, mJ, uJ, nJ, pJ, W, mW, uW, nW, or a number of "
                             "joules per unit") from None
        return energy_unit.strip()
    if isinstance(energy_unit, bool) or not isinstance(energy_unit, (int, float)) or not (
            math.isfinite(energy_unit) and energy_unit > 0):
        raise ValueError(f"energy_unit: expected a positive number of joules per unit or a "
                         f"unit such as 'uJ' or 'mW', got {energy_unit!r}")
    return float(energy_unit)


def _check_repetition_rate(repetition_rate: float | None) -> float | None:
    if repetition_rate is None:
        return None
    if isinstance(repetition_rate, bool) or not isinstance(repetition_rate, (int, float)) or \
            not (math.isfinite(repetition_rate) and repetition_rate > 0):
        raise ValueError(f"repetition_rate: expected a positive number of pulses per second "
                         f"(Hz), got {repetition_rate!r}")
    return float(repetition_rate)


def pulse_energy_of(text: str, energy_unit: EnergyUnit = 1.0,
                    repetition_rate: float | None = None) -> float:
    """The pulse energy (J) that a number or a quantity written as text stands for.

    Parameters
    ----------
    text : str
        ``"200uJ"``, ``"115nw"`` (a unit in any case), or a bare number.
    energy_unit : float or str
        The unit of a bare number: joules per unit (``1e-6``) or a unit
        (``"uJ"``, ``"mW"``). A unit written in ``text`` takes precedence.
    repetition_rate : float, optional
        Pulses per second, which turns an average power into a pulse energy.

    Raises
    ------
    ValueError
        For text that is no positive energy or power, or a power without a
        repetition rate.
    """
    text = text.strip()
    if isinstance(energy_unit, str) or not _is_bare_number(text):
        default = energy_unit if isinstance(energy_unit, str) else None
        return units.energy_or_power(text, default).pulse_energy(repetition_rate)
    try:
        # Scaled in decimal, so that 200 uJ is 2e-4 J exactly as written
        # rather than 0.00019999999999999998.
        value = float(Decimal(text.replace(",", ".")) * Decimal(repr(float(energy_unit))))
    except ArithmeticError:
        raise ValueError(f"{text!r} is not a number") from None
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{text!r} must be a positive energy")
    return value


def _is_bare_number(text: str) -> bool:
    try:
        float(text.replace(",", "."))
    except ValueError:
        return False
    return True


_AUTO_ENERGY = re.compile(rf"({units.ENERGY_TOKEN})(?![a-zA-Z])", re.IGNORECASE)


def energy_from_file_name(path: str | os.PathLike[str], pattern: str,
                          unit: EnergyUnit = 1.0,
                          repetition_rate: float | None = None) -> float:
    """Parse a pulse energy (or an average power) from a file name.

    Parameters
    ----------
    path : path-like
        The file; only its name (not its folder) is searched.
    pattern : str
        ``"auto"``: the last number followed by an energy or power unit in the
        name, in any case (``_2.25uw``, ``-115nW``, ``3.2mJ``). Otherwise a
        regular expression with a named group ``energy`` or exactly one group;
        the text it captures may carry its own unit (``(\\d+\\w+)`` on
        ``scan_19uw.tsv`` gives ``19uw``).
    unit : float or str
        Unit of a captured bare number: joules per unit (``1e-6`` for µJ), or
        a unit such as ``"uJ"`` or ``"mW"``.
    repetition_rate : float, optional
        Pulses per second, needed when the name gives an average power.

    Returns
    -------
    float
        The pulse energy in joules.

    Raises
    ------
    DataFileError
        If the name does not match or the matched text is no positive energy
        or power.
    ValueError
        If the pattern is invalid or has no usable group.
    """
    name = Path(path).name
    if pattern == AUTO_PATTERN:
        found = _AUTO_ENERGY.findall(name)
        if not found:
            raise DataFileError(path, f"file name {name!r} holds no energy or power with a "
                                "unit (such as 200uJ or 19uW) for energy_pattern = 'auto'")
        text = found[-1]
    else:
        text = _captured(path, name, _compiled_pattern(pattern), pattern)
    try:
        return pulse_energy_of(text, unit, repetition_rate)
    except ValueError as error:
        raise DataFileError(path, f"energy {text!r} taken from the file name: "
                            f"{error}") from None


def _compiled_pattern(pattern: str) -> re.Pattern[str]:
    try:
        regex = re.compile(pattern)
    except re.error as exc:
        raise ValueError(f"energy_pattern: {pattern!r} is not a valid regular "
                         f"expression: {exc}") from None
    if "energy" not in regex.groupindex and regex.groups != 1:
        raise ValueError(f"energy_pattern: {pattern!r} needs a named group (?P<energy>...) "
                         f"or exactly one group, it has {regex.groups}")
    return regex


def _captured(path: str | os.PathLike[str], name: str, regex: re.Pattern[str],
              pattern: str) -> str:
    match = regex.search(name)
    if match is None:
        raise DataFileError(path, f"file name {name!r} does not match energy_pattern "
                            f"{pattern!r}")
    text = match.group("energy" if "energy" in regex.groupindex else 1)
    if text is None:
        raise DataFileError(path, f"energy_pattern {pattern!r} matched {name!r} without "
                            "capturing an energy")
    return text


# ---------------------------------------------------------------------------
# The three layouts


def load_curve(path: str | os.PathLike[str], position: Column = 0, signal: Column = 1,
               sigma: Column | None = None, reference: Column | None = None,
               pulse_energy: float | None = None, energy_pattern: str | None = None,
               energy_unit: EnergyUnit = 1.0, position_unit: str = "mm",
               step_size_mm: float | None = None, header: bool | None = None,
               delimiter: str | None = None, closed: Column | None = None,
               repetition_rate: float | None = None,
               closed_sigma: Column | None = None) -> Curve:
    """Read one scan at one pulse energy from its own file.

    Parameters
    ----------
    path : path-like
        Delimited text file with a column of positions and one of signals.
    position, signal : str or int
        Columns by header name or 0-based index.
    sigma : str or int, optional
        Column of uncertainties of the signal (positive).
    reference : str or int, optional
        Column of reference-detector readings; signal, sigma and the closed
        signal are divided by it.
    pulse_energy : float, optional
        Pulse energy in joules. Give this or ``energy_pattern``.
    energy_pattern : str, optional
        ``"auto"`` or a regular expression that finds the energy (or average
        power) in the file name; see :func:`energy_from_file_name`.
    energy_unit : float or str
        Unit of a bare number found by ``energy_pattern``: joules per unit, or
        a unit such as ``"uJ"`` or ``"mW"``.
    position_unit : {"mm", "um", "steps"}
        Unit of the position column; ``"steps"`` needs ``step_size_mm``.
    step_size_mm : float, optional
        Millimetres per motor step.
    header : bool, optional
        Whether the first row is a header; sniffed when None.
    delimiter : str, optional
        Column delimiter; sniffed when None.
    closed : str or int, optional
        Column of the closed-aperture signal, kept with the curve.
    repetition_rate : float, optional
        Pulses per second; turns a power in the file name into a pulse energy.
    closed_sigma : str or int, optional
        Column of uncertainties of the closed-aperture signal (positive).

    Returns
    -------
    Curve
        Positions in mm and signals in file order.

    Raises
    ------
    DataFileError
        For any problem with the file's content, naming file, line and column.
    ValueError
        For inconsistent arguments.
    """
    energy_unit = _check_energy_unit(energy_unit)
    repetition_rate = _check_repetition_rate(repetition_rate)
    energy = _energy_for_file(path, pulse_energy, energy_pattern, energy_unit,
                              repetition_rate)
    table = _read_table(path, delimiter=delimiter, header=header)
    columns = _read_columns(table, position, signal, sigma, reference, position_unit,
                            step_size_mm, closed, closed_sigma)
    _require_enough_points(table.path, columns.position.size, "the curve")
    return Curve(columns.position, columns.signal, columns.sigma, energy, str(path),
                 columns.closed, columns.closed_sigma)


def _energy_for_file(path: str | os.PathLike[str], pulse_energy: float | None,
                     energy_pattern: str | None, energy_unit: EnergyUnit,
                     repetition_rate: float | None) -> float:
    if pulse_energy is not None and energy_pattern is not None:
        raise ValueError(f"{path}: give pulse_energy or energy_pattern, not both")
    if energy_pattern is not None:
        if energy_pattern != AUTO_PATTERN:
            _compiled_pattern(energy_pattern)
        return energy_from_file_name(path, energy_pattern, energy_unit, repetition_rate)
    if pulse_energy is None:
        raise ValueError(f"{path}: no pulse energy; give pulse_energy (J) or "
                         "energy_pattern to read it from the file name")
    if isinstance(pulse_energy, bool) or not isinstance(pulse_energy, (int, float)) or not (
            math.isfinite(pulse_energy) and pulse_energy > 0):
        raise ValueError(f"pulse_energy: expected a positive number of joules, got "
                         f"{pulse_energy!r} (for {path})")
    return float(pulse_energy)


def _energy_factor(energy_unit: EnergyUnit, repetition_rate: float | None,
                   path: str) -> Decimal:
    """Joules per number of an energy column, as a decimal."""
    if not isinstance(energy_unit, str):
        return Decimal(repr(energy_unit))
    quantity = units.energy_or_power("1" + energy_unit)
    if quantity.is_power and repetition_rate is None:
        raise ValueError(f"energy_unit {energy_unit!r} is a power; give repetition_rate "
                         f"(in [experiment]) to turn the powers of {path} into pulse "
                         "energies")
    factor = Decimal(repr(quantity.value))
    return factor / Decimal(repr(repetition_rate)) if quantity.is_power else factor


def load_long(path: str | os.PathLike[str], energy: Column, position: Column,
              signal: Column, sigma: Column | None = None, reference: Column | None = None,
              position_unit: str = "mm", step_size_mm: float | None = None,
              header: bool | None = None, delimiter: str | None = None,
              energy_unit: EnergyUnit = 1.0, closed: Column | None = None,
              repetition_rate: float | None = None,
              closed_sigma: Column | None = None) -> list[Curve]:
    """Read every curve from one table with a row per point and an energy column.

    Parameters
    ----------
    path : path-like
        Delimited text file.
    energy, position, signal : str or int
        Columns by header name or 0-based index. The energy column holds
        numbers in ``energy_unit``.
    sigma, reference, closed, closed_sigma : str or int, optional
        As for :func:`load_curve`.
    position_unit, step_size_mm, header, delimiter
        As for :func:`load_curve`.
    energy_unit : float or str
        Joules per unit of the energy column, or its unit (``"uJ"``; a power
        unit such as ``"mW"`` needs ``repetition_rate``).
    repetition_rate : float, optional
        Pulses per second.

    Returns
    -------
    list of Curve
        One curve per distinct energy, in order of first appearance, each with
        its points in file order.

    Raises
    ------
    DataFileError
        For any problem with the file's content, or a curve of fewer than five
        points.
    """
    energy_unit = _check_energy_unit(energy_unit)
    repetition_rate = _check_repetition_rate(repetition_rate)
    factor = _energy_factor(energy_unit, repetition_rate, str(path))
    table = _read_table(path, delimiter=delimiter, header=header)
    energies = table.numbers(table.column_index(energy, "energy"), positive=True)
    columns = _read_columns(table, position, signal, sigma, reference, position_unit,
                            step_size_mm, closed, closed_sigma)
    curves = []
    for value in dict.fromkeys(energies.tolist()):
        rows = energies == value
        joules = float(Decimal(repr(value)) * factor)
        _require_enough_points(table.path, int(rows.sum()), f"the curve at energy {value:g}")
        curves.append(Curve(
            columns.position[rows], columns.signal[rows],
            None if columns.sigma is None else columns.sigma[rows],
            joules, f"{path} (pulse energy {joules:.4g} J)",
            None if columns.closed is None else columns.closed[rows],
            None if columns.closed_sigma is None else columns.closed_sigma[rows]))
    return curves


ENERGY_PLACEHOLDER = "{E}"
"""Where a wide table's column names hold the energy or power of their curve."""


def _column_template(name: str, template: str) -> re.Pattern[str]:
    if not isinstance(template, str) or template.count(ENERGY_PLACEHOLDER) != 1:
        raise ValueError(f"{name}: expected a column name with {ENERGY_PLACEHOLDER} once "
                         f"where the energy or power stands (such as 'OA_{{E}}'), got "
                         f"{template!r}")
    before, after = (re.escape(part) for part in template.strip().split(ENERGY_PLACEHOLDER))
    value = r"[-+]?(?:\d+(?:[.,]\d*)?|[.,]\d+)(?:[eE][-+]?\d+)?\s*[a-zA-Zµμ]*"
    return re.compile(rf"{before}\s*\(?(?P<energy>{value})\)?\s*{after}", re.IGNORECASE)


def _column_groups(table: _Table, name: str, template: str, energy_unit: EnergyUnit,
                   repetition_rate: float | None) -> dict[float, int]:
    """Pulse energy -> column index of every header name the template matches."""
    regex = _column_template(name, template)
    groups: dict[float, int] = {}
    assert table.header is not None
    for index, label in enumerate(table.header):
        match = regex.fullmatch(label.strip())
        if match is None:
            continue
        try:
            energy = pulse_energy_of(match["energy"], energy_unit, repetition_rate)
        except ValueError as error:
            raise DataFileError(table.path, f"{name} {template!r}: {error}",
                                column=label.strip()) from None
        if energy in groups:
            raise DataFileError(table.path, f"{name} {template!r}: columns "
                                f"{table.column_label(groups[energy])!r} and "
                                f"{label.strip()!r} are both for {energy:g} J",
                                column=label.strip())
        groups[energy] = index
    return groups


def load_wide(path: str | os.PathLike[str], signal_columns: str,
              position: Column | None = None, position_columns: str | None = None,
              sigma_columns: str | None = None, closed_columns: str | None = None,
              reference: Column | None = None, energy_unit: EnergyUnit = 1.0,
              position_unit: str = "mm", step_size_mm: float | None = None,
              delimiter: str | None = None,
              repetition_rate: float | None = None,
              closed_sigma_columns: str | None = None) -> list[Curve]:
    """Read every curve from one table that holds a group of columns per curve.

    The columns of a curve are found by their header names: in
    ``"OA_{E}"`` the placeholder ``{E}`` stands for the curve's energy or
    average power, written with or without its unit (``OA_0.5W``,
    ``OA_200uJ``, ``OA_(0.5 W)``); case does not matter.

    Parameters
    ----------
    path : path-like
        Delimited text file with a header row. Column groups may be of
        different lengths: a curve's points are the rows where its position
        cell is filled.
    signal_columns : str
        Names of the open-aperture signal columns, such as ``"OA_{E}"``.
    position : str or int, optional
        One position column shared by every curve...
    position_columns : str, optional
        ...or a position column per curve, such as ``"Z_{E}"``.
    sigma_columns, closed_columns, closed_sigma_columns : str, optional
        Names of the uncertainty, closed-aperture and closed-aperture
        uncertainty columns, per curve. A curve without a closed-aperture
        column was measured through the open aperture only.
    reference : str or int, optional
        One reference column shared by every curve.
    energy_unit : float or str
        Unit of an energy written without one in the column names.
    position_unit, step_size_mm, delimiter
        As for :func:`load_curve`.
    repetition_rate : float, optional
        Pulses per second; needed when the names give average powers.

    Returns
    -------
    list of Curve
        One per signal column, in the order of the columns.

    Raises
    ------
    DataFileError
        For a problem with the file's content: no header, a curve without its
        position column, an empty cell within a curve, too few points.
    ValueError
        For inconsistent arguments.
    """
    if (position is None) == (position_columns is None):
        raise ValueError("give position (one column for every curve) or position_columns "
                         "(a column per curve, such as 'Z_{E}'), not both or neither")
    energy_unit = _check_energy_unit(energy_unit)
    repetition_rate = _check_repetition_rate(repetition_rate)
    table = _read_table(path, delimiter=delimiter, header=True, short_rows=True)
    find = functools.partial(_column_groups, table, energy_unit=energy_unit,
                             repetition_rate=repetition_rate)
    signals = find("signal_columns", signal_columns)
    if not signals:
        raise DataFileError(path, f"no column name matches signal_columns "
                            f"{signal_columns!r}; the header has "
                            f"{', '.join(repr(n.strip()) for n in table.header or [])}")
    templates = {"position": position_columns, "sigma": sigma_columns,
                 "closed": closed_columns, "closed_sigma": closed_sigma_columns}
    if closed_sigma_columns is not None and closed_columns is None:
        raise ValueError("closed_sigma_columns: needs closed_columns too")
    optional = {role: find(f"{role}_columns", template)
                for role, template in templates.items() if template is not None}
    shared_position = None if position is None else table.column_index(position, "position")
    shared_reference = None if reference is None else table.column_index(reference,
                                                                          "reference")
    curves = []
    for energy, signal_index in signals.items():
        indices = {"signal": signal_index}
        for role, groups in optional.items():
            if energy not in groups and role == "closed":
                continue  # this energy was measured through the open aperture only
            if role == "closed_sigma" and "closed" not in indices:
                continue
            if energy not in groups:
                raise DataFileError(path, f"the curve in column "
                                    f"{table.column_label(signal_index)!r} has no {role} "
                                    f"column matching {templates[role]!r}")
            indices[role] = groups[energy]
        indices.setdefault("position", shared_position)
        curves.append(_wide_curve(table, energy, indices, shared_reference, position_unit,
                                  step_size_mm))
    return curves


def _wide_curve(table: _Table, energy: float, indices: dict[str, Any],
                reference: int | None, position_unit: str,
                step_size_mm: float | None) -> Curve:
    filled = np.array([bool(row[indices["position"]].strip()) for row in table.rows])
    part = _Table(table.path, table.header,
                  [row for row, keep in zip(table.rows, filled) if keep],
                  [line for line, keep in zip(table.line_numbers, filled) if keep])
    label = table.column_label(indices["signal"])
    _require_enough_points(table.path, len(part.rows), f"the curve in column {label!r}")
    columns = _read_columns(part, indices["position"], indices["signal"],
                            indices.get("sigma"), reference, position_unit, step_size_mm,
                            indices.get("closed"), indices.get("closed_sigma"))
    return Curve(columns.position, columns.signal, columns.sigma, energy,
                 f"{table.path} ({label})", columns.closed, columns.closed_sigma)


def _rebuild_data_file_error(path: str, message: str, line: int | None,
                             column: str | None) -> DataFileError:
    return DataFileError(path, message, line=line, column=column)
