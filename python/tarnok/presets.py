"""Run files to start from for the common kinds of z-scan, written by
``tarnok init --preset NAME``: realistic values and bounds for the kind of
sample and laser, the parameters such a measurement can determine set to be
fitted, and comments that say why."""

from __future__ import annotations

import dataclasses


@dataclasses.dataclass(frozen=True)
class Preset:
    """A run file for one kind of measurement.

    Attributes
    ----------
    name : str
        What ``--preset`` takes.
    summary : str
        One line for ``tarnok init --help``.
    text : str
        The run file.
    """

    name: str
    summary: str
    text: str


_OUTPUT = '''
[fit]
n_starts = 8                    # the given values, then 7 spread over the bounds
seed = 0

[output]
folder = "tarnok-output"
format = "png"
'''

_FEMTOSECOND_TWO_PHOTON = '''\
# tarnok run file: a two-photon absorber measured with a femtosecond
# oscillator at a high repetition rate (1.56 um fibre laser, 90 fs, 100 MHz).
# A bare number is in SI units; strings carry their unit.

[experiment]
wavelength = "1.56 um"
w0 = "30 um"                    # 1/e^2 radius at the focus: Rayleigh range 1.6 mm
M2 = 1.1
tau_fwhm = "90 fs"              # the autocorrelator's pulse width, deconvolved
thickness = "1 mm"              # thinner than the Rayleigh range, as the model assumes
populations = ["0.1 mol/L", 0, 0, 0, 0]   # 0.1 M of absorbers, all in the ground state
repetition_rate = "100 MHz"     # the power meter reads average powers; also lets
                                # a long-lived state build up from pulse to pulse
beam = "gaussian"
t_slices = 21                   # two-photon absorption follows the pulse: no fine slicing needed
z_slices = 11

[data]
# One file per average power, the power in the name (scan_20mW.csv,
# scan_2.5mw.csv: any case), turned into pulse energies by repetition_rate.
layout = "per-energy"
energy_pattern = "auto"
position_column = 0
signal_column = 1
# sigma_column = 2

[[data.files]]
path = "data/scan_20mW.csv"

[[data.files]]
path = "data/scan_50mW.csv"

[[data.files]]
path = "data/scan_100mW.csv"

[normalise]
wings = 5
tilt = true                     # long fibre-laser scans drift; a straight baseline takes it out

# The sample is transparent at 1.56 um: no one-photon absorption, so the
# linear cross-sections are 0 and the dip comes from delta_12 alone. The
# lifetimes hardly matter with nothing absorbing from the excited states;
# they are typical of a dye in solution.
[parameters.delta_12]           # two-photon cross-section (m^4 s; 1 GM = 1e-58 m^4 s)
value = "1000 GM"               # a strong two-photon chromophore
vary = true                     # what a femtosecond open-aperture z-scan measures
min = "0.1 GM"
max = "1e5 GM"

[parameters.sigma_12]
value = 0.0                     # transparent at the laser wavelength
[parameters.sigma_23]
value = 0.0                     # no excited-state absorption at 90 fs and these irradiances
[parameters.sigma_45]
value = 0.0
[parameters.tau_21]
value = "1 ns"                  # fluorescence lifetime: far below the 10 ns between pulses
[parameters.tau_24]
value = "10 ns"
[parameters.tau_32]
value = "100 fs"
[parameters.tau_41]
value = "1 us"
[parameters.tau_54]
value = "100 fs"

[parameters.energy_scale]       # fixed: it trades off exactly against delta_12
value = 1.0

[parameters.z0]                 # the focus is rarely where the stage says it is
value = 0.0
vary = true
min = -5.0
max = 5.0
''' + _OUTPUT

_PICOSECOND_RSA = '''\
# tarnok run file: a reverse saturable absorber measured with picosecond
# pulses (532 nm, 30 ps, 10 Hz), where the excited singlet absorbs more than
# the ground state and the triplet has no time to form.

[experiment]
wavelength = "532 nm"
w0 = "25 um"
M2 = 1.2
tau_fwhm = "30 ps"
thickness = "1 mm"              # a 1 mm cuvette; the Rayleigh range is 3.7 mm
populations = ["1e17 cm^-3", 0, 0, 0, 0]   # about 0.17 mM
beam = "gaussian"
t_slices = 21
z_slices = 11

[data]
layout = "per-energy"
energy_pattern = "auto"         # rsa_100nJ.csv, rsa_1.6uJ.csv: units may differ
position_column = 0
signal_column = 1

[[data.files]]
path = "data/rsa_100nJ.csv"

[[data.files]]
path = "data/rsa_400nJ.csv"

[[data.files]]
path = "data/rsa_1.6uJ.csv"

[normalise]
wings = 5

# sigma_12 comes from the linear transmittance (sigma_12 = -ln(T0)/(N1 L)):
# normalisation hides it, so it is fixed. Within 30 ps the singlet barely
# decays (tau_21 ns), so the dip measures sigma_23.
[parameters.sigma_12]
value = "2e-17 cm^2"            # T0 = 0.82 through 1 mm
[parameters.sigma_23]
value = "1e-16 cm^2"            # excited-singlet absorption: what this scan determines
vary = true
min = "1e-18 cm^2"
max = "1e-14 cm^2"
[parameters.sigma_45]
value = "5e-17 cm^2"            # the triplet is not reached within the pulse
[parameters.tau_21]
value = "2 ns"                  # from fluorescence; far longer than the pulse, so not fitted
[parameters.tau_24]
value = "5 ns"                  # intersystem crossing
[parameters.tau_32]
value = "1 ps"                  # upper singlets relax within the pulse
[parameters.tau_41]
value = "10 us"
[parameters.tau_54]
value = "1 ps"

[parameters.energy_scale]
value = 1.0

[parameters.z0]
value = 0.0
vary = true
min = -5.0
max = 5.0
''' + _OUTPUT

