"""A directory to start a measurement from: tarvo init writes a set-up
template with every key and example curves in the format tarvo fit reads."""

from pathlib import Path

import numpy as np

from .errors import InputError
from .files import write_text
from .fit_tables import read_start
from .setup_file import SETUP_FILE, read_setup_file
from .simulate_command import noisy_curves, write_curve_file
from .simulation import simulate


# Pulse energies (J) of the example curves and the names of their files.
EXAMPLE_CURVES = ((5e-6, "curve-5uJ.csv"), (1e-5, "curve-10uJ.csv"), (2e-5, "curve-20uJ.csv"))

# Noise of the example curves (standard deviation of the transmittance) and its seed.
EXAMPLE_NOISE = 0.005
EXAMPLE_SEED = 20

# Positions of the example curves: mm, -30 to 30 in steps of 1.5.
EXAMPLE_POSITIONS = np.linspace(-30.0, 30.0, 41)

# The set-up template. Every key has its unit and a typical value.
TEMPLATE = """\
# Set-up of a Z-scan measurement for tarvo (written by tarvo init).
# Edit the values, replace the curve files with your own, then run
#     tarvo fit {directory}
# Units: SI, except the sample width (cm), populations (cm^-3) and
# cross-sections (cm^2). Lines starting with # are comments.

[beam]
wavelength = 5.32e-7          # m, laser wavelength (532 nm)
w0 = 2e-5                     # m, beam waist radius at the focus (1/e^2 intensity), 20 um
M2 = 1.2                      # beam quality factor (1 for a perfect Gaussian beam)
pulse_fwhm = 6.66e-9          # s, pulse duration: full width at half maximum of the intensity
# tau = 4e-9                  # s, instead of pulse_fwhm: time profile exp(-(t/tau)^2),
                              #    tau = pulse_fwhm / (2 sqrt(ln 2)) (give one of the two)

[sample]
sample_width = 0.1            # cm, thickness of the sample (cuvette path length)
concentration = 1e-3          # mol/L, concentration of the absorber (all molecules in level 1)
# populations = [6.02e17, 0, 0, 0, 0]   # cm^-3, instead of concentration: levels 1 to 5
                              #    before the pulse (c mol/L gives c * 6.022e23 / 1000 in level 1)
is_sa = false                 # true for a saturable absorber (transmittance peak at the focus)
# absorbance = 0.25           # decadic absorbance over sample_width: sets sigma_1 and holds it
                              #    (remove sigma_1 from [fit] parameters then)
# linear_transmittance = 0.56 # instead of absorbance: the sample's linear transmittance

[data]
# columns = ["position", "transmittance"]   # what each column of the curve files holds, in
                              #    order: position, transmittance, sigma, signal, reference,
                              #    skip (default: the names of the header line)
position_unit = "mm"          # unit of the positions: "nm", "um", "mm", "cm", "m" or "in"
transmittance_unit = "fraction"   # "fraction" or "percent"
normalisation = "far-field"   # how data and model are normalised: "far-field" (each curve
                              #    divided by the mean of its outermost points; any scale, such
                              #    as a signal/reference ratio, is right), "linear" (by the linear
                              #    transmittance), "absolute" (not at all) or "shift"
far_field_points = 5          # points at each end of a curve in its far field
# exclude = [12.5, "line 40"] # points to leave out: positions (mm) and lines of the curve
                              #    files (readings that are no number, such as OVL, and lines
                              #    commented out with # are left out by themselves)

[model]
# variant = "established"     # "energy" (default: pulse-energy ratio over the beam
                              #    cross-section) or "established" (on-axis ratio, as fit_zscan)
# t_slices = 32               # time slices of the pulse (default: the model's own)
# z_slices = 2                # depth slices of the sample (default: the model's own)
# radial_points = 12          # radial quadrature nodes (energy model; default: its own)
# intensity_points = 20       # peak intensities the energy model marches (default: its own)

# One [[curve]] table per measured curve: its file (in this directory) and
# pulse energy. A curve file has a header line naming its columns, e.g.
#     position (mm),transmittance[,sigma]
# position of the sample, transmittance divided by its far field, and
# optionally the standard deviation of each transmittance value.
[[curve]]
file = "curve-5uJ.csv"
pulse_energy = 5e-6           # J, energy of one pulse (5 uJ)

[[curve]]
file = "curve-10uJ.csv"
pulse_energy = 1e-5           # J

[[curve]]
file = "curve-20uJ.csv"
pulse_energy = 2e-5           # J

# Start values of the eight parameters (fixed ones keep these values).
[start]
sigma_1 = 4e-18               # cm^2, absorption cross-section of level 1 (ground level)
sigma_2 = 2e-17               # cm^2, absorption cross-section of level 2
sigma_4 = 6e-17               # cm^2, absorption cross-section of level 4
tau_21 = 2e-9                 # s, time constant of the 2->1 decay
tau_24 = 1.5e-9               # s, time constant of the 2->4 transfer
tau_32 = 1e-12                # s, time constant of the 3->2 relaxation
tau_41 = 1e-6                 # s, time constant of the 4->1 decay
tau_54 = 1e-12                # s, time constant of the 5->4 relaxation

[fit]
parameters = ["sigma_1", "sigma_4"]
                              # the fitted parameters (two or three the data determine)
n_starts = 3                  # starts at the start values x 0.302, 1 and 3.31 (1 to 10)
# engine = "exact"            # "exact" (default) or "lsoda" (fit_zscan)
fit_focus = true              # fit the focus position too (exact engine; false: fixed at
                              #    focus_mm, else at the extreme of the data)
# focus_mm = 0.0              # mm, focus position (start value if fitted; default: the
                              #    extreme of the data)

# [bounds]                    # optional bounds of fitted parameters (exact engine): [min, max]
# sigma_4 = [0.0, 1e-15]      # cm^2
# focus = [-2.0, 2.0]         # mm

# [uncertainty]               # optional: the set-up's uncertainties, for the error budget of
                              #    every fitted parameter (relative: 0.05 is 5 %; absolute:
                              #    "VALUE UNIT")
# w0 = 0.05                   # or "1 um" (m, mm, um, nm)
# M2 = 0.05                   # or "0.1 absolute"
# pulse_energy = 0.03         # common to all curves (J, mJ, uJ, nJ), or a list of one per curve
# concentration = 0.01        # or populations = 0.01 (mol/L, M, mM, uM; cm^-3)
# sample_width = 0.01         # or "10 um" (cm, mm, um)
# tau = 0.05                  # or pulse_fwhm = "0.3 ns" (s, ns, ps, fs)
# absorbance = 0.02           # with [sample] absorbance or linear_transmittance; or "0.005 absolute"
"""

