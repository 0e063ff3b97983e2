"""The command-line tool: tarvo fit DIR."""

import argparse
import math
import os
import sys
from dataclasses import dataclass
from pathlib import Path

from .measurement import InputError, read_measurement, read_truth
from .progress import ElapsedTicker
from .report import (correlation_notes, format_table, parameter_rows, result_document,
                     write_result)
from .run_fit import fit_measurement, start_multipliers
from .batch import add_batch_parser, run_batch_command
from .bootstrap import add_bootstrap_arguments, bootstrap_options

# Exit status for bad arguments or input files (as argparse uses it).
EXIT_USAGE = 2
# Exit status when the fit itself produced no usable result.
EXIT_FIT_FAILED = 1
# Exit status after Ctrl-C (128 + SIGINT).
EXIT_INTERRUPTED = 130

# Files written into the measurement directory.
RESULT_FILE = "fit-result.json"
FIGURE_FILE = "fit.png"


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
                    f"write DIR/{RESULT_FILE} and DIR/{FIGURE_FILE}. Threads: OMP_NUM_THREADS "
                    "(default: all cores).")
    fit.add_argument("directory", metavar="DIR", help="measurement directory")
    fit.add_argument("--starts", type=int, metavar="N",
                     help="number of starts (default: n_starts of setup.toml, else 3)")
    fit.add_argument("--truth", metavar="FILE",
                     help="TOML file of known parameter values (name = value) to show beside "
                          "the fitted ones")
    fit.add_argument("--step", type=float, default=None, metavar="H",
                     help="relative difference step of the standard errors (default 1e-3)")
    add_bootstrap_arguments(fit)
    add_batch_parser(commands)
    return parser


# Print a one-line error and return the status for it.
def _fail(message, status=EXIT_USAGE):
    print(f"tarvo: error: {message}", file=sys.stderr)
    return status


# A fit that ran but produced no usable result (exit status EXIT_FIT_FAILED).
class FitFailed(RuntimeError):
    pass


# What `tarvo fit DIR` needs before it fits: the checked directory and options.
@dataclass(frozen=True)
class FitRequest:
    measurement: object
    n_starts: int
    rel_step: float
    truth: dict | None
    bootstrap: object = None


# Everything `tarvo fit DIR` computed and wrote for one directory.
@dataclass(frozen=True)
class DirectoryFit:
    request: FitRequest
    outcome: object
    uncertainty: object
    rows: list
    document: dict
    result_path: Path
    figure_path: Path


# Read and check a directory and the options of its fit; InputError otherwise.
# `bootstrap` is a tarvo.bootstrap.BootstrapOptions or None.
def prepare_fit(directory, starts=None, step=None, truth_file=None, bootstrap=None):
    from .uncertainty import REL_STEP_DEFAULT

    measurement = read_measurement(directory)
    truth = read_truth(truth_file) if truth_file else None
    n_starts = measurement.n_starts if starts is None else starts
    if n_starts < 1:
        raise InputError(f"--starts must be at least 1, got {n_starts}")
    rel_step = REL_STEP_DEFAULT if step is None else step
    if not (0.0 < rel_step < 1.0):
        raise InputError(f"--step must lie between 0 and 1, got {rel_step}")
    return FitRequest(measurement, n_starts, rel_step, truth, bootstrap)