_NANOSECOND_RSA = '''\
# tarnok run file: a reverse saturable absorber measured with nanosecond
# pulses (532 nm, 8 ns, 10 Hz): the triplet forms within the pulse and its
# absorption dominates the dip.

[experiment]
wavelength = "532 nm"
w0 = "20 um"
M2 = 1.0
tau_fwhm = "8 ns"
thickness = "1 mm"
populations = ["1e17 cm^-3", 0, 0, 0, 0]
beam = "gaussian"
t_slices = 21
z_slices = 11

[data]
layout = "per-energy"
energy_pattern = "auto"         # sample_25nJ.csv, ...
position_column = 0
signal_column = 1
# sigma_column = 2

[[data.files]]
path = "data/sample_25nJ.csv"

[[data.files]]
path = "data/sample_100nJ.csv"

[[data.files]]
path = "data/sample_400nJ.csv"

[normalise]
wings = 5
tilt = true

# sigma_12 from the linear transmittance, tau_24 and tau_41 from transient
# absorption: fixed, since a z-scan sees only products of them with the
# cross-sections. The singlet's sigma_23 is fixed too, best at the value a
# picosecond z-scan gave (the ps-rsa preset): fitted beside sigma_45 from
# nanosecond data alone, the two correlate at -0.999.
[parameters.sigma_12]
value = "2e-17 cm^2"
[parameters.sigma_23]
value = "5e-17 cm^2"
[parameters.sigma_45]
value = "3e-16 cm^2"            # the triplet absorption: the main result
vary = true
min = "1e-18 cm^2"
max = "1e-14 cm^2"
[parameters.tau_21]
value = "8 ns"
[parameters.tau_24]
value = "4 ns"                  # intersystem crossing, comparable with the pulse
[parameters.tau_32]
value = "100 ps"
[parameters.tau_41]
value = "1 us"                  # far beyond the pulse: cannot be fitted, so fixed
[parameters.tau_54]
value = "100 ps"

[parameters.energy_scale]
value = 1.0

[parameters.z0]
value = 0.0
vary = true
min = -5.0
max = 5.0
''' + _OUTPUT

_SATURABLE = '''\
# tarnok run file: a saturable absorber (a dye, or a doped crystal, whose
# ground state bleaches) measured with nanosecond pulses at 1064 nm.

[experiment]
wavelength = "1064 nm"
w0 = "30 um"
M2 = 1.1
tau_fwhm = "10 ns"
thickness = "1 mm"
populations = ["1e18 cm^-3", 0, 0, 0, 0]
beam = "gaussian"
t_slices = 41                   # bleaching within a time slice needs finer slices
z_slices = 11

[data]
layout = "per-energy"
energy_pattern = "auto"
position_column = 0
signal_column = 1

[[data.files]]
path = "data/sa_500nJ.csv"

[[data.files]]
path = "data/sa_2uJ.csv"

[[data.files]]
path = "data/sa_8uJ.csv"

[normalise]
wings = 5

# The excited states absorb nothing, so light bleaches the ground state: the
# peak at the focus measures sigma_12 against the recovery time tau_21. The
# linear transmittance fixes the product sigma_12 N1 L; with N1 known from
# it, sigma_12 is fitted and tau_21, from a pump-probe, is fixed.
[parameters.sigma_12]
value = "4e-18 cm^2"            # T0 = 0.67 through 1 mm
vary = true
min = "1e-20 cm^2"
max = "1e-15 cm^2"
[parameters.sigma_23]
value = 0.0
[parameters.sigma_45]
value = 0.0
[parameters.tau_21]
value = "5 ns"                  # ground-state recovery, comparable with the pulse
[parameters.tau_24]
value = "1 s"                   # no triplet: a transfer too slow to matter
[parameters.tau_32]
value = "1 ps"
[parameters.tau_41]
value = "1 us"
[parameters.tau_54]
value = "1 ps"

[parameters.energy_scale]
value = 1.0

[parameters.z0]
value = 0.0
vary = true
min = -5.0
max = 5.0
''' + _OUTPUT

PRESETS = {preset.name: preset for preset in (
    Preset("fs-2pa", "two-photon absorber, femtosecond oscillator at 100 MHz (1.56 um)",
           _FEMTOSECOND_TWO_PHOTON),
    Preset("ps-rsa", "reverse saturable absorber, picosecond pulses (532 nm, 30 ps)",
           _PICOSECOND_RSA),
    Preset("ns-rsa", "reverse saturable absorber, nanosecond pulses (532 nm, 8 ns)",
           _NANOSECOND_RSA),
    Preset("sa", "saturable absorber, nanosecond pulses (1064 nm, 10 ns)", _SATURABLE),
)}
"""Every preset by name."""


def preset(name: str) -> Preset:
    """The preset called ``name``.

    Raises
    ------
    ValueError
        For an unknown name, listing the known ones.
    """
    if name not in PRESETS:
        raise ValueError(f"unknown preset {name!r}; the presets are {', '.join(PRESETS)}")
    return PRESETS[name]
