"""The fit of measurement directories, as `tarvo fit` and `tarvo batch` run it:
read and check a directory and its options (prepare_fit), fit it on the
chosen engine through tarvo.fit, draw and write the result (fit_and_write);
several directories fitted together (global fits); the exit statuses and
messages of the command line."""

import math
import os
import sys
from dataclasses import dataclass, replace
from pathlib import Path

from .bootstrap import bootstrap_fit
from .checks import Finding, LSODA_ENGINE, check_measurement, fit_findings, rayleigh_range_mm
from .cluster import ProgressBar, progress_bar
from .counts import check_starts
from .engine import EngineUnavailable
from .files import (DIGESTS_KEY, InputError, NOT_COMPUTED_KEY, PENDING_KEY, STALE_KEY,
                    changed_inputs, digests_section, fit_settings, input_entries, json_number,
                    provenance, remove_files_of_killed_writers, result_directory_lock,
                    tarvo_version)
from .fit_tables import TRUTH_FOCUS, read_parameter_file, resolve_model
from .fitting import fit
from .global_fit import _undetermined_finding, check_members, fit_global, member_of
from .lsoda_fit import REL_STEP_DEFAULT, start_multipliers
from .measurement_directory import read_measurement
from .normalisation import Normalisation
from .plot import global_figure, plot_fit, save_figure, setup_title, values_box_text
from .problem import check_focus_in_scan
from .report import (FitCurves, closed_aperture_numbers, fit_document, parameter_rows,
                     report_view, write_result)
from .profiles import interval_document
from .setup_file import SETUP_FILE


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

# The engine of `tarvo fit` where neither --engine nor [fit] engine chooses one.
DEFAULT_ENGINE = "exact"

# Starts listed one by one in the banner; more are shown as first, second, ..., last.
BANNER_FACTORS = 5

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


# The directory the results go to, created when missing.
def output_directory(args, default):
    directory = Path(args.out) if args.out else Path(default)
    directory.mkdir(parents=True, exist_ok=True)
    return directory


# A fit that ran but produced no usable result (exit status EXIT_FIT_FAILED).
class FitFailed(RuntimeError):
    pass


# Ctrl-C after the fit was written, while its profile intervals or bootstrap
# ran: `done` is the DirectoryFit as written (the fit and whatever finished),
# `missing` the keys of the result document that were not computed.
class InterruptedAfterFit(KeyboardInterrupt):
    def __init__(self, done, missing):
        super().__init__(", ".join(missing))
        self.done, self.missing = done, missing


# What the result document holds beyond the fit (listed under PENDING_KEY
# while it is computed, under NOT_COMPUTED_KEY when Ctrl-C stopped it), for
# messages.
EXTRA_RESULTS = {"bootstrap": "bootstrap (--bootstrap)",
                 "profile_intervals": "profile-likelihood intervals (--conf-interval)"}


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
    # (see tarvo.files).
    settings: dict = None
    inputs: list = ()
    # The parameters fitted (tarvo.Parameters) and what tarvo.fit is told of
    # the engine: the engine, model and weights, and the engine's own options.
    params: object = None
    engine_options: dict = None


# Everything `tarvo fit DIR` computed and wrote for one directory: the
# tarvo.FitResult, and `status` the exit status of a completed run (0, or
# EXIT_NOT_CONVERGED).
@dataclass(frozen=True)
class DirectoryFit:
    request: FitRequest
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
    measurement = read_measurement(directory)
    truth, truth_path = (read_parameter_file(truth_file, "truth", (TRUTH_FOCUS,)) if truth_file
                         else (None, None))
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
    lsoda = engine == LSODA_ENGINE
    engine_options = dict(engine=engine, model=model, weights=weights)
    if lsoda:
        # fit_zscan centres on the data's extreme, has no bounds and ignores
        # the standard deviations; its errors come from central differences.
        engine_options.update(rel_step=rel_step, sigma=None)
    norm = measurement.normalisation
    settings = fit_settings(engine, model, n_starts, engine_options.get("rel_step"),
                            figure_format, tarvo_version(),
                            weights=weights, normalisation=[norm.mode, norm.far_field_points],
                            conf_sigmas=list(conf_sigmas) if conf_sigmas else None,
                            relative_to_focus=bool(relative_to_focus))
    return FitRequest(measurement, truth, n_starts, rel_step, engine, model,
                      provenance(argv, input_files), check_measurement(measurement),
                      Path(out) if out else measurement.directory, figure_format, strict,
                      bootstrap, weights, force or measurement.options.force,
                      None if not conf_sigmas else tuple(conf_sigmas), bool(relative_to_focus),
                      settings, input_entries(measurement.directory, input_files),
                      measurement.parameters(focus=not lsoda), engine_options)


