"""Writes the example measurement examples/rsa-532nm/ from known parameters.

A reverse saturable absorber at 532 nm measured with nanosecond pulses at
three pulse energies, made the way a laboratory records it: the energy
model's absolute transmittance (transmitted over incident pulse energy) of
the parameters below, seeded detector noise of 0.5 %, and each curve divided
by the mean of its five outermost points on each side (its far field). The
known parameters stay here and in
rsa-532nm-truth.toml beside the data directory, not in the data, so that the
fit works from the measurement alone:

    python examples/make_example.py
    tarvo fit examples/rsa-532nm --truth examples/rsa-532nm-truth.toml
"""

import argparse
from pathlib import Path

import numpy as np

from tarvo import simulate
from tarvo.parameters import NAMES, PARAMETERS

# Where the data and the known values go.
HERE = Path(__file__).resolve().parent
DATA_DIR = HERE / "rsa-532nm"
TRUTH_FILE = HERE / "rsa-532nm-truth.toml"

# Beam, pulse and sample (SI units; sample width in cm, populations in cm^-3).
SETUP = dict(wavelength=532e-9, w0=20e-6, M2=1.2, tau=4e-9, sample_width=0.1,
             populations=[6e17, 0.0, 0.0, 0.0, 0.0])

# Points at each end of a scan whose mean is its far field.
FAR_FIELD_POINTS = 5

# Pulse energy (J) and file name of each curve.
CURVES = [(5e-6, "curve-5uJ.csv"), (1e-5, "curve-10uJ.csv"), (2e-5, "curve-20uJ.csv")]

# Scan: 41 stage positions from -30 to +30 mm, focus at 0.
POSITIONS_MM = np.linspace(-30.0, 30.0, 41)

# The parameters that made the data: cross-sections in cm^2, time constants in s.
TRUE_PARAMETERS = dict(sigma_1=4e-18, sigma_2=2e-17, sigma_4=6e-17, tau_21=2e-9,
                       tau_24=1.5e-9, tau_32=1e-12, tau_41=1e-6, tau_54=1e-12)

# Fitted parameters and their starting values: off by a factor of 1.5 and 2.
# The data determine these two well (standard errors near 0.6 %, correlation
# +0.3); the others stay at their known values (the time constants measured
# independently, for example by transient absorption). Three parameters are
# not separable here: sigma_4 and tau_24 act almost only through their ratio
# (correlation +1.000 when both are fitted), and at these energies sigma_2 and
# sigma_4 are nearly interchangeable (correlation -0.998).
FITTED_STARTS = dict(sigma_1=6e-18, sigma_4=1.2e-16)

# Fit the focus position too (the exact engine's focus parameter).
FIT_FOCUS = True

# Starts of the multi-start fit (start values x 0.302, 1 and 3.31).
N_STARTS = 3

# Noise: 0.5 % of the transmittance, from a fixed seed so the data never change.
NOISE_RELATIVE = 0.005
NOISE_SEED = 532

# Column of the comments in setup.toml.
COMMENT_COLUMN = 48


# A float in TOML syntax, exponent without padding: 5.32e-07 -> 5.32e-7.
def toml_float(value):
    text = repr(float(value))
    if "e" not in text:
        return text
    mantissa, exponent = text.split("e")
    return f"{mantissa}e{int(exponent)}"


# A key = value line with its comment in a common column.
def entry(key, value, comment):
    return f"{key} = {value}".ljust(COMMENT_COLUMN - 2) + f"  # {comment}"


