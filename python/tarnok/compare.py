"""Comparing models fitted to the same data by their information criteria:
χ², reduced χ², number of varied parameters, AIC, BIC, ΔAIC and Akaike weights.
Results fitted to different data are refused, by a hash of the data that
every result carries."""

from __future__ import annotations

import hashlib
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .zscan import ZScan

if TYPE_CHECKING:
    from .fit import FitResult

HASH_NAME = "sha256"


def data_hash(data: ZScan) -> str:
    """A hash of positions, transmittance, pulse energies and σ (or their
    absence), exact to the last bit, that survives the round trip through
    ``result.json`` (which keeps every digit)."""
    digest = hashlib.sha256()
    for array in (data.positions_mm, data.transmittance, data.pulse_energies):
        values = _canonical(array)
        digest.update(repr(values.shape).encode())
        digest.update(values.tobytes())
    if data.sigma is None:
        digest.update(b"no sigma")
    else:
        digest.update(_canonical(data.sigma).tobytes())
    if data.closed is not None:
        # Scans without closed-aperture curves keep the hash they always had.
        digest.update(b"closed")
        digest.update(_canonical(data.closed).tobytes())
        digest.update(b"no sigma" if data.closed_sigma is None
                      else _canonical(data.closed_sigma).tobytes())
    return f"{HASH_NAME}:{digest.hexdigest()}"


def _canonical(array: np.ndarray) -> np.ndarray:
    # An absent curve is NaN, whose bits may differ between NaNs; JSON keeps
    # none of them (null), so they are all made one.
    values = np.ascontiguousarray(array, dtype="<f8")
    return np.where(np.isnan(values), np.nan, values).astype("<f8")


@dataclass(frozen=True)
class ModelScore:
    """One row of a comparison."""

    label: str
    chisqr: float
    redchi: float
    nvarys: int
    aic: float
    bic: float
    delta_aic: float
    akaike_weight: float


@dataclass(frozen=True)
class Comparison:
    """Models fitted to one data set, in the order given."""

    rows: tuple[ModelScore, ...]
    data_hash: str

    @property
    def best(self) -> ModelScore:
        """The row of lowest AIC."""
        return min(self.rows, key=lambda row: row.aic)

    def table(self) -> str:
        """The comparison as aligned text."""
        width = max(len("model"), *(len(row.label) for row in self.rows))
        header = (f"{'model':<{width}}  {'chi-square':>12}  {'reduced':>10}  {'nvarys':>6}  "
                  f"{'AIC':>12}  {'BIC':>12}  {'dAIC':>9}  {'weight':>7}")
        lines = [header]
        for row in self.rows:
            lines.append(f"{row.label:<{width}}  {row.chisqr:>12.6g}  {row.redchi:>10.5g}  "
                         f"{row.nvarys:>6d}  {row.aic:>12.6g}  {row.bic:>12.6g}  "
                         f"{row.delta_aic:>9.4g}  {row.akaike_weight:>7.3f}")
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()


def compare(results: Sequence["FitResult | Mapping[str, Any] | str | Path"],
            labels: Sequence[str] | None = None) -> Comparison:
    """Compare fits of different models to the same data.

    Parameters
    ----------
    results : sequence
        At least two fits: :class:`tarnok.FitResult` objects, result
        documents (as read from ``result.json``) or paths of ``result.json``
        files.
    labels : sequence of str, optional
        A name for each (default: the path, the run file's name or
        ``model N``).

    Returns
    -------
    Comparison
        ΔAIC is each AIC less the lowest; the Akaike weights
        exp(−ΔAIC/2), normalised to sum to 1, are the relative likelihoods of
        the models given the data.

    Raises
    ------
    ValueError
        For fewer than two results, labels that do not match them, or results
        fitted to different data (or some with σ and some without).
    TypeError
        For an entry that is none of the accepted kinds.
    """
    if isinstance(results, (str, Path, Mapping)) or len(results) < 2:
        raise ValueError("compare needs a sequence of at least two results")
    if labels is not None and len(labels) != len(results):
        raise ValueError(f"labels: {len(labels)} given for {len(results)} results")
    scores = [_summary(entry, k) for k, entry in enumerate(results)]
    hashes = {summary["data_hash"] for summary in scores}
    if len(hashes) > 1:
        differing = ", ".join(f"{s['label']} ({s['data_hash'][7:19]}…)" for s in scores)
        raise ValueError("the results were fitted to different data and cannot be compared: "
                         f"{differing}")
    lowest = min(s["aic"] for s in scores)
    relative = [math.exp(-0.5 * (s["aic"] - lowest)) for s in scores]
    rows = tuple(ModelScore(
        label=labels[k] if labels is not None else s["label"], chisqr=s["chisqr"],
        redchi=s["redchi"], nvarys=s["nvarys"], aic=s["aic"], bic=s["bic"],
        delta_aic=s["aic"] - lowest, akaike_weight=relative[k] / sum(relative))
        for k, s in enumerate(scores))
    return Comparison(rows=rows, data_hash=hashes.pop())


def _summary(entry: Any, index: int) -> dict[str, Any]:
    from .fit import FitResult
    from .outputs import read_document

    label = f"model {index + 1}"
    if isinstance(entry, (str, Path)):
        label = str(entry)
        entry = read_document(Path(entry))
    if isinstance(entry, FitResult):
        if entry.data is None:
            raise ValueError(f"results[{index}] keeps no data to compare by")
        return {"label": label, "data_hash": data_hash(entry.data), "chisqr": entry.chisqr,
                "redchi": entry.redchi, "nvarys": entry.nvarys, "aic": entry.aic,
                "bic": entry.bic}
    if not isinstance(entry, Mapping):
        raise TypeError(f"results[{index}]: expected a FitResult, a result document or a "
                        f"path, got {type(entry).__name__}")
    return _document_summary(entry, label, index)


def _document_summary(document: Mapping[str, Any], label: str, index: int) -> dict[str, Any]:
    from .outputs import ResultFileError, saved_fit

    where = label if label != f"model {index + 1}" else f"results[{index}]"
    run = document.get("run") or {}
    if label == f"model {index + 1}" and run.get("source"):
        label = Path(run["source"]).name
    hashed = document.get("data_hash") or data_hash(saved_fit(document, where).data)
    summary = {"label": label, "data_hash": hashed}
    for key in ("chisqr", "redchi", "aic", "bic"):
        value = document.get(key)
        if value is None and key == "redchi":  # no degrees of freedom left
            value = math.nan
        if not isinstance(value, (int, float)) or isinstance(value, bool):
            raise ResultFileError(f"{where}: {key!r} missing or not a number")
        summary[key] = float(value)
    nvarys = document.get("nvarys")
    if not isinstance(nvarys, int) or isinstance(nvarys, bool):
        raise ResultFileError(f"{where}: 'nvarys' missing or not a whole number")
    summary["nvarys"] = nvarys
    return summary
