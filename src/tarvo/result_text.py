"""The text report and the notebook view of a FitResult, and how its weighting
and fitting method are described in them and in its result file."""

import html
import math

from .files import number_cell, relative_cell
from .parameters import FOCUS


# Correlations below this are left out of the report (as lmfit's min_correl).
REPORTED_CORRELATION = 0.1

# How each weighting is described in reports.
WEIGHTING_TEXT = {
    "sigma": "1/sigma^2 (data uncertainties)",
    "equal": "equal (standard errors scaled by the residual variance)",
    "established": "1 + 4 exp(-4 s^2), s centred position in m (as fit_zscan)",
}

# How each engine fits and estimates the errors, for reports.
FIT_METHODS = {
    "exact": "least_squares (trf), exact Jacobian",
    "lsoda": "MINPACK lmdif (fit_zscan's multi-start); errors from central differences "
             "(relative step {rel_step:g})",
}


# FitResult.fit_report: statistics, variables with standard errors,
# correlations, identifiability, notes and error budget in lmfit's layout.
def report_text(result, min_correl):
    lines = ["[[Fit Statistics]]"]
    lines += [f"    {label:<19}= {value}" for label, value in _statistics(result)]
    lines.append("[[Variables]]")
    width = max(len(name) for name in result.params)
    found = getattr(result, "identifiability", None)
    for name, p in result.params.items():
        judged = found is not None and p.vary and name in found.status
        lines.append(f"    {name + ':':<{width + 1}}  "
                     f"{_value_text(p, found if judged else None)}")
    pairs = _correlation_pairs(result, min_correl)
    if pairs:
        lines.append(f"[[Correlations]] (unreported correlations are < {min_correl:.3f})")
        lines += [f"    C({a}, {b}) = {r:+.4f}" for a, b, r in pairs]
    if found is not None:
        lines.append(f"[[Identifiability]] ({found.source()})")
        lines += [f"    {line}" for line in found.report()[1:]]
    if result.notes:
        lines.append("[[Notes]]")
        lines += [f"    {note}" for note in result.notes]
    if getattr(result, "budget", None) is not None:
        lines.append("[[Error budget]]")
        lines += [f"  {line}" for line in result.budget.report()]
    return "\n".join(lines)


# The notebook view (FitResult._repr_html_): the statistics, the parameters,
# the correlations and the error budget as tables, then the notes.
def report_html(result):
    rows = "".join(f"<tr><td>{html.escape(label)}</td><td>{html.escape(str(value))}</td>"
                   "</tr>" for label, value in _statistics(result))
    parts = [f"<h4>Fit statistics</h4><table>{rows}</table>", "<h4>Parameters</h4><table>",
             "<tr><th>name</th><th>value</th><th>standard error</th><th>relative</th>"
             "<th>status</th><th>initial</th><th>min</th><th>max</th><th>vary</th>"
             "<th>unit</th></tr>"]
    found = getattr(result, "identifiability", None)
    for name, p in result.params.items():
        # A fitted parameter's relative error and status as the table has them.
        judged = found is not None and p.vary and name in found.status
        relative = found.error_text(name) if judged else relative_cell(p.stderr, p.value)
        status = (found.status[name] + (" (profile)" if found.method_of(name) == "profile"
                                        else "")) if judged else "-"
        cells = [name, number_cell(p.value, ".6g"), number_cell(p.stderr, ".3g"),
                 relative, status, number_cell(p.init_value, ".4g"),
                 number_cell(p.min, "g"), number_cell(p.max, "g"), str(p.vary), p.unit]
        parts.append("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in cells) + "</tr>")
    parts.append("</table>")
    pairs = _correlation_pairs(result, REPORTED_CORRELATION)
    if pairs:
        parts.append("<h4>Correlations</h4><table>")
        parts += [f"<tr><td>{a}</td><td>{b}</td><td>{r:+.4f}</td></tr>" for a, b, r in pairs]
        parts.append("</table>")
    budget = getattr(result, "budget", None)
    if budget is not None:
        parts += _budget_html(budget)
    if result.notes:
        parts.append("<h4>Notes</h4><ul>"
                     + "".join(f"<li>{html.escape(n)}</li>" for n in result.notes) + "</ul>")
    return "".join(parts)


# The error budget's table and notes in the notebook view.
def _budget_html(budget):
    parts = [f"<h4>Error budget</h4><p>{html.escape(budget.TITLE)}</p><table>"]
    for k, line in enumerate(budget.table()):
        tag = "th" if k == 0 else "td"
        parts.append("<tr>" + "".join(f"<{tag}>{html.escape(c)}</{tag}>"
                                      for c in line) + "</tr>")
    parts.append("</table>")
    if budget.notes:
        parts.append("<ul>" + "".join(f"<li>{html.escape(n)}</li>"
                                      for n in budget.notes) + "</ul>")
    return parts


# Label and value of every fit statistic, in report order.
def _statistics(result):
    return [("engine", result.engine), ("model", result.model),
            ("fitting method", result.method),
            ("weights", result.weighting), ("# function evals", result.nfev),
            ("# data points", result.ndata), ("# variables", result.nvarys),
            ("# starts", result.n_starts),
            ("normalisation", result.normalisation.mode),
            ("chi-square", f"{result.chisqr:.6g}"),
            ("residual RMS", f"{result.rms:.4g} (transmittance)"),
            ("reduced chi-square", f"{result.redchi:.6g}"),
            ("Akaike info crit", f"{result.aic:.4f}"), ("Bayesian info crit", f"{result.bic:.4f}"),
            ("focus (mm)", f"{result.focus:.6g}"),
            ("converged", f"{result.success} ({result.message})"),
            ("fit time (s)", f"{result.seconds:.3f}")]


# "value +/- error (relative) (init = ...)" or "value (fixed)"; with the
# identifiability, its relative error and status (the table's).
def _value_text(p, found=None):
    if p.expr:
        error = "" if p.stderr is None or not math.isfinite(p.stderr) \
            else f" +/- {p.stderr:.3g} ({relative_cell(p.stderr, p.value)})"
        return f"{p.value:.6g}{error} == {p.expr!r} [{p.unit}]"
    if not p.vary:
        return f"{p.value:.6g} (fixed) [{p.unit}]"
    error = "+/- inf" if p.stderr is None or not math.isfinite(p.stderr) \
        else f"+/- {p.stderr:.3g} ({relative_cell(p.stderr, p.value)})"
    if found is not None:
        error = ("+/- inf" if p.stderr is None or not math.isfinite(p.stderr)
                 else f"+/- {p.stderr:.3g}")
        if p.name.split("@")[0] != FOCUS:
            error += f" ({found.error_text(p.name)}"
        else:
            error += " ("
        error += (", " if p.name.split("@")[0] != FOCUS else "") + found.status[p.name]
        error += " [profile])" if found.method_of(p.name) == "profile" else ")"
    return f"{p.value:.6g} {error} (init = {p.init_value:.6g}) [{p.unit}]"


# Pairs of fitted parameters with |correlation| of at least min_correl, strongest first.
def _correlation_pairs(result, min_correl):
    names = result.var_names
    pairs = []
    for i, a in enumerate(names):
        for j in range(i + 1, len(names)):
            r = result.correlation[i, j]
            if math.isfinite(r) and abs(r) >= min_correl:
                pairs.append((a, names[j], float(r)))
    return sorted(pairs, key=lambda pair: -abs(pair[2]))
