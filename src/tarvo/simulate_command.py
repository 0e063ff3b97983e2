"""tarvo simulate: model curves for the set-up of a directory, or a simulated
measurement directory (model curves with noise as a lab would record them,
or raw detector readings) that tarvo fit fits; and the writing of curve files."""

import json
import math
import secrets
import sys
from dataclasses import dataclass
from pathlib import Path, PurePath

import numpy as np

from .checks import check_setup, rayleigh_range_mm
from .cli_options import output_directory, report_findings
from .curve_file import MAX_ABS_VALUE, MAX_POINTS
from .errors import InputError
from .files import current_digest, provenance, read_input_bytes, write_json, write_text
from .fit_tables import (_sigma_1_from_absorption, read_fit_options, read_optics,
                         read_parameter_file, read_start, resolve_model)
from .setup_file import MAX_TOML_BYTES, SETUP_FILE, _without_rate_scheme, read_setup_file
from .normalisation import FAR_FIELD_POINTS, Normalisation
from .parameters import NAMES, OPTICAL_NAMES
from .plot import energy_label, plot_simulation, setup_title
from .simulation import simulate


# Files written into the output directory.
CSV_FILE = "simulation.csv"
FIGURE_STEM = "simulation"

# The known parameters of a simulated measurement (--measurement OUT).
TRUTH_FILE = "truth.toml"

# Seeds of the noise drawn when none is given stay below 2^32 (recorded in truth.toml).
SEED_BOUND = 2**32

# Largest noise level accepted: the transmittance is normalised to 1.
MAX_NOISE = 1.0

# Default grid: this many Rayleigh ranges on each side of the focus, and points.
SPAN_RAYLEIGH = 10.0
POINTS_DEFAULT = 201

# Largest span of the grid (mm), the largest position a curve file may hold.
MAX_SPAN_MM = MAX_ABS_VALUE

# Exit status when the model gives no usable curves.
EXIT_MODEL_FAILED = 1


# A span in mm rounded to two significant digits, for a tidy grid.
def _round_span(span):
    return float(f"{span:.2g}")


# The positions of the grid (mm, relative to the focus) from the options.
def simulation_grid(setup, span=None, points=None):
    points = POINTS_DEFAULT if points is None else points
    if not 2 * FAR_FIELD_POINTS <= points <= MAX_POINTS:
        raise InputError(f"--points must lie between {2 * FAR_FIELD_POINTS} (five far-field "
                         f"points at each end) and {MAX_POINTS}, got {points}")
    if span is None:
        span = _round_span(SPAN_RAYLEIGH * rayleigh_range_mm(setup))
        if not (math.isfinite(span) and 0.0 < span <= MAX_SPAN_MM):
            raise InputError(f"ten Rayleigh ranges of this set-up are {span:g} mm: check w0, "
                             "wavelength and M2, or give --span")
    if not (math.isfinite(span) and 0.0 < span <= MAX_SPAN_MM):
        raise InputError(f"--span must be a positive number of mm up to {MAX_SPAN_MM:g}, "
                         f"got {span}")
    positions = np.linspace(-span, span, points)
    # The middle point of an odd count is the focus itself, not a rounding residue of it.
    positions[np.abs(positions) < 1e-12 * span] = 0.0
    return positions


# Header line of a curve file: the columns' names and units.
def curve_header(with_sigma):
    return "position (mm),transmittance" + (",sigma" if with_sigma else "")


# Write one curve in the format `tarvo fit` reads: comment lines (each
# starting with "# "), the header line, one row per position. `sigma` is a
# number (the same for every point), an array, or None for two columns.
def write_curve_file(path, positions, transmittance, sigma=None, comment=""):
    write_text(path, curve_text(positions, transmittance, sigma, comment))


# The text of such a curve file.
def curve_text(positions, transmittance, sigma=None, comment=""):
    lines = [comment.rstrip("\n")] if comment else []
    lines.append(curve_header(sigma is not None))
    sigma_column = None if sigma is None else np.broadcast_to(sigma, np.shape(positions))
    for i, z in enumerate(positions):
        fields = [repr(float(z)), repr(float(transmittance[i]))]
        if sigma_column is not None:
            fields.append(repr(float(sigma_column[i])))
        lines.append(",".join(fields))
    return "\n".join(lines) + "\n"


