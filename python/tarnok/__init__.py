"""tarnok: fits of open-aperture z-scan measurements with a five-level
rate-equation model, on an exact (closed-form) engine with derivatives.

The main entry points::

    experiment = tarnok.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9,
                                   thickness=1e-3, populations=[1e23, 0, 0, 0, 0])
    params = tarnok.Parameters(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20,
                               tau_21=8e-9, tau_24=4e-9, tau_32=1e-10,
                               tau_41=1e-6, tau_54=1e-10)
    curves = tarnok.simulate(experiment, params, positions_mm, pulse_energies)
    result = tarnok.fit(data, experiment, params)
    results = tarnok.fit_many(["a.toml", "b.toml"])

The names are imported on first use, so that the ``tarnok`` command starts
(and answers Ctrl-C) before NumPy and the compiled engine are loaded.
"""

from __future__ import annotations

# Only modules the interpreter has loaded already: this runs before the
# command can answer Ctrl-C.
import importlib
import sys
import types

# Public name -> the module that defines it.
_EXPORTS = {
    "Experiment": "experiment", "Parameter": "parameters", "Parameters": "parameters",
    "FitProgress": "fit", "FitResult": "fit", "StartOutcome": "fit", "fit": "fit",
    "Diagnostics": "simulation", "jacobian": "simulation", "peak_irradiance": "simulation",
    "raw_transmittance": "simulation", "simulate": "simulation", "ZScan": "zscan",
    "fit_many": "batch", "Comparison": "compare", "compare": "compare",
}
_SUBMODULES = ("derived", "io", "normalise", "units", "presets", "batch", "outputs",
               "plotting", "runfile", "discretisation")

__all__ = sorted(_EXPORTS) + ["derived", "io", "normalise", "units", "__version__"]

def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tarnok")
    except PackageNotFoundError:  # run from a source tree
        return "0+unknown"


def __getattr__(name: str) -> object:
    if name in _EXPORTS:
        value = getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
    elif name in _SUBMODULES:
        value = importlib.import_module(f".{name}", __name__)
    elif name == "__version__":
        value = _version()
    else:
        raise AttributeError(f"module 'tarnok' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


# Functions named as the submodule that defines them.
_FUNCTIONS_OVER_MODULES = ("fit", "compare")


class _Package(types.ModuleType):
    """The package, whose ``fit`` and ``compare`` are the functions although
    submodules of those names exist: importing a submodule binds it as an
    attribute of its package, and here that binding is left out for them."""

    def __setattr__(self, name: str, value: object) -> None:
        if name in _FUNCTIONS_OVER_MODULES and isinstance(value, types.ModuleType):
            return
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package
