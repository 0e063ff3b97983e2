"""A small measurement directory for the command-line tests, and running the tool."""

import numpy as np

from tarvo import simulate
from tarvo.cli import main
from tarvo.simulation import FIT_ZSCAN_MODEL

from model_cases import BEAM, POPULATIONS, RSA_PARS, SA_PARS

NUM_X_PTS = 11
ENERGIES = {"low.csv": 5e-6, "high.csv": 2e-5}
# Scan positions of the curves (mm): beyond 12 Rayleigh ranges on both sides.
POSITIONS = np.linspace(-25.0, 25.0, NUM_X_PTS)
# The cheap grids of these tests.
GRIDS = dict(t_slices=2, z_slices=2)

# setup.toml of a measurement directory: the beam and sample of these tests,
# two curves at 5 and 20 µJ, one start; the file names, grids, start values
# of sigma_1, sigma_2, sigma_4 and the fitted parameters are filled in
# (bench/batch_benchmark.py writes its directories with it too).
SETUP_TEMPLATE = """\
[beam]
wavelength = 532e-9
w0 = 20e-6
M2 = 1.2
tau = 4e-9

[sample]
sample_width = 0.1
populations = [6e17, 0, 0, 0, 0]

[model]
t_slices = {t_slices}
z_slices = {z_slices}

[[curve]]
file = "{low}"
pulse_energy = 5e-6

[[curve]]
file = "{high}"
pulse_energy = 2e-5

[start]
sigma_1 = {sigma_1}
sigma_2 = {sigma_2}
sigma_4 = {sigma_4}
tau_21 = 2e-9
tau_24 = 1.5e-9
tau_32 = 1e-12
tau_41 = 1e-6
tau_54 = 1e-12

[fit]
parameters = [{parameters}]
n_starts = 1
"""

SETUP_TOML = SETUP_TEMPLATE.format(t_slices=2, z_slices=2, low="low.csv", high="high.csv",
                                   sigma_1="6e-18", sigma_2="2e-17", sigma_4="6e-17",
                                   parameters='"sigma_1"')


# A CSV file of one curve with the header line naming its columns (and a
# sigma column when given).
def write_curve(path, x, y, sigma=None):
    columns = [x, y] if sigma is None else [x, y, sigma]
    header = "position_mm,normalised_transmittance" + ("" if sigma is None else ",sigma")
    path.write_text(header + "\n"
                    + "".join(",".join(repr(float(v)) for v in row) + "\n"
                              for row in zip(*columns)))


# Model curves of the directory's set-up with 0.4 % seeded noise, one row per
# file: the energy model divided by its far field, or fit_zscan's model.
def noisy_curves(pars=RSA_PARS, x=POSITIONS, model="energy"):
    convention = dict(model="energy") if model == "energy" else FIT_ZSCAN_MODEL
    model = simulate(x, list(ENERGIES.values()), pars,
                     **dict(BEAM, populations=POPULATIONS, **GRIDS), **convention)
    return model * (1.0 + 0.004 * np.random.default_rng(3).standard_normal(model.shape))


# Write the measurement: setup.toml and the two curves (saturable absorber if asked).
def make_measurement(directory, saturable=False, transform=lambda x, y: (x, y), sigma=None,
                     model="energy"):
    curves = noisy_curves(SA_PARS if saturable else RSA_PARS, model=model)
    for name, row in zip(ENERGIES, curves):
        x, y = transform(POSITIONS, row)
        write_curve(directory / name, x, y, sigma)
    text = SETUP_TOML
    if saturable:
        text = text.replace("populations = [6e17, 0, 0, 0, 0]",
                            "populations = [6e17, 0, 0, 0, 0]\nis_sa = true")
    (directory / "setup.toml").write_text(text)
    return directory


# Run the tool in-process.
def run(capsys, *args):
    """main(args): exit status, stdout, stderr."""
    try:
        status = main([str(a) for a in args])
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    return status, out, err