# Model curves with Gaussian noise of standard deviation `noise`, drawn from `seed`.
def noisy_curves(curves, noise, seed):
    rng = np.random.default_rng(seed)
    return np.asarray(curves, dtype=np.float64) + rng.normal(0.0, noise, np.shape(curves))


# The noise level and seed of --measurement, checked (seed drawn when none is given).
def noise_settings(noise, seed):
    if noise is None:
        if seed is not None:
            raise InputError("--seed needs --noise (the seed draws the noise)")
        return 0.0, None
    if not (math.isfinite(noise) and 0.0 < noise <= MAX_NOISE):
        raise InputError(f"--noise must be a standard deviation above 0 and at most {MAX_NOISE:g} "
                         f"(the transmittance is normalised to 1), got {noise}")
    if seed is not None and seed < 0:
        raise InputError(f"--seed must be an integer of at least 0, got {seed}")
    return float(noise), secrets.randbelow(SEED_BOUND) if seed is None else seed


# Curve file names of the set-up as paths inside `out`; names that would
# leave it are refused.
def _measurement_paths(out, entries, setup_path):
    paths = []
    for entry in entries:
        name = entry[0]
        pure = PurePath(name)
        if pure.is_absolute() or ".." in pure.parts:
            raise InputError(f"{setup_path}: curve file {name!r} lies outside the directory; "
                             "--measurement writes the curves into OUT and needs file names "
                             "inside it")
        paths.append(out / pure)
    if len(set(paths)) != len(paths):
        raise InputError(f"{setup_path}: two [[curve]] tables name the same file")
    return paths


# The files a simulated measurement wrote, with their SHA-256: what a later
# --measurement --force may replace (a file edited since is no longer its).
SIMULATED_FILE = ".tarvo-simulated.json"


# The output directory of --measurement, checked: not the set-up's own
# directory, and empty or new unless `force`.
def measurement_directory(out, source_directory, force=False):
    out = Path(out)
    if out.exists() and not out.is_dir():
        raise InputError(f"--measurement {out}: exists and is not a directory")
    if out.exists() and out.resolve() == Path(source_directory).resolve():
        raise InputError("--measurement must name another directory than DIR: the simulated "
                         "curves would overwrite its curve files")
    if out.exists() and not force and any(out.iterdir()):
        raise InputError(f"--measurement {out}: the directory is not empty; a simulated "
                         "measurement goes into an empty or new directory (--force replaces "
                         "the files of an earlier simulation there and keeps every other file)")
    return out


# The digests of the files an earlier simulation wrote into `out` ({} when none).
def _simulated_files(out):
    try:
        document = json.loads(read_input_bytes(out / SIMULATED_FILE, MAX_TOML_BYTES,
                                               "a list of simulated files").decode("utf-8"))
    except (InputError, UnicodeDecodeError, ValueError):
        return {}
    files = document.get("files") if isinstance(document, dict) else None
    return files if isinstance(files, dict) else {}


# Refuse to write `paths` (inside `out`) where one exists that no earlier
# simulation wrote, or that was changed since: it is kept.
def _check_owned(out, paths):
    owned = _simulated_files(out)
    for path in paths:
        if not path.exists() and not path.is_symlink():
            continue
        name = path.relative_to(out).as_posix()
        if not path.is_file() or path.is_symlink() or owned.get(name) != current_digest(path):
            raise InputError(f"--measurement {out}: {name} was not written by tarvo simulate "
                             "(or was changed since) and is kept; remove it yourself or choose "
                             "another directory")


# Write the files of a simulated measurement (relative name: text) into
# `out`, after checking that none replaces a file it does not own, and the
# record of what it wrote.
def _write_owned(out, texts):
    paths = [out / name for name in texts]
    out.mkdir(parents=True, exist_ok=True)
    _check_owned(out, paths)
    owned = _simulated_files(out)
    for path, text in zip(paths, texts.values()):
        path.parent.mkdir(parents=True, exist_ok=True)
        owned[path.relative_to(out).as_posix()] = write_text(path, text)
    write_json(out / SIMULATED_FILE, {"written_by": "tarvo simulate --measurement",
                                      "files": owned})


