# Type stub of the extension module tarnok_wrapper: multi-start fits of
# open-aperture z-scan data with a five-level rate-equation model.

from typing import Any

import numpy
import numpy.typing as npt

np = numpy
__test__: dict[str, Any]

def fit_zscan(
    x_data: npt.NDArray[numpy.float64],
    y_data: npt.NDArray[numpy.float64],
    populations: npt.NDArray[numpy.float64],
    t_slices: int,
    z_slices: int,
    sample_width: float,
    tau: float,
    wavelength: float,
    w0: float,
    M2: float,
    pulse_energy: npt.NDArray[numpy.float64],
    spec_pars: npt.NDArray[numpy.float64],
    fit_indices: npt.NDArray[numpy.int32],
    num_x_pts: int,
    num_datasets: int,
    is_sa: object = False,
    n_starts: int = 3,
) -> tuple[npt.NDArray[numpy.float64], float, npt.NDArray[numpy.float64]]:
    """Fit z-scan data with multi-start parallel optimization.

    The array arguments must be writable, C-contiguous 1-D buffers (float64,
    fit_indices int32); they are read in place, never copied or changed.

    Parameters:
        fit_indices: 0-based indices into spec_pars of the parameters to fit
            (valid range 0 to 7); converted to 1-based indices.
        is_sa: saturable absorber (True) or reverse saturable absorber (False).
            SA centers around max of y_data, RSA centers around min of y_data.
            Default False (RSA).
        n_starts: number of starting points (default 3).

    Returns:
        residuals, error, spec_pars (best result)
    """
    ...
