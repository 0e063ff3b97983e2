"""The command-line tool: the argument parser, tarvo fit (one directory, or a
global fit of several) with its printed report, tarvo init, and the entry
point (exit statuses, one-line errors, Ctrl-C); tarvo batch, plan and
simulate run from their own modules."""

import argparse
import os
import signal
import sys
from pathlib import Path

from .batch import add_batch_parser, run_batch_command
from .bootstrap import format_bootstrap
from .checks import LSODA_ENGINE
from .cli_options import (EXIT_FIT_FAILED, EXIT_INTERRUPTED, EXIT_NOT_CONVERGED, EXIT_USAGE,
                          add_bootstrap_arguments, add_interval_arguments, bootstrap_options,
                          parse_sigmas, report_findings)
from .directory_fit import (EXTRA_RESULTS, FIGURE_STEM, FitFailed, InterruptedAfterFit,
                            MESSAGES_FILE, RESULT_FILE, StrictFindings,
                            fit_and_write, prepare_fit)
from .engine import ENGINES, MODELS
from .errors import InputError
from .files import PENDING_KEY, tarvo_version
from .global_directory_fit import (GlobalFindings, check_global_directories,
                                   global_fit_and_write)
from .lsoda_fit import messages_line, start_multipliers
from .measurement import WEIGHTS
from .normalisation import NORMALISATIONS
from .plan_command import add_plan_parser, run_plan_command
from .plot import FIGURE_FORMATS
from .report import (aperture_lines, closed_aperture_lines, focus_line, format_table,
                     literature_lines)
from .profiles import format_interval_document
from .simulate_command import run_simulate_command
from .starter import write_starter

# Starts listed one by one in the banner; more are shown as first, second, ..., last.
BANNER_FACTORS = 5


# Print a one-line error and return the status for it.
def _fail(message, status=EXIT_USAGE):
    print(f"tarvo: error: {message}", file=sys.stderr)
    return status


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
    parser.add_argument("--force", action="store_true",
                        help="fit even when the input looks like a unit mistake (positions in "
                             "µm or m, per cent, raw counts, set-up values 1000x off), with "
                             "warnings instead of exit status 2 (as [fit] force = true)"
                             + ("; with --measurement: replace the files of an earlier "
                                "simulation in OUT, keeping every other file"
                                if what == "the curves" else ""))


# The model option that both commands take.
def _add_model_option(parser):
    parser.add_argument("--model", choices=MODELS,
                        help="energy: pulse-energy ratio over the beam cross-section, exact "
                             "engine only; established: fit_zscan's model (on-axis ratio), for "
                             "comparisons (default: variant of [model], else energy)")
    parser.add_argument("--normalisation", choices=NORMALISATIONS,
                        help="how the curves were normalised, and so the model's are: far-field "
                             "(divided by the mean of the outermost points), linear (by the "
                             "linear transmittance), absolute (not at all) or shift (fit_zscan's "
                             "additive baseline) (default: [data] normalisation, else far-field)")


# The exit statuses, as --help lists them.
EXIT_STATUS_TEXT = f"""\
exit status:
  0    done (results written; the fit converged)
  {EXIT_FIT_FAILED}    the fit gave no usable result, or the results could not be written
  {EXIT_USAGE}    bad arguments or input files, or a plausibility warning under --strict
  {EXIT_NOT_CONVERGED}    results written, but the fit stopped without converging
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C)
  (tarvo batch: 1 when any directory failed or did not converge)"""


