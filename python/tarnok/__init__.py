"""tarnok: fits of open-aperture z-scan measurements with a five-level
rate-equation model, on an exact (closed-form) engine with derivatives.

The main entry points::

    experiment = tarnok.Experiment(wavelength=532e-9, w0=20e-6, M2=1.0, tau=5e-9,
                                   thickness=1e-3, populations=[1e23, 0, 0, 0, 0])
    params = tarnok.Parameters(sigma_12=2e-21, sigma_23=5e-21, sigma_45=3e-20,
                               tau_21=8e-9, tau_24=4e-9, tau_32=1e-10,
                               tau_41=1e-6, tau_54=1e-10)
    curves = tarnok.simulate(experiment, params, positions_mm, pulse_energies)
"""

from importlib.metadata import PackageNotFoundError, version as _version

from .experiment import Experiment
from .parameters import Parameter, Parameters
from . import derived, io, normalise
from .fit import FitProgress, FitResult, StartOutcome, fit
from .compare import Comparison, compare
from .simulation import Diagnostics, jacobian, peak_irradiance, raw_transmittance, simulate
from .zscan import ZScan

try:
    __version__ = _version("tarnok")
except PackageNotFoundError:  # run from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Comparison", "FitProgress", "FitResult", "StartOutcome", "ZScan", "compare", "derived",
    "fit", "io", "normalise",
    "Diagnostics", "Experiment", "Parameter", "Parameters", "simulate", "jacobian", "peak_irradiance",
    "raw_transmittance", "__version__",
]
