"""tarvo simulate DIR: model curves for a set-up, for planning a measurement."""

import math
import sys

import numpy as np

from .checks import check_setup, rayleigh_range_mm
from .curve_file import MAX_ABS_VALUE, MAX_POINTS
from .errors import InputError
from .files import write_text
from .fit_options import read_fit_options, resolve_model
from .fit_curves import BASELINE_POINTS
from .measurement import read_parameter_file, read_setup_file, read_start
from .parameters import NAMES
from .provenance import provenance
from .simulation import simulate

# Files written into the output directory.
CSV_FILE = "simulation.csv"
FIGURE_STEM = "simulation"

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
    if not 2 * BASELINE_POINTS <= points <= MAX_POINTS:
        raise InputError(f"--points must lie between {2 * BASELINE_POINTS} (five far-field "
                         f"points at each end) and {MAX_POINTS}, got {points}")
    if span is None:
        span = _round_span(SPAN_RAYLEIGH * rayleigh_range_mm(setup))
        if not (math.isfinite(span) and 0.0 < span <= MAX_SPAN_MM):
            raise InputError(f"ten Rayleigh ranges of this set-up are {span:g} mm: check w0, "
                             "wavelength and M2, or give --span")
    if not (math.isfinite(span) and 0.0 < span <= MAX_SPAN_MM):
        raise InputError(f"--span must be a positive number of mm up to {MAX_SPAN_MM:g}, "
                         f"got {span}")
    return np.linspace(-span, span, points)


# The CSV table: comment lines on the provenance, a header, one row per
# position (written atomically).
def write_simulation_csv(path, positions, curves, energies, record, spec_pars):
    lines = [f"# model curves from {record['command_line']}",
             f"# tarvo {record['tarvo_version']}, {record['created_utc']}"]
    lines += [f"# {entry['role']}: {entry['path']} sha256 {entry['sha256']}"
              for entry in record["inputs"]]
    lines.append("# parameters: " + ", ".join(f"{name} = {float(value)!r}" for name, value
                                              in zip(NAMES, spec_pars)))
    lines.append(",".join(["position_mm"] + [f"transmittance_{e:g}J" for e in energies]))
    lines += [",".join([repr(float(z))] + [repr(float(row[i])) for row in curves])
              for i, z in enumerate(positions)]
    write_text(path, "\n".join(lines) + "\n")


# tarvo simulate DIR: read the set-up and parameters, compute, write, summarise.
def run_simulate_command(args, argv):
    from .cli import output_directory, report_findings
    from .plot import energy_label, plot_simulation

    setup_file = read_setup_file(args.directory)
    overrides, params_file = (read_parameter_file(args.params, "parameters") if args.params
                              else ({}, None))
    spec_pars = read_start(setup_file.document, str(setup_file.path), overrides, args.params)
    setup = setup_file.setup
    options = read_fit_options(setup_file.document, str(setup_file.path))
    model = resolve_model(args.model, options, setup, setup_file.path.parent)
    energies = [energy for _, energy in setup_file.curve_entries]
    positions = simulation_grid(setup, args.span, args.points)
    files = [name for name, _ in setup_file.curve_entries]
    status = report_findings(check_setup(setup, energies, spec_pars, files), args.strict)
    if status is not None:
        return status
    inputs = (setup_file.source,) + ((params_file,) if params_file else ())
    record = provenance(argv, inputs)

    radial_points = options.radial_points if model == "energy" else None
    curves = simulate(positions, energies, spec_pars, **setup.model_kwargs(), model=model,
                      radial_points=radial_points)
    if not np.all(np.isfinite(curves)):
        print("tarvo: error: the model gave non-finite transmittance for this set-up; check "
              "the set-up values and parameters", file=sys.stderr)
        return EXIT_MODEL_FAILED
    out = output_directory(args, setup_file.path.parent)
    csv_path = out / CSV_FILE
    figure_path = out / f"{FIGURE_STEM}.{args.figure_format}"
    write_simulation_csv(csv_path, positions, curves, energies, record, spec_pars)
    plot_simulation(figure_path, positions, curves, energies,
                    title=f"{setup_file.path.parent.resolve().name}: model curves")

    z_r = rayleigh_range_mm(setup)
    print(f"Model curves ({model} model) from {positions[0]:g} to {positions[-1]:g} mm "
          f"({positions.size} points; Rayleigh range {z_r:.3g} mm)")
    for energy, row in zip(energies, curves):
        k_low, k_high = int(np.argmin(row)), int(np.argmax(row))
        print(f"  {energy_label(energy):>8}: transmittance {row[k_low]:.4g} to {row[k_high]:.4g} "
              f"(extremes at {positions[k_low]:g} and {positions[k_high]:g} mm)")
    print(f"curves:  {csv_path}")
    print(f"figure:  {figure_path}")
    return 0