# Largest level of --sigmas: beyond 5 standard deviations the profile's
# threshold lies in tails no Z-scan resolves.
MAX_SIGMAS = 5.0


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


# The options of profile intervals, of `tarvo fit` and `tarvo batch`.
def add_interval_arguments(parser):
    parser.add_argument("--conf-interval", action="store_true",
                        help="also compute profile-likelihood confidence intervals of the fitted "
                             "parameters (exact engine; each point of a profile is a refit)")
    parser.add_argument("--sigmas", metavar="N[,N...]", default=None,
                        help="levels of --conf-interval in standard deviations (default 1,2)")


# The start factors for the banner, long lists shortened.
def _factor_text(factors):
    factors = [f"{m:.3g}" for m in factors]
    if len(factors) > BANNER_FACTORS:
        factors = factors[:2] + ["...", factors[-1]]
    return ", ".join(factors)


# "N start(s)".
def starts_text(n_starts):
    return f"{n_starts} start{'s' if n_starts != 1 else ''}"


# What runs the fit of `request`, and the engine's notes on the options
# (`step_given`: --step was on the command line), as printed before it.
def engine_description(request, step_given):
    measurement, n_starts = request.measurement, request.n_starts
    threads = os.environ.get('OMP_NUM_THREADS', 'all cores')
    if request.engine != LSODA_ENGINE:
        lines = [f"exact engine, {request.model} model; {starts_text(n_starts)} (start values x "
                 f"{_factor_text([1.0] if n_starts == 1 else start_multipliers(n_starts))}), "
                 f"threads: {threads}"]
        if step_given:
            lines.append("note: --step applies to the lsoda engine; the exact engine's standard "
                         "errors come from its exact Jacobian")
        return lines
    lines = [f"lsoda engine (fit_zscan), established model; {starts_text(n_starts)} (start "
             f"values x {_factor_text(start_multipliers(n_starts))}), threads: {threads}"]
    if measurement.options.exact_only:
        lines.append("note: [bounds], fit_focus and focus_mm apply to the exact engine only; "
                     "fit_zscan ignores them")
    if measurement.sigma is not None:
        lines.append(f"note: the curve files give standard deviations (third column); the "
                     f"{LSODA_ENGINE} engine weights the points by position only and does not "
                     "use them")
    return lines


# The measurement with the normalisation the fit uses: the command line's,
# else [data]'s; the lsoda engine (fit_zscan) shifts its curves to a
# baseline, so it takes "shift" and refuses any other normalisation chosen.
def _with_normalisation(measurement, chosen, engine):
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
    try:
        check_focus_in_scan(measurement.options.focus_mm, measurement.positions, True)
    except ValueError as error:
        raise InputError(f"{measurement.directory / SETUP_FILE} [fit] focus_mm: "
                         f"{str(error).removeprefix('focus: start value ')}") from None


# Fit a prepared directory on its engine, estimate the errors (and bootstrap
# them if asked), draw and write the result files; prints nothing. `tarvo fit`
# and `tarvo batch` both run exactly this. FitFailed when the fit gives no
# usable result, StrictFindings when --strict stops it. `ticker_message`
# shows an elapsed-time line on a terminal while the fit runs. The fit's
# result is written before profile intervals or a bootstrap start (marked
# "pending"), and `on_fit(done)` is called with it; Ctrl-C during them
# rewrites it with what finished and raises InterruptedAfterFit.
def fit_and_write(request, ticker_message=None, on_fit=None):
    request.out.mkdir(parents=True, exist_ok=True)
    with result_directory_lock(request.out, f"tarvo fit {request.measurement.directory}"):
        return _fit_and_write(request, ticker_message, on_fit)


