"""What the commands of the command line share: the exit statuses, the
plausibility findings as a command reports them, the output directory, and
the options that several commands take (profile intervals, bootstrap)."""

import math
import sys
from pathlib import Path

from .bootstrap import make_options
from .errors import InputError


# Exit status for bad arguments or input files (as argparse uses it).
EXIT_USAGE = 2
# Exit status when the fit itself produced no usable result.
EXIT_FIT_FAILED = 1
# Exit status when the results were written but the fit stopped without converging.
EXIT_NOT_CONVERGED = 3
# Exit status after Ctrl-C (128 + SIGINT).
EXIT_INTERRUPTED = 130

# Largest level of --sigmas: beyond 5 standard deviations the profile's
# threshold lies in tails no Z-scan resolves.
MAX_SIGMAS = 5.0


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


# The directory the results go to (--out, else `default`), created when missing.
def output_directory(args, default):
    directory = Path(args.out) if args.out else Path(default)
    directory.mkdir(parents=True, exist_ok=True)
    return directory


# The options of profile intervals, of `tarvo fit` and `tarvo batch`.
def add_interval_arguments(parser):
    parser.add_argument("--conf-interval", action="store_true",
                        help="also compute profile-likelihood confidence intervals of the fitted "
                             "parameters (exact engine; each point of a profile is a refit)")
    parser.add_argument("--sigmas", metavar="N[,N...]", default=None,
                        help="levels of --conf-interval in standard deviations (default 1,2)")


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


# The --bootstrap, --seed and --scheduler options of a command.
def add_bootstrap_arguments(parser):
    parser.add_argument("--bootstrap", type=int, metavar="N",
                        help="also refit N data sets resampled from the residuals and report "
                             "percentile intervals and correlations (the lsoda engine and "
                             "--scheduler need Dask)")
    parser.add_argument("--seed", type=int, metavar="S",
                        help="seed of the bootstrap resampling (default: drawn and recorded)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on this Dask scheduler (default: a local cluster)")


# tarvo.bootstrap.BootstrapOptions from parsed arguments, or None without --bootstrap.
def bootstrap_options(args):
    if args.bootstrap is None:
        if args.seed is not None:
            raise InputError("--seed needs --bootstrap N")
        if args.command == "fit" and args.scheduler is not None:
            raise InputError("--scheduler needs --bootstrap N (the fit itself runs here)")
        return None
    return make_options(args.bootstrap, args.seed, args.scheduler)
