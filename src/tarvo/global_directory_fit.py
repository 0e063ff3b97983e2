"""The global fit of several measurement directories, as `tarvo fit DIR1 DIR2
--out OUT` and the groups of `tarvo batch` run it: read and check the
directories (each with its own start values, held values and bounds), fit
them together with shared molecular parameters (tarvo.global_fit), draw and
write the result and figure into OUT."""

from dataclasses import dataclass, replace
from pathlib import Path

from .directory_fit import FIGURE_STEM, RESULT_FILE, DirectoryFit, prepare_fit
from .errors import InputError
from .files import json_number, provenance, result_directory_lock
from .global_fit import check_members, fit_global, member_of, undetermined_finding
from .plot import global_figure, save_figure
from .report import write_result


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


# A global fit that stopped on findings.
class GlobalFindings(Exception):
    # The findings that stopped it, as (directory or "global", Finding).
    def __init__(self, findings):
        super().__init__("; ".join(f"{label}: {finding.message}" for label, finding in findings))
        self.findings = findings


# Read and check the directories, fit them together and write the result and
# figure into `out`; prints nothing. GlobalFindings when unit mistakes (unless
# forced) or, with `strict`, any finding stop it. `tarvo fit DIR1 DIR2 --out`
# and `tarvo batch` groups both run exactly this.
def global_fit_and_write(directories, out, *, model=None, normalisation=None, weights=None,
                         force=False, strict=False, figure_format="png", argv=()):
    prepared = prepare_global_fit(directories, out, model=model, normalisation=normalisation,
                                  weights=weights, force=force, strict=strict, argv=argv)
    prepared.out.mkdir(parents=True, exist_ok=True)
    with result_directory_lock(prepared.out, "tarvo fit " + " ".join(map(str, directories))):
        return _global_fit_and_write_locked(prepared, strict, figure_format, argv)


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
    check_global_directories(directories, out)
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
    except InputError as error:
        # What tarvo.fit refuses in one measurement, as a set-up error.
        raise InputError(str(error)) from None
    return GlobalRequest(requests, members, params, model, findings, out)


# The directories of a global fit, each once, and an output directory that
# is none of them (a global result there would replace its own fit's).
def check_global_directories(directories, out):
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


# The global fit of prepared directories with their output directory locked:
# fit, write; the DirectoryFit of what it wrote.
def _global_fit_and_write_locked(prepared, strict, figure_format, argv):
    requests, model, findings, out = (prepared.requests, prepared.model, prepared.findings,
                                      prepared.out)
    try:
        result = fit_global(prepared.members, prepared.params, checks="off")
    except InputError as error:
        # The members passed check_members; what is refused now is reported
        # as a set-up error all the same.
        raise InputError(str(error)) from None
    after = list(result.misfits)
    if result.identifiability.undetermined:
        after.append(("global", undetermined_finding(result.identifiability)))
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
    return DirectoryFit(prepared, document, out / RESULT_FILE, out / figure_name,
                        findings + after, result, notes=tuple(notes))