# fit_and_write with the output directory locked.
def _fit_and_write(request, ticker_message, on_fit):
    measurement = request.measurement
    show = ticker_message is not None
    with ProgressBar(request.n_starts, "fitting", "start", enabled=show) as advance:
        result = _fit(request, advance)
    after = fit_findings(result)
    if request.strict and after:
        raise StrictFindings(after)
    findings = request.findings + after

    out = request.out
    out.mkdir(parents=True, exist_ok=True)
    figure_name = f"{FIGURE_STEM}.{request.figure_format}"
    figure_path = out / figure_name
    setup = measurement.setup
    title = setup_title({"wavelength": setup.wavelength, "tau": setup.tau,
                         "pulse_fwhm": setup.pulse_fwhm}, request.model, result.var_names)
    outcome, uncertainty = report_view(measurement, result)
    rows = parameter_rows(measurement, outcome, uncertainty, request.truth,
                          result.identifiability)
    entries = [(name, result.params[name].value, result.params[name].stderr,
                result.params[name].unit) for name in result.var_names]
    curves = FitCurves.of(result)
    figure_digest = plot_fit(figure_path, measurement, outcome, curves, title=title,
                             values=values_box_text(entries, result.redchi),
                             relative_to=result.focus if request.relative_to_focus else None)
    document = fit_document(measurement, result, outcome, uncertainty, rows, curves,
                              figure_name, request.record, findings)
    if request.truth and TRUTH_FOCUS in request.truth:
        document["focus_mm"]["true"] = request.truth[TRUTH_FOCUS]
    closed = closed_aperture_numbers(result, [c.file for c in measurement.curves],
                                     rayleigh_range_mm(setup))
    if closed:
        document["closed_aperture"] = closed
    alone = getattr(result, "determined_by_aperture", None)
    if alone:
        document["determined_by_aperture_alone"] = alone
    document[DIGESTS_KEY] = digests_section(request.inputs, request.settings,
                                            {figure_name: figure_digest})
    # The JSON file comes after the figure: its presence marks a complete fit;
    # what is still to come is listed under "pending".
    pending = [key for key, asked in (("bootstrap", request.bootstrap is not None),
                                      ("profile_intervals", bool(request.conf_sigmas))) if asked]
    if pending:
        document[PENDING_KEY] = pending
    findings = _write_checked(out, measurement, request, document, findings)
    status = 0 if result.success else EXIT_NOT_CONVERGED
    done = DirectoryFit(request, rows, document, out / RESULT_FILE, figure_path, findings,
                        result, status)
    if not pending:
        if on_fit is not None:
            on_fit(done)
        return done
    try:
        if on_fit is not None:
            on_fit(done)
        if request.bootstrap is not None:
            document["bootstrap"] = _bootstrap(request, result, show)
        if request.conf_sigmas:
            document["profile_intervals"] = profile_interval_document(
                result, request.conf_sigmas, show)
    except KeyboardInterrupt:
        missing = [key for key in pending if key not in document]
        del document[PENDING_KEY]
        document[NOT_COMPUTED_KEY] = {key: "interrupted (Ctrl-C) before it finished"
                                      for key in missing}
        findings = _write_checked(out, measurement, request, document, findings)
        raise InterruptedAfterFit(replace(done, document=document, findings=findings),
                                  missing) from None
    del document[PENDING_KEY]
    findings = _write_checked(out, measurement, request, document, findings)
    return replace(done, document=document, findings=findings)


# Write the result document, marked stale (with a finding added to
# `findings`, which are returned) when its inputs changed since they were read.
def _write_checked(out, measurement, request, document, findings):
    changed = changed_inputs(measurement.directory, request.inputs)
    if changed and STALE_KEY not in document:
        document[STALE_KEY] = {"changed_inputs": changed}
        stale = Finding("stale", f"{', '.join(changed)} changed while the fit ran: this result "
                                 "belongs to the earlier contents and is marked stale; fit again")
        findings = findings + [stale]
        document["warnings"].append(stale.as_dict())
    write_result(out / RESULT_FILE, document)
    return findings


# The fit of a prepared directory: tarvo.fit on the request's engine. The
# solver's messages (the lsoda engine's) go to the log beside the results,
# which is replaced when the fit ends (removed when it had none: a log of an
# earlier fit would be mistaken for this one's).
def _fit(request, progress=None):
    measurement = request.measurement
    arguments = measurement.fit_arguments(request.model)
    arguments.pop("focus")      # in request.params
    arguments.update(request.engine_options)
    request.out.mkdir(parents=True, exist_ok=True)
    messages_path = request.out / MESSAGES_FILE
    written = request.out / f".{MESSAGES_FILE}.{os.getpid()}.tmp"
    remove_files_of_killed_writers(request.out, MESSAGES_FILE)
    try:
        result = fit(params=request.params, n_starts=request.n_starts, checks="off",
                     progress=progress, solver_log=written,
                     uncertainties=measurement.uncertainties, **arguments)
        if written.exists():
            os.replace(written, messages_path)
        else:
            messages_path.unlink(missing_ok=True)
    except EngineUnavailable as error:
        raise FitFailed(str(error)) from None
    except ValueError as error:
        raise InputError(f"{measurement.directory / SETUP_FILE}: {error}") from None
    finally:
        written.unlink(missing_ok=True)
    if not math.isfinite(result.chisqr):
        raise FitFailed(f"the fit returned a non-finite chi^2 ({result.chisqr:g}); check the "
                        "start values and the set-up")
    return result


