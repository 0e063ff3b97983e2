"""Plausibility checks: everyday mistakes that would let a fit run to a wrong answer.

Units and normalisation mistakes do not make the input unreadable: the fit
runs, ends with exit status 0 and gives plausible-looking numbers that are
wrong (positions in metres leave every parameter at its start value; a far
field at 0.82 makes sigma_4 eleven times too large). These checks look at the
input before the fit, and at the fit's outcome after it, for the signs of
such mistakes. Each finding is one line that says what is probably wrong and
how to fix it; the command-line tool prints them as warnings, records them
in the result, and refuses to go on with --strict.
"""

import math
import warnings
from dataclasses import dataclass

import numpy as np

from . import _native
from .errors import InputError
from .normalisation import FAR_FIELD_TOLERANCE, NORMALISATIONS, Normalisation
from .parameters import NAMES, PARAMETERS, scan_centre
from .misfit import misfit_message, residual_structure


# The model normalises each curve by its first five and last five points.
BASELINE_POINTS = _native.MIN_POINTS_PER_CURVE

# The scan must reach this many Rayleigh ranges beyond the focus on both
# sides: there the on-axis intensity is a tenth of its peak and the
# far-field points that set the baseline see little of the nonlinearity.
MIN_REACH_RAYLEIGH = 3.0

# A scan reaching further than this from the focus (mm), and further than
# MAX_REACH_RAYLEIGH Rayleigh ranges, is longer than any translation stage.
MAX_REACH_MM = 1000.0
MAX_REACH_RAYLEIGH = 100.0

# Far-field means in this range are transmittances in per cent.
PERCENT_RANGE = (50.0, 150.0)

# Values of this size are no transmittance: raw detector readings.
RAW_SIGNAL_LEVEL = 1000.0

# A set-up value off by at least this many decades, and right in another unit,
# stops the fit before it starts.
UNIT_FACTOR_DECADES = 3

# A scan spanning fewer Rayleigh ranges than this shows no Z-scan: the
# positions are probably in metres (or the beam much larger than declared).
MIN_SPAN_RAYLEIGH = 0.05

# Physical ranges of fitted values: cross-sections (cm^2) and time constants (s).
FITTED_CROSS_SECTION = (1e-24, 1e-14)
FITTED_TIME_CONSTANT = (1e-15, 1.0)

# A feature of the curves stands at least this far from their baseline.
FEATURE_MIN = 0.01

# Avogadro's constant: a concentration of 1 mol/L is this many molecules per cm^3.
PER_CM3_PER_MOL_L = 6.02214076e20

# Engine whose fit these after-fit checks know: the published LSODA solver
# driven by MINPACK's LMDIF1.
LSODA_ENGINE = "lsoda"


# One finding: the name of the check that made it and its one-line message.
# A finding that `stops` marks input that is almost certainly in another unit
# than declared: the command line refuses to fit it unless forced.
@dataclass(frozen=True)
class Finding:
    check: str
    message: str
    stops: bool = False

    # The entry of the result document.
    def as_dict(self):
        return {"check": self.check, "message": self.message,
                "severity": "stop" if self.stops else "warning"}


# A plausibility finding of tarvo.fit, issued as a Python warning.
class PlausibilityWarning(UserWarning):
    """A sign that the input or the result of a fit is probably wrong (a unit,
    the normalisation, a parameter the data do not move)."""


# What tarvo.fit does with its findings.
CHECK_MODES = ("warn", "error", "off")


# Issue findings as PlausibilityWarning ("warn") or raise the first as ValueError ("error").
def raise_or_warn(findings, mode):
    if mode == "error" and findings:
        raise InputError("; ".join(finding.message for finding in findings))
    if mode == "warn":
        for finding in findings:
            warnings.warn(finding.message, PlausibilityWarning, stacklevel=3)


# Data of a fit as the checks see it: positions (mm) and transmittance (curves,
# points), energies (J), a set-up with attributes, is_sa, curve names, normalisation.
@dataclass(frozen=True)
class CheckedData:
    positions: np.ndarray
    transmittance: np.ndarray
    energies: np.ndarray
    setup: object
    is_sa: bool
    names: tuple
    normalisation: object
    # The transmittance was declared in per cent ([data] or a header) and scaled to a fraction.
    percent_declared: bool = False


# A plausible range of a set-up value in its unit, with the other units that
# users write it in by mistake (name, factor to the expected unit).
@dataclass(frozen=True)
class PlausibleRange:
    what: str
    unit: str
    low: float
    high: float
    other_units: tuple = ()


