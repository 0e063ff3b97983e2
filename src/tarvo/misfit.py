"""Whether the model describes the data at all: the structure of a fit's
residuals. With equal weights the noise is estimated from the residuals, so
chi^2 alone cannot show a model that does not fit; residuals that follow
each other along the scan (serial correlation) can. Where the data carry
their standard deviations, chi^2 is also compared with its distribution."""

import math
from dataclasses import dataclass

import numpy as np
from scipy.stats import chi2 as chi2_distribution


# Combined serial correlation, in standard deviations of white residuals,
# above which the residuals are structured (one-sided, p about 3e-5).
SERIAL_Z = 4.0

# Residuals this many times larger than the scatter of the data in the far
# field (where the curves are flat: the measurement's noise) need only a
# weaker serial correlation (short curves).
FAR_FIELD_RATIO = 3.0
WEAKER_SERIAL_Z = 2.5

# Points at each end of a curve whose scatter is the noise.
FAR_FIELD_POINTS = 5

# Smallest structured part of the residuals (RMS, transmittance) that counts:
# a systematic deviation below it is beneath the accuracy of any Z-scan.
STRUCTURE_FLOOR = 1.0e-4

# Probability below which a chi^2 above its expected value shows a misfit
# (data with standard deviations).
CHI2_PROBABILITY = 1.0e-4

# The likely causes of a misfit, most likely first.
LIKELY_CAUSES = ("the normalisation (do the model curves get divided or shifted as the measured "
                 "ones were? [data] normalisation)",
                 "the model (energy or established, the levels held fixed)",
                 "the focus (fit it, or check focus_mm)",
                 "the set-up units (w0 and wavelength in m, tau in s, pulse energies in J, "
                 "sample width in cm)")


# What the residuals of a fit show.
@dataclass(frozen=True)
class ResidualStructure:
    serial_z: float          # combined lag-1 correlation in standard deviations
    correlations: tuple      # lag-1 correlation of each curve
    structured_rms: float    # RMS of the residuals beyond the point-to-point noise
    noise_rms: float         # RMS of the point-to-point noise
    residual_rms: float      # RMS of the residuals
    far_field_noise: float   # scatter of the data in the far field (None: curves too short)
    chi2_probability: float  # P(chi^2 at least this large); None without sigma

    # Whether the residuals follow a systematic curve along the scan.
    @property
    def structured(self):
        if self.structured_rms <= STRUCTURE_FLOOR:
            return False
        if self.serial_z > SERIAL_Z:
            return True
        return (self.far_field_noise is not None and self.serial_z > WEAKER_SERIAL_Z
                and self.residual_rms > FAR_FIELD_RATIO * self.far_field_noise)

    # Whether the residuals show that the model does not describe the data.
    @property
    def misfit(self):
        return self.structured or (self.chi2_probability is not None
                              and self.chi2_probability < CHI2_PROBABILITY)


# Lag-1 correlation of each curve's residuals in the order of position, their
# combination (each sqrt(n) r, summed over sqrt(curves): a standard normal for
# white residuals), the RMS of the part the point-to-point differences do not
# explain, and, with sigma, the probability of chi^2.
def residual_structure(positions, residuals, chisqr=None, nfree=None, with_sigma=False,
                       data=None):
    positions = np.atleast_2d(np.asarray(positions, dtype=np.float64))
    residuals = np.atleast_2d(np.asarray(residuals, dtype=np.float64))
    far_field = None
    if data is not None and positions.shape[1] >= 2 * FAR_FIELD_POINTS:
        ends = []
        for x, y in zip(positions, np.atleast_2d(np.asarray(data, dtype=np.float64))):
            y = y[np.argsort(x, kind="stable")]
            ends += [np.var(y[:FAR_FIELD_POINTS], ddof=1), np.var(y[-FAR_FIELD_POINTS:], ddof=1)]
        far_field = math.sqrt(float(np.mean(ends)))
    correlations, z, total, noise, points = [], 0.0, 0.0, 0.0, 0
    for x, r in zip(positions, residuals):
        r = r[np.argsort(x, kind="stable")]
        centred = r - r.mean()
        power = float(centred @ centred)
        lag = float(centred[1:] @ centred[:-1]) / power if power > 0.0 else 0.0
        correlations.append(lag)
        z += math.sqrt(r.size) * lag
        total += float(r @ r)
        # Half the mean square difference of neighbours: the variance of white noise.
        noise += 0.5 * float(np.sum(np.diff(r) ** 2)) * r.size / max(r.size - 1, 1)
        points += r.size
    z /= math.sqrt(len(correlations))
    structured = math.sqrt(max(total - noise, 0.0) / points)
    probability = None
    if with_sigma and chisqr is not None and nfree:
        probability = float(chi2_distribution.sf(chisqr, nfree))
    return ResidualStructure(z, tuple(correlations), structured,
                             math.sqrt(min(noise, total) / points), math.sqrt(total / points),
                             far_field, probability)


# The message of a misfit: what the residuals show and the likely causes.
def misfit_message(structure, names=None):
    parts = []
    if structure.structured:
        curves = [f"{(names[k] if names else f'curve {k + 1}')} ({r:+.2f})"
                  for k, r in enumerate(structure.correlations) if r > 0.3]
        parts.append(f"its residuals follow each other along the scan (serial correlation "
                     f"{structure.serial_z:.1f} standard deviations above white noise"
                     + (f"; {', '.join(curves)}" if curves else "")
                     + f"), a systematic part of RMS {structure.structured_rms:.2g}"
                     + (f", the residuals' RMS {structure.residual_rms:.2g} against a scatter of "
                        f"{structure.far_field_noise:.2g} in the far field"
                        if structure.far_field_noise is not None else ""))
    if structure.chi2_probability is not None and structure.chi2_probability < CHI2_PROBABILITY:
        parts.append(f"chi^2 is far above what the data's standard deviations allow "
                     f"(P = {structure.chi2_probability:.2g})")
    return ("the model does not describe the data: " + "; ".join(parts)
            + ". Likely causes, in order: " + "; ".join(f"{k + 1}. {cause}"
                                                      for k, cause in enumerate(LIKELY_CAUSES)))
