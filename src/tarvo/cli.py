"""The command-line tool: tarvo fit DIR and tarvo simulate DIR."""

import argparse
import math
import os
import sys
from pathlib import Path

from . import __version__
from .checks import LSODA_ENGINE, check_fit, check_measurement, weighted_chi2
from .cli_exact import (exact_document_keys, fit_measurement_exact, focus_line, insert_after,
                        lsoda_shaped, start_factors)
from .engine import ENGINES, MODELS, EngineUnavailable
from .errors import InputError
from .fit_options import resolve_model
from .measurement import SETUP_FILE, check_starts, read_measurement, read_parameter_file
from .progress import ElapsedTicker
from .provenance import provenance
from .report import (correlation_notes, format_table, parameter_rows, result_document,
                     write_result)
from .run_fit import fit_measurement, messages_line, start_multipliers

# Exit status for bad arguments or input files (as argparse uses it).
EXIT_USAGE = 2
# Exit status when the fit itself produced no usable result.
EXIT_FIT_FAILED = 1
# Exit status when the results were written but the fit stopped without converging.
EXIT_NOT_CONVERGED = 3
# Exit status after Ctrl-C (128 + SIGINT).
EXIT_INTERRUPTED = 130

# Files written into the output directory (the measurement directory unless --out).
RESULT_FILE = "fit-result.json"
# The solver's messages during the fit, when there are any.
MESSAGES_FILE = "fit-solver-messages.log"
FIGURE_STEM = "fit"

# The figure formats (the figure file is fit.FORMAT).
FIGURE_FORMATS = ("png", "svg", "pdf")

# The engine of `tarvo fit` where neither --engine nor [fit] engine chooses one.
DEFAULT_ENGINE = "exact"

# Starts listed one by one in the banner; more are shown as first, second, ..., last.
BANNER_FACTORS = 5


# argparse reports usage errors in one line, like the tool's other input errors.
class OneLineParser(argparse.ArgumentParser):
    # Print one line and exit with the usage status.
    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


# Options that both commands take: where to write, the figure format, strictness.
def _add_output_options(parser, what):
    parser.add_argument("--out", metavar="OUTDIR",
                        help=f"write {what} into OUTDIR (created if missing) instead of DIR")
    parser.add_argument("--figure-format", choices=FIGURE_FORMATS, default="png",
                        help="file format of the figure (default: png)")
    parser.add_argument("--strict", action="store_true",
                        help="treat the plausibility warnings (units, normalisation, is_sa, a fit "
                             "that did not move) as errors: exit status 2")


# The model option that both commands take.
def _add_model_option(parser):
    parser.add_argument("--model", choices=MODELS,
                        help="established: fit_zscan's model (on-axis ratio); energy: "
                             "pulse-energy ratio over the beam cross-section, exact engine only "
                             "(default: variant of [model], else established)")