# Fit, estimate errors (and bootstrap them if asked), draw and write the result
# files of a prepared directory; prints nothing. `tarvo fit` and `tarvo batch`
# both run exactly this. FitFailed when the fit gives no usable result.
def fit_and_write(request, ticker_message=None):
    # Imported here: matplotlib takes a while to load, and --help and input
    # errors should answer at once.
    from .plot import plot_fit
    from .uncertainty import fit_uncertainty

    measurement = request.measurement
    directory = measurement.directory
    try:
        with ElapsedTicker(ticker_message or "fitting", enabled=ticker_message is not None):
            outcome = fit_measurement(measurement, request.n_starts)
    except (TypeError, ValueError, IndexError) as error:
        raise InputError(f"fit_zscan refused the input: {error}") from None
    if not math.isfinite(outcome.error):
        raise FitFailed(f"the fit returned a non-finite error ({outcome.error}); check the "
                        "start values and the set-up")

    setup = measurement.setup.model_kwargs()
    uncertainty = fit_uncertainty(measurement.positions, measurement.transmittance,
                                  measurement.pulse_energy, outcome.fitted,
                                  measurement.fit_indices, setup, measurement.is_sa,
                                  request.rel_step)
    rows = parameter_rows(measurement, outcome, uncertainty, request.truth)
    document = result_document(measurement, outcome, uncertainty, rows, FIGURE_FILE,
                               request.rel_step)
    if request.bootstrap is not None:
        document["bootstrap"] = _bootstrap(request, outcome, ticker_message is not None)
    figure_path = directory / FIGURE_FILE
    plot_fit(figure_path, measurement, outcome,
             title=f"{directory.resolve().name}: fit of {', '.join(measurement.fit_names)}")
    # The JSON file comes last: its presence marks a complete result.
    result_path = directory / RESULT_FILE
    write_result(result_path, document)
    return DirectoryFit(request, outcome, uncertainty, rows, document, result_path, figure_path)


# The bootstrap of a finished fit as its JSON document, with a progress bar if asked.
def _bootstrap(request, outcome, show_progress):
    from .bootstrap import bootstrap_outcome
    from .cluster import progress_bar

    if not show_progress:
        return bootstrap_outcome(request.measurement, outcome, request.bootstrap).to_document()
    with progress_bar(request.bootstrap.replicates, "bootstrap", "fit") as (advance, _):
        return bootstrap_outcome(request.measurement, outcome, request.bootstrap,
                                 advance).to_document()


# tarvo fit DIR: read, fit, estimate errors, draw, write, report.
def run_fit_command(args):
    bootstrap = bootstrap_options(args)
    request = prepare_fit(args.directory, args.starts, args.step, args.truth, bootstrap)
    measurement, n_starts = request.measurement, request.n_starts
    factors = ", ".join(f"{m:.3g}" for m in start_multipliers(n_starts))
    print(f"Fitting {', '.join(measurement.fit_names)} to {len(measurement.curves)} curves x "
          f"{measurement.num_x_pts} points of {measurement.directory}")
    print(f"{n_starts} start{'s' if n_starts != 1 else ''} (start values x {factors}), "
          f"threads: {os.environ.get('OMP_NUM_THREADS', 'all cores')}")
    sys.stdout.flush()
    try:
        done = fit_and_write(request, f"fitting, {n_starts} start{'s' if n_starts != 1 else ''}")
    except FitFailed as error:
        return _fail(str(error), EXIT_FIT_FAILED)

    outcome, uncertainty = done.outcome, done.uncertainty
    print(f"Fit finished in {outcome.seconds:.1f} s; focus (extreme of the data) at "
          f"{outcome.centre:g} mm\n")
    print(format_table(done.rows))
    print(f"\nfit error (norm of weighted residuals): {outcome.error:.6g}; reduced chi^2: "
          f"{uncertainty.reduced_chi2:.4g} ({uncertainty.degrees_of_freedom} degrees of freedom)")
    for note in correlation_notes(measurement.fit_names, uncertainty):
        print(f"note: {note}")
    if "bootstrap" in done.document:
        from .bootstrap import format_bootstrap

        print("\n" + format_bootstrap(done.document["bootstrap"], done.rows))
    print(f"results: {done.result_path}")
    print(f"figure:  {done.figure_path}")
    return 0


# Entry point of the console script and of python -m tarvo; returns the exit status.
def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        if args.command == "fit":
            return run_fit_command(args)
        if args.command == "batch":
            return run_batch_command(args)
    except InputError as error:
        return _fail(str(error))
    except OSError as error:
        return _fail(f"cannot write the results: {error}", EXIT_FIT_FAILED)
    except KeyboardInterrupt:
        return _fail("interrupted", EXIT_INTERRUPTED)
    return _fail(f"unknown command {args.command!r}")