# The text of setup.toml.
def setup_text():
    start = dict(TRUE_PARAMETERS, **FITTED_STARTS)
    populations = "[" + ", ".join(toml_float(v) for v in SETUP["populations"]) + "]"
    lines = [
        "# Z-scan of a reverse saturable absorber at 532 nm, nanosecond pulses.",
        "# Units: SI, except the sample width (cm), populations (cm^-3) and",
        "# cross-sections (cm^2).",
        "",
        "[beam]",
        entry("wavelength", toml_float(SETUP["wavelength"]), "m"),
        entry("w0", toml_float(SETUP["w0"]), "m, beam waist radius"),
        entry("M2", toml_float(SETUP["M2"]), "beam quality factor"),
        entry("tau", toml_float(SETUP["tau"]), "s, pulse time profile exp(-(t/tau)^2)"),
        "",
        "[sample]",
        entry("sample_width", toml_float(SETUP["sample_width"]), "cm"),
        entry("populations", populations, "cm^-3, levels 1 to 5 before the pulse"),
        entry("is_sa", "false", "reverse saturable absorber: the focus is the minimum"),
        "",
        "[data]",
        entry("columns", '["position", "transmittance"]', "what the curve files hold"),
        entry("position_unit", '"mm"', "unit of the positions"),
        entry("normalisation", '"far-field"', "each curve divided by its far field"),
        entry("far_field_points", FAR_FIELD_POINTS, "points at each end in the far field"),
        "",
    ]
    for energy, name in CURVES:
        lines += ["[[curve]]", f'file = "{name}"', entry("pulse_energy", toml_float(energy), "J"),
                  ""]
    lines += ["# Starting values of the eight parameters."]
    lines += ["[start]"]
    lines += [entry(p.name, toml_float(start[p.name]), f"{p.unit}, {p.meaning}")
              for p in PARAMETERS]
    lines += ["", "# Two parameters the data determine; the others are known. sigma_4 and tau_24",
              "# act almost only through their ratio (correlation +1.000 when both are",
              "# fitted), and at these energies sigma_2 and sigma_4 are nearly",
              "# interchangeable (correlation -0.998): fitting three gives values the data",
              "# do not fix.",
              "[fit]",
              entry("parameters", "[" + ", ".join(f'"{n}"' for n in FITTED_STARTS) + "]",
                    "the fitted parameters"),
              entry("n_starts", N_STARTS, "starts at the start values x 0.302, 1 and 3.31"),
              entry("fit_focus", "true" if FIT_FOCUS else "false",
                    "fit the focus position too (exact engine)"), ""]
    return "\n".join(lines)


# The text of the file of known values.
def truth_text():
    lines = ["# The parameters that examples/make_example.py made rsa-532nm/ from.",
             "# Compare: tarvo fit examples/rsa-532nm --truth examples/rsa-532nm-truth.toml"]
    lines += [f"{name} = {toml_float(TRUE_PARAMETERS[name])}" for name in NAMES]
    return "\n".join(lines) + "\n"


# Noisy curves as a laboratory records them, one row per pulse energy: the
# absolute transmittance with detector noise, divided by its far field.
def measured_curves():
    absolute = simulate(POSITIONS_MM, [e for e, _ in CURVES], TRUE_PARAMETERS, model="energy",
                        normalisation="absolute", **SETUP)
    rng = np.random.default_rng(NOISE_SEED)
    noisy = absolute * (1.0 + NOISE_RELATIVE * rng.standard_normal(absolute.shape))
    ends = np.concatenate([noisy[:, :FAR_FIELD_POINTS], noisy[:, -FAR_FIELD_POINTS:]], axis=1)
    return noisy / ends.mean(axis=1, keepdims=True)


# Write the data directory and the file of known values.
def write_example(data_dir=DATA_DIR, truth_file=TRUTH_FILE):
    data_dir.mkdir(parents=True, exist_ok=True)
    for (energy, name), values in zip(CURVES, measured_curves()):
        rows = [f"{x:.1f},{y:.6f}" for x, y in zip(POSITIONS_MM, values)]
        (data_dir / name).write_text("position (mm),transmittance\n"
                                     + "\n".join(rows) + "\n", encoding="utf-8")
    (data_dir / "setup.toml").write_text(setup_text(), encoding="utf-8")
    truth_file.write_text(truth_text(), encoding="utf-8")


# The global example: the same molecule measured with nanosecond and with
# picosecond pulses (examples/global/ns and examples/global/ps). Alone, the
# nanosecond scan fixes sigma_4 and tau_24 only together with sigma_2, the
# picosecond one sigma_2 only; fitted together they fix all three. sigma_1
# comes from the linear absorbance, as a laboratory measures it.
GLOBAL_DIR = HERE / "global"
GLOBAL_SETUPS = {
    "ns": dict(pulse=("tau", 4e-9, "s, pulse time profile exp(-(t/tau)^2)"),
               energies=(5e-6, 1e-5, 2e-5), focus=-0.2, seed=41),
    "ps": dict(pulse=("pulse_fwhm", 25e-12, "s, intensity FWHM of the pulse (25 ps)"),
               energies=(2e-7, 5e-7, 1e-6), focus=0.3, seed=42),
}
GLOBAL_POSITIONS_MM = np.linspace(-30.0, 30.0, 61)
GLOBAL_FITTED_STARTS = dict(sigma_2=3e-17, sigma_4=1e-16, tau_24=1e-9)
# The data are made at a finer resolution than the energy model's defaults.
GLOBAL_MODEL_GRID = dict(t_slices=48, z_slices=4, radial_points=16, intensity_points=30)