# The known parameters of a simulated measurement as a TOML file that
# `tarvo fit --truth` reads, with the noise and seed in comments.
def truth_text(spec_pars, noise, seed, record, optics=None):
    lines = [f"# Parameters of the simulated measurement, from {record['command_line']}",
             f"# tarvo {record['tarvo_version']}, {record['created_utc']}",
             "# focus at position 0 mm",
             f"# noise: {'none' if not noise else f'{noise:g} (standard deviation), seed {seed}'}",
             "# Compare: tarvo fit THIS_DIRECTORY --truth THIS_DIRECTORY/truth.toml"]
    lines += [f"{name} = {float(value)!r}" for name, value in zip(NAMES, spec_pars)]
    lines += [f"{name} = {float(value)!r}" for name, value in (optics or {}).items()]
    return "\n".join(lines) + "\n"


# Write a simulated measurement that `tarvo fit OUT` fits: the set-up file,
# one curve file per energy (model curves, with noise when asked) and the
# known parameters. Returns the paths of the curve files.
def write_measurement(out, setup_file, positions, curves, spec_pars, noise, seed, record,
                      optics=None):
    paths = _measurement_paths(out, setup_file.curve_entries, setup_file.path)
    data = noisy_curves(curves, noise, seed) if noise else curves
    comment = (f"# simulated by {record['command_line']} (tarvo {record['tarvo_version']}); "
               f"noise {noise:g}" + (f", seed {seed}" if noise else ""))
    texts = {path.relative_to(out).as_posix():
             curve_text(positions, row, noise if noise else None,
                        f"{comment}\n# pulse energy {entry[1]!r} J")
             for path, entry, row in zip(paths, setup_file.curve_entries, data)}
    texts[SETUP_FILE] = _setup_text(setup_file.path)
    texts[TRUTH_FILE] = truth_text(spec_pars, noise, seed, record, optics)
    _write_owned(out, texts)
    return paths


# Detector gains of raw simulated files (volts per joule on the signal and
# reference detectors): arbitrary, as a laboratory's are.
SIGNAL_GAIN = 2.9e5
REFERENCE_GAIN = 1.6e5


# Write a simulated measurement as raw detector readings: per position the
# reference detector's reading of the incident pulse and the signal
# detector's of the transmitted one (the absolute transmittance, with
# relative noise `noise` on the signal), columns named in the header so that
# tarvo fit divides and normalises them itself. Returns the curve paths.
def write_raw_measurement(out, setup_file, positions, absolute, energies, spec_pars, noise,
                          seed, record):
    paths = _measurement_paths(out, setup_file.curve_entries, setup_file.path)
    rng = np.random.default_rng(seed)
    comment = (f"# raw readings simulated by {record['command_line']} (tarvo "
               f"{record['tarvo_version']}); relative noise {noise:g}"
               + (f", seed {seed}" if noise else ""))
    texts = {}
    for path, energy, row in zip(paths, energies, absolute):
        reference = np.full(positions.shape, REFERENCE_GAIN * energy)
        signal = SIGNAL_GAIN * energy * row * (1.0 + noise * rng.standard_normal(row.shape))
        lines = [comment, f"# pulse energy {energy!r} J", "position (mm),signal,reference"]
        lines += [f"{float(z)!r},{float(a)!r},{float(b)!r}"
                  for z, a, b in zip(positions, signal, reference)]
        texts[path.relative_to(out).as_posix()] = "\n".join(lines) + "\n"
    texts[SETUP_FILE] = _setup_text(setup_file.path)
    texts[TRUTH_FILE] = truth_text(spec_pars, noise, seed, record)
    _write_owned(out, texts)
    return paths


