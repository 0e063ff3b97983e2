"""The fit of one measurement directory, as `tarvo fit DIR` and `tarvo batch`
run it: read and check the directory and the options of its fit
(prepare_fit), fit it on the chosen engine through tarvo.fit, draw and write
the result, then its profile intervals or bootstrap (fit_and_write)."""

import math
import os
from dataclasses import dataclass, replace
from pathlib import Path

from .bootstrap import bootstrap_fit
from .checks import Finding, LSODA_ENGINE, check_measurement, fit_findings, rayleigh_range_mm
from .cluster import ProgressBar, progress_bar
from .counts import check_starts
from .engine import EngineUnavailable
from .errors import InputError
from .files import (DIGESTS_KEY, NOT_COMPUTED_KEY, PENDING_KEY, STALE_KEY, changed_inputs,
                    digests_section, fit_settings, input_entries, provenance,
                    remove_files_of_killed_writers, result_directory_lock, tarvo_version)
from .fit_tables import TRUTH_FOCUS, read_parameter_file, resolve_model
from .fitting import fit
from .lsoda_fit import REL_STEP_DEFAULT
from .measurement_directory import read_measurement
from .normalisation import Normalisation
from .plot import plot_fit, setup_title, values_box_text
from .problem import check_focus_in_scan
from .report import (FitCurves, closed_aperture_numbers, fit_document, parameter_rows,
                     table_uncertainty, write_result)
from .profiles import interval_document
from .setup_file import SETUP_FILE


# Files written into the output directory (the measurement directory unless
# --out), by a fit of one directory and by a global fit alike: the result
# document, the figure's name without its format (fit.png, fit.svg, fit.pdf),
# and the solver's messages during the fit, when there are any.
RESULT_FILE = "fit-result.json"
FIGURE_STEM = "fit"
MESSAGES_FILE = "fit-solver-messages.log"

# The engine of `tarvo fit` where neither --engine nor [fit] engine chooses one.
DEFAULT_ENGINE = "exact"


# A fit that ran but produced no usable result.
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


# Plausibility findings after the fit under --strict.
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


# What a fit of measurement directories computed and wrote: `request` (a
# FitRequest, or for a global fit a GlobalRequest), the result document and
# where it and the figure are, the plausibility findings, and `result` (a
# tarvo.FitResult, or a tarvo.GlobalFitResult); the parameter table's `rows`
# of a fit of one directory, the `notes` of a global fit.
@dataclass(frozen=True)
class DirectoryFit:
    request: object
    document: dict
    result_path: Path
    figure_path: Path
    findings: list
    result: object
    rows: list = ()
    notes: tuple = ()


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
        engine_options.update(rel_step=rel_step)
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
    except InputError as error:
        raise InputError(f"{measurement.directory / SETUP_FILE} [fit] focus_mm: "
                         f"{str(error).removeprefix('focus: start value ')}") from None


# Fit a prepared directory on its engine, estimate the errors (and bootstrap
# them if asked), draw and write the result files; prints nothing. `tarvo fit`
# and `tarvo batch` both run exactly this. FitFailed when the fit gives no
# usable result, StrictFindings when --strict stops it. With `show_progress`
# progress bars of the starts, the bootstrap and the profile intervals show
# on stderr when it is a terminal (tarvo.cluster.ProgressBar). The fit's
# result is written before profile intervals or a bootstrap start (marked
# "pending"), and `on_fit(done)` is called with it; Ctrl-C during them
# rewrites it with what finished and raises InterruptedAfterFit.
def fit_and_write(request, show_progress=False, on_fit=None):
    request.out.mkdir(parents=True, exist_ok=True)
    with result_directory_lock(request.out, f"tarvo fit {request.measurement.directory}"):
        return _fit_and_write(request, show_progress, on_fit)


# fit_and_write with the output directory locked.
def _fit_and_write(request, show, on_fit):
    measurement = request.measurement
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
    title = setup_title(measurement.setup, request.model, result.var_names)
    uncertainty = table_uncertainty(measurement, result)
    rows = parameter_rows(measurement, result, uncertainty, request.truth,
                          result.identifiability)
    entries = [(name, result.params[name].value, result.params[name].stderr,
                result.params[name].unit) for name in result.var_names]
    curves = FitCurves.of(result)
    figure_digest = plot_fit(figure_path, measurement, result, curves, title=title,
                             values=values_box_text(entries, result.redchi),
                             relative_to=result.focus if request.relative_to_focus else None)
    document = fit_document(measurement, result, uncertainty, rows, curves,
                              figure_name, request.record, findings)
    if request.truth and TRUTH_FOCUS in request.truth:
        document["focus_mm"]["true"] = request.truth[TRUTH_FOCUS]
    closed = closed_aperture_numbers(result, [c.file for c in measurement.curves],
                                     rayleigh_range_mm(measurement.setup))
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
    done = DirectoryFit(request, document, out / RESULT_FILE, figure_path, findings, result,
                        rows=rows)
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
    curves = arguments.pop("curves")
    arguments.update(request.engine_options)
    if arguments["engine"] == LSODA_ENGINE:
        # fit_zscan does not use the standard deviations (prepare_fit said so).
        curves = tuple(replace(curve, sigma=None) for curve in curves)
    request.out.mkdir(parents=True, exist_ok=True)
    messages_path = request.out / MESSAGES_FILE
    written = request.out / f".{MESSAGES_FILE}.{os.getpid()}.tmp"
    remove_files_of_killed_writers(request.out, MESSAGES_FILE)
    try:
        result = fit(curves, params=request.params, n_starts=request.n_starts, checks="off",
                     progress=progress, solver_log=written,
                     uncertainties=measurement.uncertainties, **arguments)
        if written.exists():
            os.replace(written, messages_path)
        else:
            messages_path.unlink(missing_ok=True)
    except EngineUnavailable as error:
        raise FitFailed(str(error)) from None
    except InputError as error:
        # What tarvo.fit refuses (its checks and those of the parameters, the
        # problem and the engine) came from the directory's set-up.
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