# setup.toml of one measurement of the global example.
def global_setup_text(name, settings):
    key, value, comment = settings["pulse"]
    absorbance = (TRUE_PARAMETERS["sigma_1"] * SETUP["populations"][0] * SETUP["sample_width"]
                  / np.log(10.0))
    start = dict(TRUE_PARAMETERS, **GLOBAL_FITTED_STARTS)
    lines = [f"# The {name} measurement of the global example (examples/make_example.py).",
             "# Fit it with the other one: tarvo fit examples/global/ns examples/global/ps "
             "--out examples/global/result", "",
             "[beam]",
             entry("wavelength", toml_float(SETUP["wavelength"]), "m"),
             entry("w0", toml_float(SETUP["w0"]), "m, beam waist radius"),
             entry("M2", toml_float(SETUP["M2"]), "beam quality factor"),
             entry(key, toml_float(value), comment), "",
             "[sample]",
             entry("sample_width", toml_float(SETUP["sample_width"]), "cm"),
             entry("populations", "[" + ", ".join(toml_float(v) for v in SETUP["populations"])
                   + "]", "cm^-3, levels 1 to 5 before the pulse"),
             entry("absorbance", f"{absorbance:.6f}", "decadic, at 532 nm: sets and holds "
                   "sigma_1"), "",
             "[data]",
             entry("normalisation", '"far-field"', "each curve divided by its far field"), ""]
    for energy in settings["energies"]:
        lines += ["[[curve]]", f'file = "curve-{energy * 1e6:g}uJ.csv"',
                  entry("pulse_energy", toml_float(energy), "J"), ""]
    lines += ["[start]"]
    lines += [entry(p.name, toml_float(start[p.name]), f"{p.unit}, {p.meaning}")
              for p in PARAMETERS]
    lines += ["", "[fit]",
              entry("parameters", "[" + ", ".join(f'"{n}"' for n in GLOBAL_FITTED_STARTS) + "]",
                    "the fitted parameters"),
              entry("n_starts", 1, "one start at the start values"),
              entry("fit_focus", "true", "fit the focus position too"), ""]
    return "\n".join(lines)


# Write the two measurements of the global example.
def write_global_example(root=GLOBAL_DIR):
    for name, settings in GLOBAL_SETUPS.items():
        directory = root / name
        directory.mkdir(parents=True, exist_ok=True)
        key, value, _ = settings["pulse"]
        tau = value / (2.0 * np.sqrt(np.log(2.0))) if key == "pulse_fwhm" else value
        setup = dict(SETUP, tau=tau)
        absolute = simulate(GLOBAL_POSITIONS_MM - settings["focus"], list(settings["energies"]),
                            TRUE_PARAMETERS, model="energy", normalisation="absolute",
                            **setup, **GLOBAL_MODEL_GRID)
        rng = np.random.default_rng(settings["seed"])
        noisy = absolute * (1.0 + NOISE_RELATIVE * rng.standard_normal(absolute.shape))
        ends = np.concatenate([noisy[:, :FAR_FIELD_POINTS], noisy[:, -FAR_FIELD_POINTS:]],
                              axis=1)
        for energy, values in zip(settings["energies"], noisy / ends.mean(axis=1, keepdims=True)):
            rows = [f"{x:.1f},{y:.6f}" for x, y in zip(GLOBAL_POSITIONS_MM, values)]
            (directory / f"curve-{energy * 1e6:g}uJ.csv").write_text(
                "position (mm),transmittance\n" + "\n".join(rows) + "\n", encoding="utf-8")
        (directory / "setup.toml").write_text(global_setup_text(name, settings),
                                              encoding="utf-8")


# The closed-aperture example: a two-photon absorbing, self-defocusing solid
# (ZnSe-like, below its band gap) at 532 nm with 20 ps pulses, open and
# closed (S = 0.4) scans at two energies, recorded as a laboratory does:
# each detector's energy ratio with 0.5 % noise, divided by its far field.
# It has no excited-state model: [start] gives beta and n2 only, [sample]
# its weak linear absorption.
CLOSED_DIR = HERE / "tpa-532nm"
CLOSED_TRUTH_FILE = HERE / "tpa-532nm-truth.toml"
CLOSED_SETUP = dict(wavelength=532e-9, w0=20e-6, M2=1.0, tau=2e-11, sample_width=0.1)
CLOSED_ABSORBANCE = 0.02
CLOSED_SITES = 1e22
CLOSED_TRUE = dict(beta=5.8e-11, n2=-6.8e-18)
CLOSED_STARTS = dict(beta=3e-11, n2=-1e-17)
CLOSED_CURVES = [(5e-8, "open-50nJ.csv", 1.0), (1e-7, "open-100nJ.csv", 1.0),
                 (5e-8, "closed-50nJ.csv", 0.4), (1e-7, "closed-100nJ.csv", 0.4)]