# Ranges of the set-up values and start values.
WAVELENGTH = PlausibleRange("a laser wavelength", "m", 150e-9, 20e-6,
                            (("nm", 1e-9), ("µm", 1e-6)))
W0 = PlausibleRange("a focused beam waist radius", "m", 0.5e-6, 5e-3,
                    (("µm", 1e-6), ("mm", 1e-3)))
M2 = PlausibleRange("a beam quality factor (1 for a perfect Gaussian beam)", "", 1.0, 50.0)
TAU = PlausibleRange("a pulse duration", "s", 5e-15, 1e-4,
                     (("ns", 1e-9), ("ps", 1e-12), ("fs", 1e-15)))
SAMPLE_WIDTH = PlausibleRange("a sample thickness", "cm", 1e-4, 10.0,
                              (("mm", 0.1), ("µm", 1e-4), ("m", 100.0)))
PULSE_ENERGY = PlausibleRange("a pulse energy", "J", 1e-12, 0.1,
                              (("mJ", 1e-3), ("µJ", 1e-6), ("nJ", 1e-9)))
POPULATION = PlausibleRange("the number density of the absorber", "cm^-3", 1e12, 1e22,
                            (("m^-3", 1e-6), ("mol/L", PER_CM3_PER_MOL_L),
                             ("mmol/L", PER_CM3_PER_MOL_L * 1e-3)))
CROSS_SECTION = PlausibleRange("an absorption cross-section", "cm^2", 1e-24, 1e-13,
                               (("m^2", 1e4),))
# Time constants span so many decades that a value in another unit usually
# stays plausible: no unit is suggested.
TIME_CONSTANT = PlausibleRange("a time constant", "s", 1e-16, 1e3)


# A value in a unit, for messages ("532 m", "1.2").
def _with_unit(value, unit):
    return f"{value:g} {unit}".rstrip()


# The finding for `label = value` outside its plausible range, or None.
def _range_finding(label, value, plausible):
    if plausible.low <= value <= plausible.high:
        return None
    message = (f"{label} = {value:g} is outside the plausible range of {plausible.what} "
               f"({_with_unit(plausible.low, plausible.unit)} to "
               f"{_with_unit(plausible.high, plausible.unit)})")
    matching = [(unit, factor) for unit, factor in plausible.other_units
                if plausible.low <= value * factor <= plausible.high]
    fixes = [f"if it is in {unit}, write {value * factor:.6g}" for unit, factor in matching]
    if fixes:
        message += f": the unit is {plausible.unit}; " + "; ".join(fixes)
    else:
        unit = f" and its unit ({plausible.unit})" if plausible.unit else ""
        message += f": check the value{unit}"
    # Off by a factor of a thousand or more, and right in another unit: a unit mistake.
    stops = any(abs(math.log10(factor)) >= UNIT_FACTOR_DECADES for _, factor in matching)
    return Finding("setup-range", message, stops)


# The Rayleigh range z_R = pi w0^2 / (M2 wavelength) in mm, as the model forms
# it (infinite where the product underflows to 0).
def rayleigh_range_mm(setup):
    denominator = setup.M2 * setup.wavelength
    if denominator == 0.0:
        return math.inf
    return math.pi * (setup.w0 * setup.w0) / denominator * 1e3


# Set-up values, pulse energies and start values outside plausible ranges for their units.
def check_setup(setup, pulse_energies, start=None, curve_files=None):
    """Findings for the values of setup.toml (start: the eight start values, or None;
    curve_files: the file name of each curve, for the messages)."""
    curve_files = curve_files or [f"curve {k + 1}" for k in range(len(pulse_energies))]
    checks = [
        ("[beam] wavelength", setup.wavelength, WAVELENGTH),
        ("[beam] w0", setup.w0, W0),
        ("[beam] M2", setup.M2, M2),
        ("[beam] tau", setup.tau, TAU),
        ("[sample] sample_width", setup.sample_width, SAMPLE_WIDTH),
    ]
    checks += [(f"[[curve]] {name}: pulse_energy", energy, PULSE_ENERGY)
               for name, energy in zip(curve_files, pulse_energies)]
    checks.append(("[sample] populations (all levels together)", sum(setup.populations),
                   POPULATION))
    if start is not None:
        for parameter, value in zip(PARAMETERS, start):
            plausible = CROSS_SECTION if parameter.unit == "cm^2" else TIME_CONSTANT
            # A cross-section of 0 switches an absorption off on purpose; a
            # constrained parameter (expr) has no start value of its own.
            if value != 0.0 and math.isfinite(value):
                checks.append((f"[start] {parameter.name}", value, plausible))
    findings = [f for label, value, plausible in checks
                if (f := _range_finding(label, value, plausible)) is not None]
    findings += _thin_sample(setup)
    return findings


