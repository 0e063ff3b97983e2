"""The command-line tool: tarvo fit DIR, tarvo batch DIR... and tarvo simulate DIR."""

import argparse
import math
import os
import signal
import sys
from dataclasses import dataclass
from pathlib import Path

from . import __version__
from .checks import (LSODA_ENGINE, Finding, check_fit, check_measurement, fit_findings,
                     weighted_chi2)
from .cli_exact import (exact_document, fit_measurement_exact, focus_line, insert_after,
                        lsoda_model_settings, lsoda_shaped, start_factors)
from .engine import ENGINES, MODELS, EngineUnavailable
from .normalisation import NORMALISATIONS, Normalisation
from .errors import InputError
from .files import result_directory_lock
from .freshness import (DIGESTS_KEY, STALE_KEY, changed_inputs, digests_section, fit_settings,
                        input_entries)
from .fit_options import WEIGHTS, resolve_model
from .measurement import SETUP_FILE, check_starts, read_measurement, read_parameter_file
from .progress import ElapsedTicker, ProgressBar
from .provenance import provenance
from .report import (correlation_notes, format_table, parameter_rows, result_document,
                     write_result)
from .run_fit import fit_measurement, messages_line, start_multipliers
from .batch import add_batch_parser, run_batch_command
from .cli_plan import add_plan_parser, run_plan_command
from .bootstrap import add_bootstrap_arguments, bootstrap_options

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