# The comment lines above the example curves' header.
EXAMPLE_NOTE = ("# Example curve written by tarvo init: model curve at the [start] values of "
                "setup.toml\n# with noise of standard deviation {noise:g}. Replace it with your "
                "measurement.\n")


# Write the template and the example curves into `directory` (created when
# missing); refuses to overwrite an existing set-up. Returns the paths written.
def write_starter(directory):
    directory = Path(directory)
    setup_path = directory / SETUP_FILE
    if setup_path.exists():
        raise InputError(f"{setup_path} exists already; tarvo init starts a new directory "
                         "(remove the file or choose another directory)")
    if directory.exists() and not directory.is_dir():
        raise InputError(f"{directory}: exists and is not a directory")
    directory.mkdir(parents=True, exist_ok=True)
    clashes = [name for _, name in EXAMPLE_CURVES if (directory / name).exists()]
    if clashes:
        raise InputError(f"{directory / clashes[0]} exists already; tarvo init does not "
                         "overwrite curve files")
    write_text(setup_path, TEMPLATE.format(directory=directory))
    setup_file = read_setup_file(directory)
    spec_pars = read_start(setup_file.document, str(setup_path))
    energies = [energy for energy, _ in EXAMPLE_CURVES]
    curves = simulate(EXAMPLE_POSITIONS, energies, spec_pars, setup=setup_file.setup)
    noisy = noisy_curves(curves, EXAMPLE_NOISE, EXAMPLE_SEED)
    written = [setup_path]
    for (_, name), row in zip(EXAMPLE_CURVES, noisy):
        path = directory / name
        write_curve_file(path, EXAMPLE_POSITIONS, row, None,
                         EXAMPLE_NOTE.format(noise=EXAMPLE_NOISE))
        written.append(path)
    return written