# The argument parser of the tool.
def build_parser():
    parser = OneLineParser(
        prog="tarvo",
        description="Fit Z-scan curves with a five-level rate-equation model.")
    parser.add_argument("--version", action="version", version=f"tarvo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=OneLineParser)
    fit = commands.add_parser(
        "fit", help="fit the measurement in a directory",
        description="Fit the curves of DIR (setup.toml and one CSV file per pulse energy) and "
                    f"write {RESULT_FILE} and the figure {FIGURE_STEM}.png (or .svg, .pdf) into "
                    "DIR or OUTDIR (and the ODE solver's messages, if any, to "
                    f"{MESSAGES_FILE}). Threads: OMP_NUM_THREADS (default: all cores).")
    fit.add_argument("directory", metavar="DIR", help="measurement directory")
    fit.add_argument("--starts", type=int, metavar="N",
                     help="number of starts (default: n_starts of setup.toml, else 3)")
    fit.add_argument("--truth", metavar="FILE",
                     help="TOML file of known parameter values (name = value) to show beside "
                          "the fitted ones")
    fit.add_argument("--step", type=float, default=None, metavar="H",
                     help="relative difference step of the standard errors of the lsoda engine "
                          "(default 1e-3; the exact engine differentiates exactly)")
    fit.add_argument("--engine", choices=ENGINES,
                     help="exact: matrix exponentials, exact Jacobian, fit to the optimum; "
                          "lsoda: fit_zscan, bit-identical to the reference (default: engine of "
                          "[fit], else exact)")
    _add_model_option(fit)
    _add_output_options(fit, "the results")
    simulate = commands.add_parser(
        "simulate", help="model curves for the set-up of a directory (planning a measurement)",
        description="Compute the model curves for the set-up and pulse energies of "
                    "DIR/setup.toml (the curve files need not exist) on a fine grid around the "
                    "focus, with the parameters of [start] or --params, and write "
                    "simulation.csv and the figure simulation.png (or .svg, .pdf).")
    simulate.add_argument("directory", metavar="DIR", help="directory with setup.toml")
    simulate.add_argument("--params", metavar="FILE",
                          help="TOML file of parameter values (name = value) used instead of "
                               "those of [start]")
    simulate.add_argument("--span", type=float, metavar="MM",
                          help="positions from -MM to +MM around the focus (default: ten "
                               "Rayleigh ranges)")
    simulate.add_argument("--points", type=int, default=None, metavar="N",
                          help="number of positions (default 201)")
    _add_model_option(simulate)
    _add_output_options(simulate, "the curves")
    return parser


# Print a one-line error and return the status for it.
def _fail(message, status=EXIT_USAGE):
    print(f"tarvo: error: {message}", file=sys.stderr)
    return status


# Show plausibility findings: warnings on stderr, or with --strict errors and
# the usage status (returned; None when the run may go on).
def report_findings(findings, strict):
    for finding in findings:
        print(f"tarvo: {'error' if strict else 'warning'}: {finding.message}", file=sys.stderr)
    return EXIT_USAGE if strict and findings else None


# The start factors for the banner, long lists shortened.
def _factor_text(factors):
    factors = [f"{m:.3g}" for m in factors]
    if len(factors) > BANNER_FACTORS:
        factors = factors[:2] + ["...", factors[-1]]
    return ", ".join(factors)


# "N start(s)".
def _starts_text(n_starts):
    return f"{n_starts} start{'s' if n_starts != 1 else ''}"


# The directory the results go to, created when missing.
def output_directory(args, default):
    directory = Path(args.out) if args.out else Path(default)
    directory.mkdir(parents=True, exist_ok=True)
    return directory


# tarvo fit DIR: read, check, fit, estimate errors, draw, write, report.
def run_fit_command(args, argv):
    from .uncertainty import REL_STEP_DEFAULT

    measurement = read_measurement(args.directory)
    truth, truth_file = (read_parameter_file(args.truth, "truth") if args.truth
                         else (None, None))
    n_starts = check_starts(measurement.n_starts if args.starts is None else args.starts)
    rel_step = REL_STEP_DEFAULT if args.step is None else args.step
    if not (0.0 < rel_step < 1.0):
        raise InputError(f"--step must lie between 0 and 1, got {rel_step}")
    engine = args.engine or measurement.options.engine or DEFAULT_ENGINE
    model = resolve_model(args.model, measurement.options, measurement.setup,
                          measurement.directory)
    if engine == LSODA_ENGINE and model != "established":
        raise InputError(f"the {model} model runs on the exact engine only; drop --engine lsoda "
                         "(or engine = \"lsoda\" in [fit])")
    input_files = measurement.input_files + ((truth_file,) if truth_file else ())
    record = provenance(argv, input_files)

    findings = check_measurement(measurement)
    status = report_findings(findings, args.strict)
    if status is not None:
        return status
    if engine == LSODA_ENGINE:
        return _run_lsoda(args, measurement, truth, n_starts, rel_step, record, findings)
    if args.step is not None:
        print("note: --step applies to the lsoda engine; the exact engine's standard errors "
              "come from its exact Jacobian")
    return _run_exact(args, measurement, truth, n_starts, model, record, findings)


# The lsoda engine: fit_zscan, standard errors by central differences.
def _run_lsoda(args, measurement, truth, n_starts, rel_step, record, findings):
    # Imported here: matplotlib takes a while to load, and --help and input
    # errors should answer at once.
    from .fit_curves import fit_curves
    from .plot import plot_fit
    from .uncertainty import fit_uncertainty

    directory = measurement.directory
    print(f"Fitting {', '.join(measurement.fit_names)} to {len(measurement.curves)} curves x "
          f"{measurement.num_x_pts} points of {directory}")
    print(f"lsoda engine (fit_zscan), established model; {_starts_text(n_starts)} (start values "
          f"x {_factor_text(start_multipliers(n_starts))}), threads: "
          f"{os.environ.get('OMP_NUM_THREADS', 'all cores')}")
    if measurement.options.exact_only:
        print("note: [bounds], fit_focus and focus_mm apply to the exact engine only; fit_zscan "
              "ignores them")
    sys.stdout.flush()
    out = output_directory(args, directory)
    messages_path = out / MESSAGES_FILE
    # A log of an earlier fit would be mistaken for this one's.
    messages_path.unlink(missing_ok=True)
    try:
        with ElapsedTicker(f"fitting, {_starts_text(n_starts)}"):
            outcome = fit_measurement(measurement, n_starts, log_path=messages_path)
    except (TypeError, ValueError, IndexError) as error:
        raise InputError(f"the fit refused the input: {error}") from None
    if not math.isfinite(outcome.error) or not math.isfinite(outcome.error * outcome.error):
        return _fail(f"the fit returned a non-finite error (chi^2 = "
                     f"{outcome.error * outcome.error:g}); "
                     "check the start values and the set-up", EXIT_FIT_FAILED)

    chi2_start = weighted_chi2(measurement, measurement.start, outcome.centre)
    after = check_fit(measurement, outcome, LSODA_ENGINE, chi2_start)
    status = report_findings(after, args.strict)
    if status is not None:
        return status
    findings = findings + after

    setup = measurement.setup.model_kwargs()
    uncertainty = fit_uncertainty(measurement.positions, measurement.transmittance,
                                  measurement.pulse_energy, outcome.fitted,
                                  measurement.fit_indices, setup, measurement.is_sa, rel_step)
    curves = fit_curves(measurement, outcome)
    figure_name = f"{FIGURE_STEM}.{args.figure_format}"
    figure_path = out / figure_name
    plot_fit(figure_path, measurement, outcome, curves=curves,
             title=f"{directory.resolve().name}: fit of {', '.join(measurement.fit_names)}")
    rows = parameter_rows(measurement, outcome, uncertainty, truth)
    result_path = out / RESULT_FILE
    document = result_document(
        measurement, outcome, uncertainty, rows, figure_name, rel_step, engine=LSODA_ENGINE,
        model="established", provenance=record, findings=findings, curves=curves)
    write_result(result_path, insert_after(document, "fit_seconds", {
        "converged": None, "message": "fit_zscan does not report whether its fit converged"}))

    print(f"Fit finished in {outcome.seconds:.1f} s; focus (extreme of the data) at "
          f"{outcome.centre:g} mm\n")
    print(format_table(rows))
    print(f"\nfit error (norm of weighted residuals): {outcome.error:.6g}; reduced chi^2: "
          f"{uncertainty.reduced_chi2:.4g} ({uncertainty.degrees_of_freedom} degrees of freedom)")
    for note in correlation_notes(measurement.fit_names, uncertainty):
        print(f"note: {note}")
    print(messages_line(outcome, messages_path))
    if measurement.sigma is not None:
        print(f"note: the curve files give standard deviations (third column); the "
              f"{LSODA_ENGINE} engine weights the points by position only and does not use them")
    for finding in findings:
        print(f"warning: {finding.message}")
    print(f"results: {result_path}")
    print(f"figure:  {figure_path}")
    return 0


# The exact engine: tarvo.fit with the exact Jacobian, run to the optimum.
def _run_exact(args, measurement, truth, n_starts, model, record, findings):
    from .fit_curves import FitCurves
    from .plot import plot_fit

    directory = measurement.directory
    focus = " and the focus" if measurement.options.fit_focus else ""
    print(f"Fitting {', '.join(measurement.fit_names)}{focus} to {len(measurement.curves)} "
          f"curves x {measurement.num_x_pts} points of {directory}")
    print(f"exact engine, {model} model; {_starts_text(n_starts)} (start values x "
          f"{_factor_text(start_factors(n_starts))}), threads: "
          f"{os.environ.get('OMP_NUM_THREADS', 'all cores')}")
    sys.stdout.flush()
    try:
        with ElapsedTicker(f"fitting, {_starts_text(n_starts)}"):
            result = fit_measurement_exact(measurement, n_starts, model)
    except EngineUnavailable as error:
        return _fail(str(error), EXIT_FIT_FAILED)
    except ValueError as error:
        raise InputError(f"{directory / SETUP_FILE}: {error}") from None
    if not math.isfinite(result.chisqr):
        return _fail(f"the fit returned a non-finite chi^2 ({result.chisqr:g}); check the start "
                     "values and the set-up", EXIT_FIT_FAILED)

    outcome, uncertainty = lsoda_shaped(measurement, result)
    after = check_fit(measurement, outcome, "exact", None)
    status = report_findings(after, args.strict)
    if status is not None:
        return status
    findings = findings + after

    curves = FitCurves(result.positions - result.focus, result.best_fit,
                       tuple(result.model_line(k) for k in range(len(measurement.curves))))
    out = output_directory(args, directory)
    figure_name = f"{FIGURE_STEM}.{args.figure_format}"
    figure_path = out / figure_name
    plot_fit(figure_path, measurement, outcome, curves=curves,
             title=f"{directory.resolve().name}: fit of {', '.join(result.var_names)} "
                   f"({model} model)")
    rows = parameter_rows(measurement, outcome, uncertainty, truth)
    result_path = out / RESULT_FILE
    document = result_document(measurement, outcome, uncertainty, rows, figure_name, None,
                               engine="exact", model=model, provenance=record,
                               findings=findings, curves=curves)
    document["setup"].update(result.grid if model == "energy"
                             else {k: result.grid[k] for k in ("t_slices", "z_slices")})
    write_result(result_path, insert_after(document, "fit_seconds", exact_document_keys(result)))

    grid = ", ".join(f"{k} {v}" for k, v in result.grid.items()
                     if model == "energy" or k != "radial_points")
    print(f"Fit finished in {result.seconds:.2f} s ({result.nfev} model evaluations); "
          f"{focus_line(result, measurement.options)}")
    print(f"grid: {grid}\n")
    print(format_table(rows))
    print(f"\nfit error (norm of weighted residuals): {outcome.error:.6g}; reduced chi^2: "
          f"{result.redchi:.4g} ({result.nfree} degrees of freedom); weights {result.weighting}")
    if result.success:
        print(f"converged: {result.message.removeprefix('converged: ')}")
    else:
        print(f"warning: {result.message}")
    for note in result.notes:
        print(f"note: {note}")
    for finding in findings:
        print(f"warning: {finding.message}")
    print(f"results: {result_path}")
    print(f"figure:  {figure_path}")
    return 0 if result.success else EXIT_NOT_CONVERGED


# Entry point of the console script and of python -m tarvo; returns the exit status.
def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser().parse_args(argv)
    try:
        if args.command == "fit":
            return run_fit_command(args, argv)
        if args.command == "simulate":
            from .planning import run_simulate_command
            return run_simulate_command(args, argv)
    except InputError as error:
        return _fail(str(error))
    except OSError as error:
        return _fail(f"cannot write the results: {error}", EXIT_FIT_FAILED)
    except MemoryError:
        return _fail("out of memory; fewer points, curves, slices or starts need less",
                     EXIT_FIT_FAILED)
    except KeyboardInterrupt:
        return _fail("interrupted", EXIT_INTERRUPTED)
    return _fail(f"unknown command {args.command!r}")