# The profile-likelihood intervals of a finished exact fit at `sigmas` as
# their JSON document, with a progress bar if asked.
def profile_interval_document(result, sigmas, show_progress):
    steps = 2 * len(result.var_names)
    with ProgressBar(steps, "profile intervals", "side", enabled=show_progress) as advance:
        return interval_document(result, sigmas, advance)


# The bootstrap of a finished fit as its JSON document, with a progress bar if asked.
def _bootstrap(request, result, show_progress):
    if not show_progress:
        return bootstrap_fit(request, result).to_document()
    with progress_bar(request.bootstrap.replicates, "bootstrap", "fit") as (advance, _):
        return bootstrap_fit(request, result, advance).to_document()


# Files of a global fit in --out.
RESULT_FILE = "fit-result.json"
FIGURE_STEM = "fit"


# The fitted parameters and the focus settings of the first measurement: the
# other measurements must fit the same parameters.
def _shared_parameters(requests):
    first = requests[0].measurement
    for request in requests[1:]:
        other = request.measurement
        if tuple(other.fit_names) != tuple(first.fit_names):
            raise InputError(f"{other.directory}: [fit] parameters {', '.join(other.fit_names)}"
                             f" differ from {first.directory}'s ({', '.join(first.fit_names)}):"
                             " a global fit fits the same parameters in every measurement")
        if other.options.fit_focus != first.options.fit_focus:
            raise InputError(f"{other.directory}: fit_focus differs from {first.directory}'s")
    return first.parameters()


# The result document of a global fit.
def global_document(result, requests, model, record, findings, figure_name):
    status = result.identifiability.status
    names = result.var_names
    return {
        "tarvo_version": record["tarvo_version"], "engine": "exact", "model": model,
        "global": True, "provenance": record,
        "directories": [str(request.measurement.directory) for request in requests],
        "warnings": [dict(finding.as_dict(), directory=label) for label, finding in findings],
        "weights": result.weighting,
        "parameters": [{"name": name, "value": json_number(result.values[name]),
                        "standard_error": json_number(result.stderr[name]), "fitted": True,
                        "relative_error": json_number(result.identifiability.errors[name]),
                        "status": status[name],
                        "status_from": result.identifiability.method_of(name),
                        "determined": name not in result.identifiability.undetermined}
                       for name in names],
        "covariance": {"parameters": names,
                       "matrix": [[json_number(v) for v in row] for row in result.covar]},
        "correlation": [[json_number(v) for v in row] for row in result.correlation],
        "chi2": json_number(result.chisqr), "reduced_chi2": json_number(result.redchi),
        "degrees_of_freedom": int(result.nfree), "converged": bool(result.success),
        "message": result.message, "nfev": result.nfev,
        "fit_seconds": round(result.seconds, 3),
        "measurements": [dict(member, directory=str(request.measurement.directory),
                              normalisation=request.measurement.normalisation.as_dict())
                         for member, request in zip(result.members, requests)],
        "identifiability": result.identifiability.as_dict(),
        "figure": figure_name,
    }


# A global fit that stopped on findings (exit status EXIT_USAGE with them).
class GlobalFindings(Exception):
    # The findings that stopped it, as (directory or "global", Finding).
    def __init__(self, findings):
        super().__init__("; ".join(f"{label}: {finding.message}" for label, finding in findings))
        self.findings = findings


# What a global fit wrote: the result, its document and where the files are.
class GlobalDone:
    def __init__(self, result, document, result_path, figure_path, findings, notes=()):
        self.result, self.document = result, document
        self.result_path, self.figure_path, self.findings = result_path, figure_path, findings
        self.notes = list(notes)


