"""tarvo fit DIR1 DIR2 ... --out OUT: one global fit over several measurement
directories with shared molecular parameters (see tarvo.global_fit)."""

import math
import sys
from pathlib import Path

import numpy as np

from .directory_fit import prepare_fit, report_findings
from .errors import InputError
from .global_fit import _undetermined_finding, fit_global, member_of
from .plot import save_figure
from .provenance import provenance
from .report import write_result

# Files of a global fit in --out.
RESULT_FILE = "fit-result.json"
FIGURE_STEM = "fit"


# A float for JSON (None for non-finite values).
def _finite(value):
    value = float(value)
    return value if math.isfinite(value) else None


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
        "parameters": [{"name": name, "value": _finite(result.values[name]),
                        "standard_error": _finite(result.stderr[name]), "fitted": True,
                        "determined": status[name] != "not determined"} for name in names],
        "covariance": {"parameters": names,
                       "matrix": [[_finite(v) for v in row] for row in result.covar]},
        "correlation": [[_finite(v) for v in row] for row in result.correlation],
        "chi2": _finite(result.chisqr), "reduced_chi2": _finite(result.redchi),
        "degrees_of_freedom": int(result.nfree), "converged": bool(result.success),
        "message": result.message, "nfev": result.nfev,
        "fit_seconds": round(result.seconds, 3),
        "measurements": [dict(member, directory=str(request.measurement.directory),
                              normalisation=request.measurement.normalisation.as_dict())
                         for member, request in zip(result.members, requests)],
        "identifiability": result.identifiability.as_dict(),
        "figure": figure_name,
    }


# One panel per measurement: data and model over the position relative to its focus.
def global_figure(result, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    count = len(result.results)
    figure, axes = plt.subplots(1, count, figsize=(5.0 * count, 4.0), squeeze=False)
    for ax, view in zip(axes[0], result.results):
        for k, energy in enumerate(view["pulse_energy"]):
            x = view["positions"][k] - view["focus"]
            order = np.argsort(x)
            ax.plot(x, view["data"][k], "o", markersize=3, label=f"{energy * 1e6:g} µJ")
            ax.plot(x[order], view["model"][k][order], "-", color=ax.lines[-1].get_color())
        ax.set_title(view["label"])
        ax.set_xlabel("position relative to the focus (mm)")
        ax.set_ylabel("normalised transmittance")
        ax.legend(fontsize="small")
    figure.suptitle(title)
    figure.tight_layout()
    return figure


# A global fit that stopped on findings (exit status EXIT_USAGE with them).
class GlobalFindings(Exception):
    # The findings that stopped it, as (directory or "global", Finding).
    def __init__(self, findings):
        super().__init__("; ".join(f"{label}: {finding.message}" for label, finding in findings))
        self.findings = findings


# What a global fit wrote: the result, its document and where the files are.
class GlobalDone:
    def __init__(self, result, document, result_path, figure_path, findings):
        self.result, self.document = result, document
        self.result_path, self.figure_path, self.findings = result_path, figure_path, findings


# Read and check the directories, fit them together and write the result and
# figure into `out`; prints nothing. GlobalFindings when unit mistakes (unless
# forced) or, with `strict`, any finding stop it. `tarvo fit DIR1 DIR2 --out`
# and `tarvo batch` groups both run exactly this.
def global_fit_and_write(directories, out, *, model=None, normalisation=None, weights=None,
                         force=False, strict=False, figure_format="png", argv=()):

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
    members = [member_of(request.measurement, model) for request in requests]
    labels = [member.label for member in members]
    if len(set(labels)) != len(labels):
        members = [type(member)(f"{k + 1}-{member.label}", member.arguments)
                   for k, member in enumerate(members)]
    try:
        result = fit_global(members, params, checks="off")
    except ValueError as error:
        raise InputError(str(error)) from None
    after = []
    if result.identifiability.undetermined:
        after.append(("global", _undetermined_finding(result.identifiability)))
    if strict and after:
        raise GlobalFindings(after)
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    figure_name = f"{FIGURE_STEM}.{figure_format}"
    inputs = tuple(file for request in requests for file in request.measurement.input_files)
    record = provenance(argv, inputs)
    save_figure(global_figure(result, f"global fit, {model} model"), out / figure_name)
    document = global_document(result, requests, model, record, findings + after, figure_name)
    write_result(out / RESULT_FILE, document)
    return GlobalDone(result, document, out / RESULT_FILE, out / figure_name, findings + after)


# tarvo fit DIR1 DIR2 ...: read and check every directory, fit them together, write, report.
def run_global_fit(args, argv):

    if not args.out:
        raise InputError("a global fit of several directories needs --out OUTDIR for its result")
    if args.engine == "lsoda":
        raise InputError("a global fit runs on the exact engine; drop --engine lsoda")
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
    print(f"results: {done.result_path}")
    print(f"figure:  {done.figure_path}")
    sys.stdout.flush()
    return 0 if done.result.success else 3