# The argument parser of the tool.
def build_parser():
    parser = OneLineParser(
        prog="tarvo",
        description="Fit Z-scan curves with a five-level rate-equation model.",
        epilog=EXIT_STATUS_TEXT + "\n\nStart with: tarvo init DIR",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"tarvo {tarvo_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=OneLineParser)
    _add_fit_parser(commands)
    add_batch_parser(commands)
    add_plan_parser(commands)
    _add_simulate_parser(commands)
    _add_init_parser(commands)
    return parser


# The parser of tarvo fit.
def _add_fit_parser(commands):
    fit = commands.add_parser(
        "fit", help="fit the measurement in a directory",
        description="Fit the curves of DIR (setup.toml and one CSV file per pulse energy) and "
                    f"write {RESULT_FILE} and the figure {FIGURE_STEM}.png (or .svg, .pdf) into "
                    "DIR or OUTDIR (and the ODE solver's messages, if any, to "
                    f"{MESSAGES_FILE}). Threads: OMP_NUM_THREADS (default: all cores).")
    fit.epilog = EXIT_STATUS_TEXT
    fit.formatter_class = argparse.RawDescriptionHelpFormatter
    fit.add_argument("directory", metavar="DIR", nargs="+",
                     help="measurement directory; several: one global fit with shared "
                          "molecular parameters (needs --out)")
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
    fit.add_argument("--weights", choices=WEIGHTS,
                     help="equal, or established (fit_zscan's 1 + 4 exp(-4 s^2)) (default: "
                          "[fit] weights, else 1/sigma^2 with a sigma column, else equal)")
    _add_output_options(fit, "the results")
    fit.add_argument("--relative-to-focus", action="store_true",
                     help="draw the figure over the position relative to the focus (fitted, or "
                          "the extreme of the data) instead of the stage position")
    add_interval_arguments(fit)
    add_bootstrap_arguments(fit)


# The parser of tarvo simulate.
def _add_simulate_parser(commands):
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
    simulate.add_argument("--measurement", metavar="OUT",
                          help="write a measurement directory that tarvo fit OUT fits instead: "
                               "one curve file per [[curve]], setup.toml and the parameters in "
                               "truth.toml")
    simulate.add_argument("--noise", type=float, metavar="SD",
                          help="with --measurement: add Gaussian noise of this standard "
                               "deviation (e.g. 0.005), written as the curves' sigma column")
    simulate.add_argument("--seed", type=int, metavar="S",
                          help="seed of the noise (default: drawn and recorded in truth.toml)")
    simulate.add_argument("--raw", action="store_true",
                          help="with --measurement: write raw detector readings (position, "
                               "signal, reference) that tarvo fit divides and normalises itself; "
                               "--noise is then relative to the signal")
    _add_model_option(simulate)
    _add_output_options(simulate, "the curves")


# The parser of tarvo init.
def _add_init_parser(commands):
    init = commands.add_parser(
        "init", help="start a measurement directory: set-up template and example curves",
        description="Write DIR/setup.toml, a commented template with every key, its unit and "
                    "a typical value, and example curve files in the format tarvo fit reads "
                    "(model curves with noise). Edit the set-up, replace the curves with your "
                    "own, then run tarvo fit DIR.")
    init.add_argument("directory", metavar="DIR", help="directory to create (or an empty one)")


# tarvo fit DIR: read, check, fit, estimate errors, draw, write, report.
def run_fit_command(args, argv):
    if len(args.directory) > 1:
        return run_global_fit(args, argv)
    args.directory = args.directory[0]
    request = prepare_fit(args.directory, starts=args.starts, step=args.step,
                          truth_file=args.truth, engine=args.engine, model=args.model,
                          out=args.out, figure_format=args.figure_format, strict=args.strict,
                          bootstrap=bootstrap_options(args),
                          conf_sigmas=parse_sigmas(args.sigmas, args.conf_interval),
                          relative_to_focus=args.relative_to_focus, argv=argv,
                          normalisation=args.normalisation, weights=args.weights,
                          force=args.force)
    status = report_findings(request.findings, args.strict, request.force)
    if status is not None:
        return status
    measurement = request.measurement
    focus = " and the focus" if request.params.get("focus") is not None \
        and request.params["focus"].vary else ""
    sizes = [curve.positions.size for curve in measurement.curves]
    points = (f"curves x {sizes[0]} points" if not measurement.ragged else
              f"curves of {', '.join(map(str, sizes))} points")
    print(f"Fitting {', '.join(measurement.fit_names)}{focus} to {len(measurement.curves)} "
          f"{points} of {measurement.directory}")
    for curve in measurement.curves:
        if curve.missing:
            lines = ", ".join(str(number) for number, _, _ in curve.missing)
            count = len(curve.missing)
            print(f"{curve.file}: {count} point{'s' if count > 1 else ''} left out (line"
                  f"{'s' if count > 1 else ''} {lines}; listed in the result file)")
    for line in _engine_description(request, args.step is not None):
        print(line)
    if measurement.sigma_1_from is not None:
        source = measurement.sigma_1_from
        print(f"sigma_1 = {source['sigma_1']:.4g} cm^2 from [sample] {source['from']} = "
              f"{source['value']:g} (held)")
    sys.stdout.flush()

    # The fit's report as soon as it is written, before intervals or a bootstrap.
    def on_fit(done):
        report_findings(done.findings[len(request.findings):], False)
        _print_result(done)
        if PENDING_KEY in done.document:
            coming = " and ".join(EXTRA_RESULTS[key] for key in done.document[PENDING_KEY])
            print(f"fit written to {done.result_path}; {coming} follow")
        sys.stdout.flush()

    try:
        done = fit_and_write(request, True, on_fit)
    except FitFailed as error:
        return _fail(str(error), EXIT_FIT_FAILED)
    except StrictFindings as stop:
        return report_findings(stop.findings, True)
    except InterruptedAfterFit as stop:
        missing = " and ".join(EXTRA_RESULTS[key] for key in stop.missing)
        return _fail(f"interrupted: the fit is written to {stop.done.result_path}; not computed: "
                     f"{missing}", EXIT_INTERRUPTED)
    if "bootstrap" in done.document:
        errors = {name: done.result.params[name].stderr for name in done.result.var_names}
        print("\n" + format_bootstrap(done.document["bootstrap"], errors))
    if "profile_intervals" in done.document:
        print("\n" + format_interval_document(done.document["profile_intervals"]))
    print(f"results: {done.result_path}")
    print(f"figure:  {done.figure_path}")
    return 0 if done.result.success else EXIT_NOT_CONVERGED


# The report of a fit on stdout.
def _print_result(done):
    result, model = done.result, done.request.model
    grid = ", ".join(f"{k} {v}" for k, v in result.grid.items()
                     if model == "energy" or k not in ("radial_points", "intensity_points"))
    print(f"Fit finished in {result.seconds:.2f} s ({result.nfev} model evaluations); "
          f"{focus_line(result, done.request.truth)}")
    check = getattr(result, "model_error", None)
    if check is not None:
        times = "once" if check.refinements == 1 else f"{check.refinements} times"
        grid += (f" (refined {times}: the default was too coarse for these data)"
                 if check.refinements else "")
        largest = max((value for value in check.history[-1]["shift_in_errors"].values()
                       if value is not None), default=None) if check.history else None
        if largest is not None:
            grid += (f"; a grid twice as fine moves the fitted values by at most "
                     f"{largest:.2g} standard errors")
    print(f"grid: {grid}\n")
    print(format_table(done.rows))
    optical = literature_lines(done.rows)
    if optical:
        print("in the literature's units: " + "; ".join(optical))
    for line in closed_aperture_lines(done.document.get("closed_aperture", ())):
        print(line)
    print(f"\nfit error (norm of weighted residuals): {result.fit_error:.6g}; reduced "
          f"chi^2: {result.redchi:.4g} ({result.nfree} degrees of freedom); weights "
          f"{result.weighting}")
    print(f"residual RMS: {result.rms:.3g} (transmittance); curves normalised "
          f"{result.normalisation.mode}"
          + (f" ({result.normalisation.far_field_points} far-field points at each end)"
             if result.normalisation.uses_far_field else ""))
    if result.success:
        print(f"converged: {result.message.removeprefix('converged: ')}")
    else:
        print(f"warning: {result.message}")
    for note in result.notes:
        print(f"note: {note}")
    print("\n".join(result.identifiability.report()))
    for line in aperture_lines(done.document.get("determined_by_aperture_alone"),
                               result.identifiability.status):
        print(line)
    if result.budget is not None:
        print("\n".join(result.budget.report()))
    if result.solver_messages is not None:
        print(messages_line(result.solver_messages, done.request.out / MESSAGES_FILE))
    for finding in done.findings:
        print(f"warning: {finding.message}")


# The start factors for the banner, long lists shortened.
def _factor_text(factors):
    factors = [f"{m:.3g}" for m in factors]
    if len(factors) > BANNER_FACTORS:
        factors = factors[:2] + ["...", factors[-1]]
    return ", ".join(factors)


# "N start(s)".
def _starts_text(n_starts):
    return f"{n_starts} start{'s' if n_starts != 1 else ''}"


# What runs the fit of `request`, and the engine's notes on the options
# (`step_given`: --step was on the command line), as printed before it.
def _engine_description(request, step_given):
    measurement, n_starts = request.measurement, request.n_starts
    threads = os.environ.get('OMP_NUM_THREADS', 'all cores')
    if request.engine != LSODA_ENGINE:
        lines = [f"exact engine, {request.model} model; {_starts_text(n_starts)} (start values x "
                 f"{_factor_text([1.0] if n_starts == 1 else start_multipliers(n_starts))}), "
                 f"threads: {threads}"]
        if step_given:
            lines.append("note: --step applies to the lsoda engine; the exact engine's standard "
                         "errors come from its exact Jacobian")
        return lines
    lines = [f"lsoda engine (fit_zscan), established model; {_starts_text(n_starts)} (start "
             f"values x {_factor_text(start_multipliers(n_starts))}), threads: {threads}"]
    if measurement.options.exact_only:
        lines.append("note: [bounds], fit_focus and focus_mm apply to the exact engine only; "
                     "fit_zscan ignores them")
    if measurement.sigma is not None:
        lines.append(f"note: the curve files give standard deviations (third column); the "
                     f"{LSODA_ENGINE} engine weights the points by position only and does not "
                     "use them")
    return lines


# The options of `tarvo fit` that a global fit does not take: (option,
# whether given, what the global fit does instead).
def _single_fit_options(args):
    return (
        ("--starts", args.starts is not None, "starts once, from the start values"),
        ("--step", args.step is not None, "runs on the exact engine, whose Jacobian is exact"),
        ("--truth", args.truth is not None, "reports no known values"),
        ("--conf-interval", args.conf_interval or args.sigmas is not None,
         "reports standard errors, not profile intervals"),
        ("--bootstrap", getattr(args, "bootstrap", None) is not None
         or getattr(args, "seed", None) is not None
         or getattr(args, "scheduler", None) is not None, "reports no bootstrap"),
        ("--relative-to-focus", args.relative_to_focus,
         "draws every panel relative to its focus already"),
    )


# tarvo fit DIR1 DIR2 ...: read and check every directory, fit them together, write, report.
def run_global_fit(args, argv):
    if not args.out:
        raise InputError("a global fit of several directories needs --out OUTDIR for its result")
    if args.engine == "lsoda":
        raise InputError("a global fit runs on the exact engine; drop --engine lsoda")
    for option, given, why in _single_fit_options(args):
        if given:
            raise InputError(f"{option} applies to the fit of one directory; a global fit of "
                             f"several {why}: drop it (or fit each directory alone)")
    check_global_directories(args.directory, Path(args.out))
    print(f"Global fit of {len(args.directory)} measurements "
          f"({', '.join(str(d) for d in args.directory)}); exact engine", flush=True)
    try:
        done = global_fit_and_write(args.directory, args.out, model=args.model,
                                    normalisation=args.normalisation, weights=args.weights,
                                    force=args.force, strict=args.strict,
                                    figure_format=args.figure_format, argv=argv)
    except GlobalFindings as stop:
        return report_findings([finding for _, finding in stop.findings], args.strict,
                               force=False)
    report_findings([finding for _, finding in done.findings], False)
    print(done.result.fit_report())
    for note in done.notes:
        print(f"note: {note}")
    print(f"results: {done.result_path}")
    print(f"figure:  {done.figure_path}")
    sys.stdout.flush()
    return 0 if done.result.success else EXIT_NOT_CONVERGED


# tarvo init DIR: the set-up template and example curves.
def run_init_command(args):
    written = write_starter(args.directory)
    print(f"wrote {written[0]} (set-up template: every key with its unit)")
    for path in written[1:]:
        print(f"wrote {path} (example curve: replace with your measurement)")
    print(f"next: edit {written[0]}, then run tarvo fit {args.directory}")
    return 0


# Entry point of the console script and of python -m tarvo: main(), after
# which Ctrl-C is ignored: everything is written, and an interrupt while the
# interpreter shuts down would only print noise.
def console_main():
    status = _main_remembering_interrupts()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if "tarvo.bootstrap" in sys.modules and sys.modules["tarvo.bootstrap"].replicate_threads():
        # Interrupted bootstrap replicates still fit in their threads: the
        # process ends at once (every file is written or untouched) rather
        # than wait for them or shut the interpreter down under native code.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


# main() with Ctrl-C remembered as well as raised. A KeyboardInterrupt raised
# while a compiled module initialises (an import of ssl or NumPy, say) can
# surface as another exception, or as an ImportError that reads as a missing
# package; after a Ctrl-C such a failure is the interruption, and ends with
# its status rather than a traceback or a wrong diagnosis.
def _main_remembering_interrupts():
    received, running = [], [True]

    # Python's own handler while the tool runs, which also notes that the
    # user interrupted; once it has returned, a Ctrl-C is only noted: raised
    # there it would escape as a traceback while the interpreter shuts down.
    def interrupt(signum, frame):
        received.append(signum)
        if running:
            raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupt)
    try:
        try:
            status = main()
        finally:
            running.clear()
    except KeyboardInterrupt:
        # Raised outside main()'s own handling (as it returned, say).
        received.append(signal.SIGINT)
        status = None
    except Exception:
        if not received:
            raise
        status = None
    if received and status not in (0, EXIT_INTERRUPTED):
        return _fail("interrupted", EXIT_INTERRUPTED)
    return status


# The tool on `argv` (default: the command line); returns the exit status.
def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser().parse_args(argv)
    try:
        if args.command == "fit":
            return run_fit_command(args, argv)
        if args.command == "batch":
            return run_batch_command(args, argv)
        if args.command == "plan":
            return run_plan_command(args, argv)
        if args.command == "simulate":
            return run_simulate_command(args, argv)
        if args.command == "init":
            return run_init_command(args)
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