# The CSV table: comment lines on the provenance, a header, one row per
# position (written atomically).
def write_simulation_csv(path, positions, curves, energies, record, spec_pars, optics=None,
                         aperture=None, divided_by_open=None):
    lines = [f"# model curves from {record['command_line']}",
             f"# tarvo {record['tarvo_version']}, {record['created_utc']}"]
    lines += [f"# {entry['role']}: {entry['path']} sha256 {entry['sha256']}"
              for entry in record["inputs"]]
    lines.append("# parameters: " + ", ".join(f"{name} = {float(value)!r}" for name, value
                                              in list(zip(NAMES, spec_pars))
                                              + list((optics or {}).items())))
    # Closed curves say their aperture (and whether divided by the open one).
    aperture = aperture or [1.0] * len(energies)
    divided = divided_by_open or [False] * len(energies)
    names = [f"transmittance_{e:g}J" + (f"_closed{a:g}" if a < 1.0 else "")
             + ("_over_open" if d else "") for e, a, d in zip(energies, aperture, divided)]
    lines.append(",".join(["position_mm"] + names))
    lines += [",".join([repr(float(z))] + [repr(float(row[i])) for row in curves])
              for i, z in enumerate(positions)]
    write_text(path, "\n".join(lines) + "\n")


# The text of a set-up file, read again (through the one reader of input files)
# to copy it into a simulated measurement.
def _setup_text(path):

    raw = read_input_bytes(path, MAX_TOML_BYTES, "a set-up file has a few dozen lines")
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise InputError(f"{path}: not valid UTF-8; save it as UTF-8") from None


# What tarvo simulate computes from: the set-up file, the parameters (those
# of [start], or of --params, with the file they came from), the model and
# the [fit] options, the pulse energies, the optical parameters and the
# closed apertures (empty for open-aperture curves).
@dataclass(frozen=True)
class SimulationInputs:
    setup_file: object
    params_file: object
    spec_pars: object
    options: object
    model: str
    energies: list
    optics: dict
    closed: dict


# Read the set-up and parameters of tarvo simulate DIR.
def _read_inputs(args):
    setup_file = read_setup_file(args.directory)
    overrides, params_file = (read_parameter_file(args.params, "parameters") if args.params
                              else ({}, None))
    spec_pars = read_start(setup_file.document, str(setup_file.path), overrides, args.params)
    setup = setup_file.setup
    if _without_rate_scheme(setup_file.document):
        # The fit holds sigma_1 at the linear absorption [sample] gives; so
        # does the simulation of a sample without an excited-state model.
        spec_pars, _ = _sigma_1_from_absorption(setup_file.document, setup, spec_pars, (),
                                                str(setup_file.path))
    options = read_fit_options(setup_file.document, str(setup_file.path))
    model = resolve_model(args.model, options, setup, setup_file.path.parent)
    energies = [entry[1] for entry in setup_file.curve_entries]
    optics = read_optics(setup_file.document, str(setup_file.path))
    optics.update({name: value for name, value in overrides.items() if name in OPTICAL_NAMES})
    closed = dict(aperture=[entry[4] for entry in setup_file.curve_entries],
                  divided_by_open=[entry[5] for entry in setup_file.curve_entries]) \
        if any(entry[4] < 1.0 for entry in setup_file.curve_entries) else {}
    return SimulationInputs(setup_file, params_file, spec_pars, options, model, energies, optics,
                            closed)


# The directory of --measurement OUT (checked), or None for simulation.csv;
# the options that apply to only one of the two are refused with the other.
def _measurement_target(args, setup_file, noise):
    target = getattr(args, "measurement", None)
    if target is None and noise:
        raise InputError("--noise applies to --measurement OUT (the curves of simulation.csv "
                         "are the model itself)")
    if target is None and getattr(args, "raw", False):
        raise InputError("--raw applies to --measurement OUT")
    if target is not None:
        if args.out is not None:
            raise InputError("--out applies to simulation.csv; --measurement OUT names the "
                             "directory of the simulated measurement itself")
        target = measurement_directory(target, setup_file.path.parent, args.force)
    return target


# The model curves of the inputs at `positions` (the energy model with the
# grid of [model]).
def _model_curves(inputs, positions, normalisation, **extra):
    energy = inputs.model == "energy"
    return simulate(positions, inputs.energies, inputs.spec_pars,
                    setup=inputs.setup_file.setup, model=inputs.model,
                    radial_points=inputs.options.radial_points if energy else None,
                    intensity_points=inputs.options.intensity_points if energy else None,
                    normalisation=normalisation, **extra)