# Largest level of --sigmas: beyond 5 standard deviations the profile's
# threshold lies in tails no Z-scan resolves.
MAX_SIGMAS = 5.0

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
    parser.add_argument("--force", action="store_true",
                        help="fit even when the input looks like a unit mistake (positions in "
                             "µm or m, per cent, raw counts, set-up values 1000x off), with "
                             "warnings instead of exit status 2 (as [fit] force = true)")


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
    parser.add_argument("--version", action="version", version=f"tarvo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=OneLineParser)
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
    fit.add_argument("--conf-interval", action="store_true",
                     help="also compute profile-likelihood confidence intervals of the fitted "
                          "parameters (exact engine; each point of a profile is a refit)")
    fit.add_argument("--sigmas", metavar="N[,N...]", default=None,
                     help="levels of --conf-interval in standard deviations (default 1,2)")
    add_bootstrap_arguments(fit)
    add_batch_parser(commands)
    add_plan_parser(commands)
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
    init = commands.add_parser(
        "init", help="start a measurement directory: set-up template and example curves",
        description="Write DIR/setup.toml, a commented template with every key, its unit and "
                    "a typical value, and example curve files in the format tarvo fit reads "
                    "(model curves with noise). Edit the set-up, replace the curves with your "
                    "own, then run tarvo fit DIR.")
    init.add_argument("directory", metavar="DIR", help="directory to create (or an empty one)")
    return parser


# Print a one-line error and return the status for it.
def _fail(message, status=EXIT_USAGE):
    print(f"tarvo: error: {message}", file=sys.stderr)
    return status


# Show plausibility findings: warnings on stderr, or errors and the usage
# status (returned; None when the run may go on) with --strict, or for
# findings that stop a fit unless it is forced.
def report_findings(findings, strict, force=True):
    stopping = strict or (not force and any(finding.stops for finding in findings))
    for finding in findings:
        error = strict or (finding.stops and not force)
        print(f"tarvo: {'error' if error else 'warning'}: {finding.message}", file=sys.stderr)
    if stopping and findings:
        if not strict:
            print("tarvo: nothing was fitted: correct the setting named above, or fit anyway "
                  "with --force ([fit] force = true)", file=sys.stderr)
        return EXIT_USAGE
    return None


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


# A fit that ran but produced no usable result (exit status EXIT_FIT_FAILED).
class FitFailed(RuntimeError):
    pass


# Plausibility findings after the fit under --strict (exit status EXIT_USAGE).
class StrictFindings(RuntimeError):
    # The findings that stopped the run.
    def __init__(self, findings):
        super().__init__("; ".join(finding.message for finding in findings))
        self.findings = findings


# What `tarvo fit DIR` needs before it fits: the checked directory, the chosen
# engine and model, the options, the provenance record and the findings so far.
@dataclass(frozen=True)
class FitRequest:
    measurement: object
    truth: dict | None
    n_starts: int
    rel_step: float
    engine: str
    model: str
    record: dict
    findings: list
    out: Path
    figure_format: str = "png"
    strict: bool = False
    bootstrap: object = None
    weights: str = None
    force: bool = False
    conf_sigmas: tuple = None
    relative_to_focus: bool = False
    # The settings that change the fit, and the digests of the inputs as read
    # (see tarvo.freshness).
    settings: dict = None
    inputs: list = ()


# Everything `tarvo fit DIR` computed and wrote for one directory. `result` is
# the exact engine's FitResult (None on the lsoda engine); `status` the exit
# status of a completed run (0, or EXIT_NOT_CONVERGED).
@dataclass(frozen=True)
class DirectoryFit:
    request: FitRequest
    outcome: object
    uncertainty: object
    rows: list
    document: dict
    result_path: Path
    figure_path: Path
    findings: list
    result: object
    status: int


# Read and check a directory and the options of its fit; InputError otherwise.
# `bootstrap` is a tarvo.bootstrap.BootstrapOptions or None; `argv` the command
# line recorded in the result.
def prepare_fit(directory, *, starts=None, step=None, truth_file=None, engine=None, model=None,
                out=None, figure_format="png", strict=False, bootstrap=None, conf_sigmas=None,
                relative_to_focus=False, argv=(), normalisation=None, weights=None, force=False):
    from .uncertainty import REL_STEP_DEFAULT

    measurement = read_measurement(directory)
    truth, truth_path = read_parameter_file(truth_file, "truth") if truth_file else (None, None)
    n_starts = check_starts(measurement.n_starts if starts is None else starts)
    rel_step = REL_STEP_DEFAULT if step is None else step
    if not (0.0 < rel_step < 1.0):
        raise InputError(f"--step must lie between 0 and 1, got {rel_step}")
    engine = engine or measurement.options.engine or DEFAULT_ENGINE
    # The lsoda engine is fit_zscan: its model unless one is chosen.
    if engine == LSODA_ENGINE and model is None and measurement.options.model is None:
        model = "established"
    model = resolve_model(model, measurement.options, measurement.setup, measurement.directory)
    weights = weights or measurement.options.weights
    measurement = _with_normalisation(measurement, normalisation, engine)
    if engine == LSODA_ENGINE:
        if model != "established":
            raise InputError(f"the {model} model runs on the exact engine only; drop --engine "
                             "lsoda (or engine = \"lsoda\" in [fit]), or choose --model "
                             "established")
        if weights not in (None, "established"):
            raise InputError("the lsoda engine (fit_zscan) weights the points as fit_zscan does; "
                             f"drop --weights {weights} or use the exact engine")
        weights = "established"
    if engine == LSODA_ENGINE and conf_sigmas:
        raise InputError("--conf-interval needs the exact engine (its profile refits); drop "
                         "--engine lsoda (or engine = \"lsoda\" in [fit])")
    if engine != LSODA_ENGINE and measurement.options.focus_mm is not None:
        _check_focus_mm(measurement)
    input_files = measurement.input_files + ((truth_path,) if truth_path else ())
    norm = measurement.normalisation
    settings = fit_settings(engine, model, n_starts, rel_step, figure_format, __version__,
                            weights=weights, normalisation=[norm.mode, norm.far_field_points],
                            conf_sigmas=list(conf_sigmas) if conf_sigmas else None,
                            relative_to_focus=bool(relative_to_focus))
    return FitRequest(measurement, truth, n_starts, rel_step, engine, model,
                      provenance(argv, input_files), check_measurement(measurement),
                      Path(out) if out else measurement.directory, figure_format, strict,
                      bootstrap, weights, force or measurement.options.force,
                      None if not conf_sigmas else tuple(conf_sigmas), bool(relative_to_focus),
                      settings, input_entries(measurement.directory, input_files))


# The measurement with the normalisation the fit uses: the command line's,
# else [data]'s; the lsoda engine (fit_zscan) shifts its curves to a
# baseline, so it takes "shift" and refuses any other normalisation chosen.
def _with_normalisation(measurement, chosen, engine):
    from dataclasses import replace

    current = measurement.normalisation
    if engine == LSODA_ENGINE:
        given = chosen or (current.mode if measurement.data_format.normalisation_given else None)
        if given not in (None, "shift"):
            raise InputError(f"the lsoda engine (fit_zscan) shifts its model curves to a "
                             f"baseline of 1 (normalisation \"shift\"); normalisation {given!r} "
                             "needs the exact engine")
        if any(curve.columns and "signal" in curve.columns for curve in measurement.curves):
            raise InputError("raw signal columns are normalised by their far field, which the "
                             "lsoda engine (fit_zscan) does not model; use the exact engine")
        chosen = "shift"
    if chosen is None or chosen == current.mode:
        return measurement
    if any(curve.columns and "signal" in curve.columns for curve in measurement.curves):
        raise InputError("the curves are raw signals, normalised as [data] normalisation says "
                         "when they are read; set the normalisation there")
    data_format = replace(measurement.data_format,
                          normalisation=Normalisation(chosen, current.far_field_points))
    return replace(measurement, data_format=data_format)


# [fit] focus_mm must lie within the scanned positions (checked before the fit).
def _check_focus_mm(measurement):
    from .fitting import check_focus_in_scan

    try:
        check_focus_in_scan(measurement.options.focus_mm, measurement.positions, True)
    except ValueError as error:
        raise InputError(f"{measurement.directory / SETUP_FILE} [fit] focus_mm: "
                         f"{str(error).removeprefix('focus: start value ')}") from None


# Fit a prepared directory on its engine, estimate the errors (and bootstrap
# them if asked), draw and write the result files; prints nothing. `tarvo fit`
# and `tarvo batch` both run exactly this. FitFailed when the fit gives no
# usable result, StrictFindings when --strict stops it. `ticker_message`
# shows an elapsed-time line on a terminal while the fit runs.
def fit_and_write(request, ticker_message=None):
    request.out.mkdir(parents=True, exist_ok=True)
    with result_directory_lock(request.out):
        return _fit_and_write(request, ticker_message)


# fit_and_write with the output directory locked.
def _fit_and_write(request, ticker_message):
    from .fit_parameters import FOCUS
    from .plot import plot_fit, setup_title, values_box_text

    measurement = request.measurement
    show = ticker_message is not None
    if request.engine == LSODA_ENGINE:
        with ElapsedTicker(ticker_message or "", enabled=show):
            outcome, uncertainty, curves, result = _fit_lsoda(request)
    else:
        with ProgressBar(request.n_starts, "fitting", "start", enabled=show) as advance:
            outcome, uncertainty, curves, result = _fit_exact(request, advance)
    if request.engine == LSODA_ENGINE:
        after = check_fit(measurement, outcome, request.engine,
                          weighted_chi2(measurement, measurement.start, outcome.centre))
    else:
        after = fit_findings(result)
    if request.strict and after:
        raise StrictFindings(after)
    findings = request.findings + after

    out = request.out
    out.mkdir(parents=True, exist_ok=True)
    figure_name = f"{FIGURE_STEM}.{request.figure_format}"
    figure_path = out / figure_name
    names = measurement.fit_names if result is None else result.var_names
    setup = measurement.setup
    title = setup_title({"wavelength": setup.wavelength, "tau": setup.tau,
                         "pulse_fwhm": setup.pulse_fwhm}, request.model, names)
    rows = parameter_rows(measurement, outcome, uncertainty, request.truth)
    entries = [(row["name"], row["fitted_value"], row["standard_error"], row["unit"])
               for row in rows if row["fitted"]]
    if result is not None and result.params[FOCUS].vary:
        focus = result.params[FOCUS]
        entries.append((FOCUS, focus.value, focus.stderr, "mm"))
    figure_digest = plot_fit(figure_path, measurement, outcome, curves=curves, title=title,
                             values=values_box_text(entries, uncertainty.reduced_chi2),
                             relative_to=outcome.centre if request.relative_to_focus else None)
    if result is None:
        document = result_document(
            measurement, outcome, uncertainty, rows, figure_name, request.rel_step,
            engine=request.engine, model=request.model, provenance=request.record,
            findings=findings, curves=curves)
        document = insert_after(document, "fit_seconds", {
            "converged": None, "message": "fit_zscan does not report whether its fit converged",
            "model_settings": lsoda_model_settings(measurement)})
    else:
        document = exact_document(measurement, result, outcome, uncertainty, rows, curves,
                                  figure_name, request.record, findings)
    if request.bootstrap is not None:
        document["bootstrap"] = _bootstrap(request, outcome, result, show)
    if request.conf_sigmas:
        document["profile_intervals"] = profile_interval_document(result, request.conf_sigmas,
                                                                  show)
    document[DIGESTS_KEY] = digests_section(request.inputs, request.settings,
                                            {figure_name: figure_digest})
    # Inputs that changed while they were fitted make the result stale.
    changed = changed_inputs(measurement.directory, request.inputs)
    if changed:
        document[STALE_KEY] = {"changed_inputs": changed}
        stale = Finding("stale", f"{', '.join(changed)} changed while the fit ran: this result "
                                 "belongs to the earlier contents and is marked stale; fit again")
        findings = findings + [stale]
        document["warnings"].append(stale.as_dict())
    # The JSON file comes last: its presence marks a complete result.
    result_path = out / RESULT_FILE
    write_result(result_path, document)
    status = 0 if result is None or result.success else EXIT_NOT_CONVERGED
    return DirectoryFit(request, outcome, uncertainty, rows, document, result_path,
                        figure_path, findings, result, status)


# The lsoda engine: fit_zscan, standard errors by central differences.
def _fit_lsoda(request):
    from .fit_curves import fit_curves
    from .uncertainty import fit_uncertainty

    measurement = request.measurement
    request.out.mkdir(parents=True, exist_ok=True)
    messages_path = request.out / MESSAGES_FILE
    # The solver writes its messages beside the log and the log is replaced
    # when the fit ends (removed when it had none: a log of an earlier fit
    # would be mistaken for this one's).
    written = request.out / f".{MESSAGES_FILE}.{os.getpid()}.tmp"
    try:
        outcome = fit_measurement(measurement, request.n_starts, log_path=written)
        if written.exists():
            os.replace(written, messages_path)
        else:
            messages_path.unlink(missing_ok=True)
    except (TypeError, ValueError, IndexError) as error:
        raise InputError(f"the fit refused the input: {error}") from None
    finally:
        written.unlink(missing_ok=True)
    if not math.isfinite(outcome.error) or not math.isfinite(outcome.error * outcome.error):
        raise FitFailed(f"the fit returned a non-finite error (chi^2 = "
                        f"{outcome.error * outcome.error:g}); check the start values and the "
                        "set-up")
    uncertainty = fit_uncertainty(measurement.positions, measurement.transmittance,
                                  measurement.pulse_energy, outcome.fitted,
                                  measurement.fit_indices, measurement.setup.model_kwargs(),
                                  measurement.is_sa, request.rel_step)
    return outcome, uncertainty, fit_curves(measurement, outcome), None


# The exact engine: tarvo.fit with the exact Jacobian, run to the optimum.
def _fit_exact(request, progress=None):
    from .fit_curves import FitCurves

    measurement = request.measurement
    try:
        result = fit_measurement_exact(measurement, request.n_starts, request.model,
                                       request.weights, progress)
    except EngineUnavailable as error:
        raise FitFailed(str(error)) from None
    except ValueError as error:
        raise InputError(f"{measurement.directory / SETUP_FILE}: {error}") from None
    if not math.isfinite(result.chisqr):
        raise FitFailed(f"the fit returned a non-finite chi^2 ({result.chisqr:g}); check the "
                        "start values and the set-up")
    outcome, uncertainty = lsoda_shaped(measurement, result)
    curves = FitCurves(result.positions - result.focus, result.best_fit,
                       tuple(result.model_line(k) for k in range(len(measurement.curves))))
    return outcome, uncertainty, curves, result


# The profile-likelihood intervals of a finished exact fit at `sigmas` as
# their JSON document, with a progress bar if asked.
def profile_interval_document(result, sigmas, show_progress):
    from .confidence import interval_document

    steps = 2 * len(result.var_names)
    with ProgressBar(steps, "profile intervals", "side", enabled=show_progress) as advance:
        return interval_document(result, sigmas, advance)


# The --sigmas list: positive numbers separated by commas (default 1, 2).
def parse_sigmas(text, conf_interval):
    if text is None:
        return (1.0, 2.0) if conf_interval else None
    if not conf_interval:
        raise InputError("--sigmas needs --conf-interval")
    try:
        sigmas = tuple(float(part) for part in text.split(","))
    except ValueError:
        raise InputError(f"--sigmas must be numbers separated by commas, e.g. 1,2; got "
                         f"{text!r}") from None
    if not all(math.isfinite(s) and 0.0 < s <= MAX_SIGMAS for s in sigmas):
        raise InputError(f"--sigmas must lie above 0 and at most {MAX_SIGMAS:g} (standard "
                         f"deviations), got {text!r}")
    return tuple(sorted(set(sigmas)))


# The bootstrap of a finished fit as its JSON document, with a progress bar if asked.
def _bootstrap(request, outcome, result, show_progress):
    from .bootstrap import bootstrap_fit
    from .cluster import progress_bar

    if not show_progress:
        return bootstrap_fit(request, outcome, result).to_document()
    with progress_bar(request.bootstrap.replicates, "bootstrap", "fit") as (advance, _):
        return bootstrap_fit(request, outcome, result, advance).to_document()


# tarvo fit DIR: read, check, fit, estimate errors, draw, write, report.
def run_fit_command(args, argv):
    if len(args.directory) > 1:
        from .cli_global import run_global_fit

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
    measurement, n_starts = request.measurement, request.n_starts
    exact = request.engine != LSODA_ENGINE
    focus = " and the focus" if exact and measurement.options.fit_focus else ""
    print(f"Fitting {', '.join(measurement.fit_names)}{focus} to {len(measurement.curves)} "
          f"curves x {measurement.num_x_pts} points of {measurement.directory}")
    threads = os.environ.get('OMP_NUM_THREADS', 'all cores')
    if exact:
        print(f"exact engine, {request.model} model; {_starts_text(n_starts)} (start values x "
              f"{_factor_text(start_factors(n_starts))}), threads: {threads}")
    else:
        print(f"lsoda engine (fit_zscan), established model; {_starts_text(n_starts)} (start "
              f"values x {_factor_text(start_multipliers(n_starts))}), threads: {threads}")
        if measurement.options.exact_only:
            print("note: [bounds], fit_focus and focus_mm apply to the exact engine only; "
                  "fit_zscan ignores them")
    if measurement.sigma_1_from is not None:
        source = measurement.sigma_1_from
        print(f"sigma_1 = {source['sigma_1']:.4g} cm^2 from [sample] {source['from']} = "
              f"{source['value']:g} (held)")
    if exact and args.step is not None:
        print("note: --step applies to the lsoda engine; the exact engine's standard errors "
              "come from its exact Jacobian")
    sys.stdout.flush()
    try:
        done = fit_and_write(request, f"fitting, {_starts_text(n_starts)}")
    except FitFailed as error:
        return _fail(str(error), EXIT_FIT_FAILED)
    except StrictFindings as stop:
        return report_findings(stop.findings, True)
    report_findings(done.findings[len(request.findings):], False)
    if exact:
        _print_exact(done)
    else:
        _print_lsoda(done)
    if "bootstrap" in done.document:
        from .bootstrap import format_bootstrap

        errors = {row["name"]: row["standard_error"] for row in done.rows if row["fitted"]}
        if done.result is not None and done.result.params["focus"].vary:
            errors["focus"] = done.result.params["focus"].stderr
        print("\n" + format_bootstrap(done.document["bootstrap"], errors))
    if "profile_intervals" in done.document:
        from .confidence import format_interval_document

        print("\n" + format_interval_document(done.document["profile_intervals"]))
    print(f"results: {done.result_path}")
    print(f"figure:  {done.figure_path}")
    return done.status


# The report of an lsoda fit on stdout.
def _print_lsoda(done):
    measurement, outcome, uncertainty = done.request.measurement, done.outcome, done.uncertainty
    print(f"Fit finished in {outcome.seconds:.1f} s; focus (extreme of the data) at "
          f"{outcome.centre:g} mm\n")
    print(format_table(done.rows))
    print(f"\nfit error (norm of weighted residuals): {outcome.error:.6g}; reduced chi^2: "
          f"{uncertainty.reduced_chi2:.4g} ({uncertainty.degrees_of_freedom} degrees of freedom)")
    for note in correlation_notes(measurement.fit_names, uncertainty):
        print(f"note: {note}")
    print(messages_line(outcome, done.request.out / MESSAGES_FILE))
    if measurement.sigma is not None:
        print(f"note: the curve files give standard deviations (third column); the "
              f"{LSODA_ENGINE} engine weights the points by position only and does not use them")
    for finding in done.findings:
        print(f"warning: {finding.message}")


# The report of an exact fit on stdout.
def _print_exact(done):
    result, outcome, model = done.result, done.outcome, done.request.model
    grid = ", ".join(f"{k} {v}" for k, v in result.grid.items()
                     if model == "energy" or k != "radial_points")
    print(f"Fit finished in {result.seconds:.2f} s ({result.nfev} model evaluations); "
          f"{focus_line(result, done.request.measurement.options)}")
    print(f"grid: {grid}\n")
    print(format_table(done.rows))
    print(f"\nfit error (norm of weighted residuals): {outcome.error:.6g}; reduced chi^2: "
          f"{result.redchi:.4g} ({result.nfree} degrees of freedom); weights {result.weighting}")
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
    for finding in done.findings:
        print(f"warning: {finding.message}")


# tarvo init DIR: the set-up template and example curves.
def run_init_command(args):
    from .starter import write_starter

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
    received = []

    # Python's own handler, which also notes that the user interrupted.
    def interrupt(signum, frame):
        received.append(signum)
        raise KeyboardInterrupt

    signal.signal(signal.SIGINT, interrupt)
    try:
        status = main()
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
            from .planning import run_simulate_command
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