# The model holds the beam radius fixed through the sample: it must be thin
# compared with the Rayleigh range (a width in mm read as cm is not).
def _thin_sample(setup):
    z_r = rayleigh_range_mm(setup)
    width_mm = setup.sample_width * 10.0
    if not (math.isfinite(z_r) and z_r > 0.0) or width_mm <= z_r:
        return []
    return [Finding("thin-sample",
                    f"[sample] sample_width = {setup.sample_width:g} cm is {width_mm / z_r:.3g} "
                    f"Rayleigh ranges (z_R = pi w0^2/(M2 wavelength) = {z_r:.3g} mm): the model "
                    "takes the beam as unchanged through the sample, so it must be thinner than "
                    f"z_R; sample_width is in cm: if you meant {setup.sample_width:g} mm, write "
                    f"{setup.sample_width * 0.1:.6g}")]


# The far-field mean of each curve (rows) over its first and last `points`
# values, as the normalisation takes it.
def far_field_means(transmittance, points=BASELINE_POINTS):
    y = np.atleast_2d(np.asarray(transmittance, dtype=np.float64))
    return Normalisation(NORMALISATIONS[0], points).far_field(y)


# Among the points at either end of a curve of `points` points that set its baseline.
def _outer(index, points, ends=BASELINE_POINTS):
    return index < ends or index >= points - ends


# The scan must reach well beyond the Rayleigh range on both sides of the
# focus, and span neither thousands of Rayleigh ranges (micrometres read as
# mm) nor a small fraction of one (metres read as mm).
def _scan_reach(data, centre):
    z_r = rayleigh_range_mm(data.setup)
    if not (math.isfinite(z_r) and z_r > 0.0):
        return []
    x = data.positions
    span = float(np.max(x.max(axis=1) - x.min(axis=1)))
    if span > MAX_REACH_RAYLEIGH * z_r:
        fix = ("if the positions are in µm, set [data] position_unit = \"um\""
               if span / 1000.0 <= MAX_REACH_RAYLEIGH * z_r else
               "check the positions' unit ([data] position_unit) and w0, wavelength and M2")
        return [Finding("scan-range",
                        f"the scan spans {span:.4g} mm, {span / z_r:.3g} Rayleigh ranges (z_R = "
                        f"pi w0^2/(M2 wavelength) = {z_r:.3g} mm): no Z-scan is that long; "
                        f"{fix}", stops=True)]
    if span < MIN_SPAN_RAYLEIGH * z_r:
        fix = ("if the positions are in metres, set [data] position_unit = \"m\""
               if span * 1000.0 >= MIN_REACH_RAYLEIGH * z_r else
               "check the positions' unit ([data] position_unit) and w0, wavelength and M2")
        return [Finding("scan-range",
                        f"the scan spans {span:.4g} mm, {span / z_r:.3g} Rayleigh ranges (z_R = "
                        f"{z_r:.3g} mm): too short to show a Z-scan; {fix}", stops=True)]
    left = float(np.min(centre - x.min(axis=1)))
    right = float(np.min(x.max(axis=1) - centre))
    reach, side = (left, "before") if left <= right else (right, "after")
    if reach < MIN_REACH_RAYLEIGH * z_r:
        where = (f"the scan reaches only {reach:.3g} mm ({reach / z_r:.3g} Rayleigh ranges) "
                 f"{side} the focus at {centre:g} mm; z_R = pi w0^2/(M2 wavelength) = "
                 f"{z_r:.3g} mm")
        ends = data.normalisation.far_field_points
        index = int(np.argmax(data.transmittance) if data.is_sa
                    else np.argmin(data.transmittance)) % x.shape[1]
        if _outer(index, x.shape[1], ends):
            extreme, feature = ("maximum", "peak") if data.is_sa else ("minimum", "dip")
            fix = (f"the focus is the {extreme} of the data, which lies among the outermost "
                   f"points: the curves show no clear {feature}; check the data")
        else:
            fix = (f"scan beyond {MIN_REACH_RAYLEIGH:g} z_R on both sides, or check w0, "
                   f"wavelength and M2 (the {ends} outermost points on each side are the "
                   "curve's far field)")
        return [Finding("scan-range", f"{where}: {fix}")]
    return []