# tarvo simulate DIR: read the set-up and parameters, compute, write, summarise.
def run_simulate_command(args, argv):
    inputs = _read_inputs(args)
    setup_file, setup = inputs.setup_file, inputs.setup_file.setup
    positions = simulation_grid(setup, args.span, args.points)
    files = [entry[0] for entry in setup_file.curve_entries]
    status = report_findings(check_setup(setup, inputs.energies, inputs.spec_pars, files),
                             args.strict)
    if status is not None:
        return status
    record = provenance(argv, (setup_file.source,)
                        + ((inputs.params_file,) if inputs.params_file else ()))
    noise, seed = noise_settings(getattr(args, "noise", None), getattr(args, "seed", None))
    target = _measurement_target(args, setup_file, noise)
    raw = target is not None and getattr(args, "raw", False)
    normalisation = setup_file.data_format.normalisation
    if args.normalisation is not None:
        normalisation = Normalisation(args.normalisation, normalisation.far_field_points)
    if (inputs.optics or inputs.closed) and inputs.model != "energy":
        raise InputError(f"{setup_file.path}: two-photon absorption, refraction and closed-"
                         "aperture curves need the energy model")
    if inputs.closed and raw:
        raise InputError("--raw writes open-aperture detector readings; this set-up has closed-"
                         "aperture curves")
    curves = _model_curves(inputs, positions, normalisation, optics=inputs.optics,
                           **inputs.closed)
    if not np.all(np.isfinite(curves)):
        print("tarvo: error: the model gave non-finite transmittance for this set-up; check "
              "the set-up values and parameters", file=sys.stderr)
        return EXIT_MODEL_FAILED
    if raw:
        absolute = _model_curves(inputs, positions, "absolute")
        paths = write_raw_measurement(target, setup_file, positions, absolute, inputs.energies,
                                      inputs.spec_pars, noise, seed, record)
        _print_summary(inputs.model, positions, absolute, inputs.energies, setup,
                       Normalisation("absolute"))
        _print_measurement(target, f"{len(paths)} raw signal/reference files", noise, seed)
    elif target is not None:
        paths = write_measurement(target, setup_file, positions, curves, inputs.spec_pars,
                                  noise, seed, record, inputs.optics)
        _print_summary(inputs.model, positions, curves, inputs.energies, setup, normalisation)
        _print_measurement(target, f"{len(paths)} curve files", noise, seed)
    else:
        _write_table(args, inputs, positions, curves, record, normalisation)
    return 0


# The lines about a simulated measurement written into `target`.
def _print_measurement(target, files, noise, seed):
    print(f"measurement: {target} ({files}, setup.toml, {TRUTH_FILE}"
          + (f"; noise {noise:g}, seed {seed}" if noise else "; no noise") + ")")
    print(f"fit it with: tarvo fit {target} --truth {target / TRUTH_FILE}")


# Write simulation.csv and its figure, and summarise them.
def _write_table(args, inputs, positions, curves, record, normalisation):
    setup = inputs.setup_file.setup
    out = output_directory(args, inputs.setup_file.path.parent)
    csv_path = out / CSV_FILE
    figure_path = out / f"{FIGURE_STEM}.{args.figure_format}"
    write_simulation_csv(csv_path, positions, curves, inputs.energies, record, inputs.spec_pars,
                         inputs.optics, **inputs.closed)
    title = setup_title(setup, inputs.model)
    plot_simulation(figure_path, positions, curves, inputs.energies,
                    title=f"{title}: model curves")
    _print_summary(inputs.model, positions, curves, inputs.energies, setup, normalisation)
    print(f"curves:  {csv_path}")
    print(f"figure:  {figure_path}")


# The lines that summarise the model curves.
def _print_summary(model, positions, curves, energies, setup, normalisation):

    z_r = rayleigh_range_mm(setup)
    print(f"Model curves ({model} model, {normalisation.mode} normalisation) from "
          f"{positions[0]:g} to {positions[-1]:g} mm ({positions.size} points; Rayleigh range "
          f"{z_r:.3g} mm)")
    for energy, row in zip(energies, curves):
        k_low, k_high = int(np.argmin(row)), int(np.argmax(row))
        print(f"  {energy_label(energy):>8}: transmittance {row[k_low]:.4g} to {row[k_high]:.4g} "
              f"(extremes at {positions[k_low]:g} and {positions[k_high]:g} mm)")