CLOSED_POSITIONS_MM = np.linspace(-24.0, 24.0, 97)
CLOSED_SEED = 58


# setup.toml of the closed-aperture example.
def closed_setup_text():
    lines = ["# Z-scan of a two-photon absorbing, self-defocusing solid at 532 nm, 20 ps",
             "# pulses: open- and closed-aperture scans (examples/make_example.py).",
             "# No excited-state model: [start] gives the optical parameters only.", "",
             "[beam]",
             entry("wavelength", toml_float(CLOSED_SETUP["wavelength"]), "m"),
             entry("w0", toml_float(CLOSED_SETUP["w0"]), "m, beam waist radius"),
             entry("M2", toml_float(CLOSED_SETUP["M2"]), "beam quality factor"),
             entry("tau", toml_float(CLOSED_SETUP["tau"]), "s, pulse time profile exp(-(t/tau)^2)"),
             "",
             "[sample]",
             entry("sample_width", toml_float(CLOSED_SETUP["sample_width"]), "cm"),
             entry("absorbance", toml_float(CLOSED_ABSORBANCE), "decadic, the weak linear absorption"),
             "",
             "[data]",
             entry("normalisation", '"far-field"', "each curve divided by its far field"), ""]
    for energy, name, aperture in CLOSED_CURVES:
        lines += ["[[curve]]", f'file = "{name}"', entry("pulse_energy", toml_float(energy), "J")]
        if aperture < 1.0:
            lines.append(entry("aperture", toml_float(aperture),
                               "the far-field aperture passes 40 % of the linear beam"))
        lines.append("")
    lines += ["[start]",
              entry("beta", toml_float(CLOSED_STARTS["beta"]), "m/W, two-photon absorption"),
              entry("n2", toml_float(CLOSED_STARTS["n2"]), "m^2/W, Kerr index"), "",
              "[fit]", entry("parameters", '["beta", "n2"]', "open and closed curves together"),
              entry("n_starts", 1, "one start"),
              entry("fit_focus", "true", "fit the focus position too"), ""]
    return "\n".join(lines)


# Write the closed-aperture example and its known values.
def write_closed_example(data_dir=CLOSED_DIR, truth_file=CLOSED_TRUTH_FILE):
    sigma_1 = CLOSED_ABSORBANCE * np.log(10.0) / CLOSED_SETUP["sample_width"] / CLOSED_SITES
    parameters = dict(TRUE_PARAMETERS, sigma_1=sigma_1, sigma_2=0.0, sigma_4=0.0,
                      **{name: 1e-9 for name in NAMES[3:]})
    absolute = simulate(CLOSED_POSITIONS_MM, [e for e, _, _ in CLOSED_CURVES], parameters,
                        model="energy", normalisation="absolute",
                        populations=[CLOSED_SITES, 0.0, 0.0, 0.0, 0.0], optics=CLOSED_TRUE,
                        aperture=[a for _, _, a in CLOSED_CURVES], **CLOSED_SETUP)
    rng = np.random.default_rng(CLOSED_SEED)
    noisy = absolute * (1.0 + NOISE_RELATIVE * rng.standard_normal(absolute.shape))
    ends = np.concatenate([noisy[:, :FAR_FIELD_POINTS], noisy[:, -FAR_FIELD_POINTS:]], axis=1)
    measured = noisy / ends.mean(axis=1, keepdims=True)
    data_dir.mkdir(parents=True, exist_ok=True)
    for (energy, name, _), values in zip(CLOSED_CURVES, measured):
        rows = [f"{x:.1f},{y:.6f}" for x, y in zip(CLOSED_POSITIONS_MM, values)]
        (data_dir / name).write_text("position (mm),transmittance\n" + "\n".join(rows) + "\n",
                                     encoding="utf-8")
    (data_dir / "setup.toml").write_text(closed_setup_text(), encoding="utf-8")
    truth_file.write_text("# The values examples/make_example.py made tpa-532nm/ from.\n"
                          + "".join(f"{k} = {toml_float(v)}\n" for k, v in CLOSED_TRUE.items()),
                          encoding="utf-8")


# Write the example, or only print the known parameters.
def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--print-true", action="store_true",
                        help="print the known parameters instead of writing the files")
    args = parser.parse_args()
    if args.print_true:
        print(truth_text(), end="")
        return
    write_example()
    write_global_example()
    write_closed_example()
    print(f"wrote {DATA_DIR}, {TRUTH_FILE}, {GLOBAL_DIR}, {CLOSED_DIR} and {CLOSED_TRUTH_FILE}")


if __name__ == "__main__":
    main()