# Read and check the directories, fit them together and write the result and
# figure into `out`; prints nothing. GlobalFindings when unit mistakes (unless
# forced) or, with `strict`, any finding stop it. `tarvo fit DIR1 DIR2 --out`
# and `tarvo batch` groups both run exactly this.
def global_fit_and_write(directories, out, *, model=None, normalisation=None, weights=None,
                         force=False, strict=False, figure_format="png", argv=()):
    prepared = prepare_global_fit(directories, out, model=model, normalisation=normalisation,
                                  weights=weights, force=force, strict=strict, argv=argv)
    out = prepared.out
    out.mkdir(parents=True, exist_ok=True)
    with result_directory_lock(out, "tarvo fit " + " ".join(map(str, directories))):
        return _global_fit_and_write_locked(prepared.requests, prepared.members, prepared.params,
                                            out, prepared.model, prepared.findings, strict,
                                            figure_format, argv)


# What a global fit needs before it fits: the prepared directories, their
# members (each with its own parameters), the shared parameters, the model,
# the findings so far and the output directory.
@dataclass(frozen=True)
class GlobalRequest:
    requests: list
    members: list
    params: object
    model: str
    findings: list
    out: Path


# Read and check the directories of a global fit (each once, none of them
# OUT) and their options; InputError, or GlobalFindings when findings stop it.
def prepare_global_fit(directories, out, *, model=None, normalisation=None, weights=None,
                       force=False, strict=False, argv=()):
    out = Path(out)
    _check_global_directories(directories, out)
    requests = [prepare_fit(directory, model=model, normalisation=normalisation,
                            weights=weights, force=force, argv=argv)
                for directory in directories]
    findings = [(str(request.measurement.directory), finding) for request in requests
                for finding in request.findings]
    forced = all(request.force for request in requests)
    if (strict and findings) or (not forced and any(f.stops for _, f in findings)):
        raise GlobalFindings(findings)
    models = {request.model for request in requests}
    if len(models) > 1:
        raise InputError("the directories choose different models ([model] variant): a global "
                         "fit runs one model")
    model = models.pop()
    params = _shared_parameters(requests)
    # Each measurement with its own start values, held values and bounds.
    members = [member_of(request.measurement, model) for request in requests]
    labels = [member.label for member in members]
    if len(set(labels)) != len(labels):
        members = [replace(member, label=f"{k + 1}-{member.label}")
                   for k, member in enumerate(members)]
    try:
        check_members(members, params)
    except ValueError as error:
        raise InputError(str(error)) from None
    return GlobalRequest(requests, members, params, model, findings, out)


# The directories of a global fit, each once, and an output directory that
# is none of them (a global result there would replace its own fit's).
def _check_global_directories(directories, out):
    seen = {}
    for directory in directories:
        key = Path(directory).resolve()
        if key in seen:
            raise InputError(f"{directory} is given twice (also as {seen[key]}): a global fit "
                             "takes each measurement once")
        seen[key] = directory
    if out.resolve() in seen:
        raise InputError(f"--out {out} is the measurement directory {seen[out.resolve()]}: the "
                         f"global result would replace its own {RESULT_FILE}; give another "
                         "directory")


# The global fit of prepared directories with `out` locked: fit, write.
def _global_fit_and_write_locked(requests, members, params, out, model, findings, strict,
                                 figure_format, argv):
    try:
        result = fit_global(members, params, checks="off")
    except ValueError as error:
        raise InputError(str(error)) from None
    after = list(result.misfits)
    if result.identifiability.undetermined:
        after.append(("global", _undetermined_finding(result.identifiability)))
    if strict and after:
        raise GlobalFindings(after)
    figure_name = f"{FIGURE_STEM}.{figure_format}"
    inputs = tuple(file for request in requests for file in request.measurement.input_files)
    record = provenance(argv, inputs)
    save_figure(global_figure(result, f"global fit, {model} model"), out / figure_name)
    document = global_document(result, requests, model, record, findings + after, figure_name)
    write_result(out / RESULT_FILE, document)
    # The error budget belongs to the fit of one measurement.
    notes = [f"{request.measurement.directory}: [uncertainty] applies to the fit of this "
             "directory alone (tarvo fit DIR); a global fit computes no error budget"
             for request in requests if request.measurement.uncertainties is not None]
    return GlobalDone(result, document, out / RESULT_FILE, out / figure_name, findings + after,
                      notes)


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
    _check_global_directories(args.directory, Path(args.out))
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
    return 0 if done.result.success else 3