# The data must be transmittances normalised as declared: not per cent, not
# raw detector readings, and (divided by the far field or the linear
# transmittance) near 1 far from the focus.
def _normalisation(data):
    y = data.transmittance
    ends = data.normalisation.far_field_points
    means = far_field_means(y, ends)
    largest = float(np.max(np.abs(y)))
    if largest >= RAW_SIGNAL_LEVEL:
        return [Finding("raw-signal",
                        f"the transmittance column holds values up to {largest:.4g}: raw detector "
                        "readings, not a transmittance; name the columns in [data] columns (e.g. "
                        "[\"position\", \"signal\", \"reference\"]) and the tool divides "
                        "signal by reference and normalises them itself", stops=True)]
    low, high = PERCENT_RANGE
    if np.all((means >= low) & (means <= high)):
        return [Finding("percent",
                        f"the far-field points average {', '.join(f'{m:.4g}' for m in means)}: "
                        "the transmittance looks like per cent; set [data] transmittance_unit = "
                        "\"percent\"", stops=True)]
    # The reverse mistake: fractions declared in per cent, now a hundred times too small.
    if data.percent_declared and np.all((means >= low / 1e4) & (means <= high / 1e4)):
        return [Finding("percent",
                        f"the far-field points average {', '.join(f'{m:.4g}' for m in means)} "
                        f"after the division by 100 of per cent (as written: "
                        f"{', '.join(f'{100 * m:.4g}' for m in means)}): the transmittance "
                        "looks like a fraction, not per cent; set [data] transmittance_unit = "
                        "\"fraction\" (or drop the % from the header)", stops=True)]
    # "far-field" divides the data by their far field as it does the model;
    # "absolute" and (far off) "linear" data that cannot be so normalised
    # stop the fit (Normalisation.measured).
    mode = data.normalisation.mode
    if mode not in ("linear", "shift"):
        return []
    off = [(name, mean) for name, mean in zip(data.names, means)
           if not abs(mean - 1.0) <= FAR_FIELD_TOLERANCE]
    if not off:
        return []
    listing = ", ".join(f"{name} {mean:.4g}" for name, mean in off)
    fix = ("if the curves are on an arbitrary scale or not divided as declared, set [data] "
           "normalisation = \"far-field\" (each curve is divided by its own far-field mean)")
    return [Finding("far-field",
                    f"the far-field points ({ends} at each end) average {listing} instead of 1 "
                    f"(within {FAR_FIELD_TOLERANCE:g}) for {mode} normalised curves: {fix}")]


# A peak where is_sa says dip, or the reverse. The fit centres the scan on
# the minimum of all data (the maximum with is_sa): the wrong choice puts it
# among a curve's outermost points, while the opposite extreme, the real
# feature, lies inside the scan and stands out further from the baseline.
def _feature_direction(data, centre):
    y = data.transmittance
    points = y.shape[1]
    baseline = far_field_means(y)
    flat = y.ravel()
    used = int(np.argmax(flat) if data.is_sa else np.argmin(flat))
    other = int(np.argmin(flat) if data.is_sa else np.argmax(flat))
    (k_used, i_used), (k, i) = divmod(used, points), divmod(other, points)
    size = abs(flat[other] - baseline[k])
    if not (_outer(i_used, points) and not _outer(i, points) and size >= FEATURE_MIN
            and size > abs(flat[used] - baseline[k_used])):
        return []
    if data.is_sa:
        feature, expected, extreme, kind, setting = ("a dip", "a peak", "maximum",
                                                     "reverse saturable absorber", "false")
    else:
        feature, expected, extreme, kind, setting = ("a peak", "a dip", "minimum",
                                                     "saturable absorber", "true")
    return [Finding("feature-direction",
                    f"the curves show {feature} ({flat[other] - baseline[k]:+.3g} from the "
                    f"baseline at {data.positions[k, i]:g} mm in {data.names[k]}) but is_sa = "
                    f"{str(data.is_sa).lower()} expects {expected}: the fit centres the "
                    f"scan on the {extreme} of the data, here at {centre:g} mm near the scan's "
                    f"end; for a {kind} set is_sa = {setting} in [sample]")]


# Findings on data before they are fitted: set-up values, start values, the
# scan and the normalisation.
def check_data(data, start=None):
    """Plausibility findings on the data and set-up of a fit (a CheckedData)."""
    centre = scan_centre(data.positions, data.transmittance, data.is_sa)
    findings = check_setup(data.setup, data.energies, start, list(data.names))
    # A beam value out of range makes the Rayleigh range, hence the scan
    # checks, meaningless.
    beam_off = any(f.check == "setup-range" and f.message.startswith("[beam]")
                   for f in findings)
    findings += _normalisation(data)
    if beam_off or any(f.check in ("percent", "raw-signal") for f in findings):
        return findings
    direction = _feature_direction(data, centre)
    # With the feature the wrong way round the centre lies near an end of the
    # scan: the reach from it says nothing then.
    return findings + (direction or _scan_reach(data, centre))


