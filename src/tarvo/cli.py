"""The command-line tool: tarvo fit DIR."""

import argparse
import math
import os
import sys

from .measurement import InputError, read_measurement, read_truth
from .progress import ElapsedTicker
from .report import (correlation_notes, format_table, parameter_rows, result_document,
                     write_result)
from .run_fit import fit_measurement, messages_line, start_multipliers

# Exit status for bad arguments or input files (as argparse uses it).
EXIT_USAGE = 2
# Exit status when the fit itself produced no usable result.
EXIT_FIT_FAILED = 1
# Exit status after Ctrl-C (128 + SIGINT).
EXIT_INTERRUPTED = 130

# Files written into the measurement directory.
RESULT_FILE = "fit-result.json"
FIGURE_FILE = "fit.png"
# The solver's messages during the fit, when there are any.
MESSAGES_FILE = "fit-solver-messages.log"


# argparse reports usage errors in one line, like the tool's other input errors.
class OneLineParser(argparse.ArgumentParser):
    # Print one line and exit with the usage status.
    def error(self, message):
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


# The argument parser of the tool.
def build_parser():
    parser = OneLineParser(
        prog="tarvo",
        description="Fit Z-scan curves with a five-level rate-equation model.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=OneLineParser)
    fit = commands.add_parser(
        "fit", help="fit the measurement in a directory",
        description="Fit the curves of DIR (setup.toml and one CSV file per pulse energy) and "
                    f"write DIR/{RESULT_FILE} and DIR/{FIGURE_FILE} (and the ODE solver's "
                    f"messages, if any, to DIR/{MESSAGES_FILE}). Threads: OMP_NUM_THREADS "
                    "(default: all cores).")
    fit.add_argument("directory", metavar="DIR", help="measurement directory")
    fit.add_argument("--starts", type=int, metavar="N",
                     help="number of starts (default: n_starts of setup.toml, else 3)")
    fit.add_argument("--truth", metavar="FILE",
                     help="TOML file of known parameter values (name = value) to show beside "
                          "the fitted ones")
    fit.add_argument("--step", type=float, default=None, metavar="H",
                     help="relative difference step of the standard errors (default 1e-3)")
    return parser


# Print a one-line error and return the status for it.
def _fail(message, status=EXIT_USAGE):
    print(f"tarvo: error: {message}", file=sys.stderr)
    return status


# tarvo fit DIR: read, fit, estimate errors, draw, write, report.
def run_fit_command(args):
    # Imported here: matplotlib takes a while to load, and --help and input
    # errors should answer at once.
    from .plot import plot_fit
    from .uncertainty import REL_STEP_DEFAULT, fit_uncertainty

    measurement = read_measurement(args.directory)
    truth = read_truth(args.truth) if args.truth else None
    n_starts = measurement.n_starts if args.starts is None else args.starts
    if n_starts < 1:
        raise InputError(f"--starts must be at least 1, got {n_starts}")
    rel_step = REL_STEP_DEFAULT if args.step is None else args.step
    if not (0.0 < rel_step < 1.0):
        raise InputError(f"--step must lie between 0 and 1, got {rel_step}")
    directory = measurement.directory

    factors = ", ".join(f"{m:.3g}" for m in start_multipliers(n_starts))
    print(f"Fitting {', '.join(measurement.fit_names)} to {len(measurement.curves)} curves x "
          f"{measurement.num_x_pts} points of {directory}")
    print(f"{n_starts} start{'s' if n_starts != 1 else ''} (start values x {factors}), "
          f"threads: {os.environ.get('OMP_NUM_THREADS', 'all cores')}")
    sys.stdout.flush()
    messages_path = directory / MESSAGES_FILE
    # A log of an earlier fit would be mistaken for this one's.
    messages_path.unlink(missing_ok=True)
    try:
        with ElapsedTicker(f"fitting, {n_starts} start{'s' if n_starts != 1 else ''}"):
            outcome = fit_measurement(measurement, n_starts, log_path=messages_path)
    except (TypeError, ValueError, IndexError) as error:
        raise InputError(f"the fit refused the input: {error}") from None
    if not math.isfinite(outcome.error):
        return _fail(f"the fit returned a non-finite error ({outcome.error}); check the start "
                     "values and the set-up", EXIT_FIT_FAILED)

    setup = measurement.setup.model_kwargs()
    uncertainty = fit_uncertainty(measurement.positions, measurement.transmittance,
                                  measurement.pulse_energy, outcome.fitted,
                                  measurement.fit_indices, setup, measurement.is_sa, rel_step)
    figure_path = directory / FIGURE_FILE
    plot_fit(figure_path, measurement, outcome,
             title=f"{directory.resolve().name}: fit of {', '.join(measurement.fit_names)}")
    rows = parameter_rows(measurement, outcome, uncertainty, truth)
    result_path = directory / RESULT_FILE
    write_result(result_path, result_document(measurement, outcome, uncertainty, rows,
                                              FIGURE_FILE, rel_step))

    print(f"Fit finished in {outcome.seconds:.1f} s; focus (extreme of the data) at "
          f"{outcome.centre:g} mm\n")
    print(format_table(rows))
    print(f"\nfit error (norm of weighted residuals): {outcome.error:.6g}; reduced chi^2: "
          f"{uncertainty.reduced_chi2:.4g} ({uncertainty.degrees_of_freedom} degrees of freedom)")
    for note in correlation_notes(measurement.fit_names, uncertainty):
        print(f"note: {note}")
    print(messages_line(outcome, messages_path))
    print(f"results: {result_path}")
    print(f"figure:  {figure_path}")
    return 0


# Entry point of the console script and of python -m tarvo; returns the exit status.
def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        if args.command == "fit":
            return run_fit_command(args)
    except InputError as error:
        return _fail(str(error))
    except OSError as error:
        return _fail(f"cannot write the results: {error}", EXIT_FIT_FAILED)
    except KeyboardInterrupt:
        return _fail("interrupted", EXIT_INTERRUPTED)
    return _fail(f"unknown command {args.command!r}")