# Findings on the data of tarvo.fit (arrays and a tarvo.Setup).
def data_findings(x, y, energies, setup, start, is_sa, normalisation, focus=None):
    names = tuple(f"curve {k + 1}" for k in range(len(energies)))
    return check_data(CheckedData(x, y, np.asarray(energies), setup, is_sa, names,
                                  normalisation), start)


# Rows of curves of different lengths padded to the longest with copies of
# their last value (the checks look at extremes and ends); an array as it is.
def _padded(rows):
    if isinstance(rows, np.ndarray):
        return rows
    width = max(len(row) for row in rows)
    return np.stack([np.concatenate([row, np.full(width - len(row), row[-1])]) for row in rows])


# Findings on a measurement before it is fitted.
def check_measurement(measurement):
    """Plausibility findings on a read measurement (set-up, start values, data)."""
    data = CheckedData(_padded(measurement.positions), _padded(measurement.transmittance),
                       measurement.pulse_energy, measurement.setup, measurement.is_sa,
                       tuple(curve.file for curve in measurement.curves),
                       measurement.normalisation,
                       any((curve.units or {}).get("transmittance") == "percent"
                           for curve in measurement.curves))
    return check_data(data, measurement.start)


# Fitted values outside the physical ranges of cross-sections and time constants.
def _physical_ranges(values):
    outside = []
    for name, value in values.items():
        index = NAMES.index(name)
        low, high = FITTED_CROSS_SECTION if PARAMETERS[index].unit == "cm^2" \
            else FITTED_TIME_CONSTANT
        if not low <= value <= high:
            outside.append(f"{name} = {value:.4g} {PARAMETERS[index].unit} (physical: {low:g} "
                           f"to {high:g})")
    if not outside:
        return []
    return [Finding("unphysical-value",
                    f"the fit ended outside physical ranges: {', '.join(outside)}; check the "
                    "units, the normalisation and the start values, or fit fewer parameters")]


# Findings on a result of tarvo.fit: values outside physical ranges, values
# that did not move from their start, values at a bound.
def fit_findings(result):
    """Plausibility findings on a FitResult."""
    fitted = {name: result.values[name] for name in result.var_names if name in NAMES}
    negative = {name: value for name, value in fitted.items() if value < 0.0}
    findings = []
    if negative:
        listing = ", ".join(f"{name} = {value:.4g} {PARAMETERS[NAMES.index(name)].unit}"
                            for name, value in negative.items())
        findings.append(Finding(
            "unphysical-value",
            f"the fit ended at negative values ({listing}), which no absorber has: check that "
            "the transmittance is normalised, start nearer to plausible values or fit fewer "
            "parameters"))
    findings += _physical_ranges({name: value for name, value in fitted.items()
                                  if value >= 0.0})
    unmoved = [name for name in result.var_names
               if result.values[name] == result.start_values.get(name)]
    if unmoved:
        findings.append(Finding(
            "fit-did-not-move",
            f"the fit did not move {', '.join(unmoved)} from the start: the curves did not "
            "respond to them; check the units (positions, set-up in m, s, J, cm), the focus "
            "and the start values"))
    start_chisqr = getattr(result, "start_chisqr", None)
    if start_chisqr is not None and result.chisqr > start_chisqr:
        findings.append(Finding(
            "chi2-above-start",
            f"the fit ended with chi^2 = {result.chisqr:.4g}, above the {start_chisqr:.4g} of "
            "the start values: the solver lost its way (often through unphysical trial "
            "values); start nearer to plausible values, use more starts or fit fewer "
            "parameters"))
    for note in result.notes:
        if "bound (" in note:
            findings.append(Finding("at-bound", note))
    if getattr(result, "residuals", None) is not None:
        structure = residual_structure(result.positions, result.residuals, result.chisqr,
                                       result.nfree, with_sigma=result.sigma is not None
                                       and not result.scale_covar, data=result.data)
        if structure.misfit:
            findings.append(Finding("misfit", misfit_message(structure)))
    identifiability = getattr(result, "identifiability", None)
    if identifiability is not None and identifiability.undetermined:
        detail = "; ".join(identifiability.notes)
        findings.append(Finding(
            "not-determined",
            f"the data do not determine {', '.join(identifiability.undetermined)}"
            + (f": {detail}" if detail else "") + "; fit fewer parameters, hold the others at "
            "values measured otherwise, or add a measurement that separates them"))
    return findings
