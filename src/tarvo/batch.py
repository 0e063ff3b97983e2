"""tarvo batch DIR...: fit many measurement directories on a Dask cluster.

Every directory is fitted by a task that runs exactly what `tarvo fit DIR`
runs (tarvo.directory_fit.fit_and_write) and writes the same fit-result.json and
figure into the directory; the workers must therefore see the directories
at the same paths as this process (one machine, or a shared file system).
The summary of all directories goes to batch-summary.csv and
batch-summary.json.
"""

import csv
import io
import json
import sys
import time
import uuid
from dataclasses import dataclass, replace
from datetime import datetime, timezone
from pathlib import Path

from .cli_options import (EXIT_INTERRUPTED, EXIT_USAGE, add_bootstrap_arguments,
                          add_interval_arguments, bootstrap_options, parse_sigmas)
from .cluster import dask_client, local_layout, progress_bar
from .counts import check_count
from .directory_fit import RESULT_FILE, FitFailed, fit_and_write, prepare_fit
from .errors import InputError
from .files import (BATCH_LOCK, directory_lock, outdated_reason, read_input_bytes, write_json,
                    write_text)
from .global_directory_fit import global_fit_and_write
from .parameters import FIT_NAMES
from .result_files import DocumentFields, result_fields


# Files of the summary, written into --out.
SUMMARY_CSV = "batch-summary.csv"
SUMMARY_JSON = "batch-summary.json"

# Largest file listing directories read.
MAX_LIST_BYTES = 16 * 1024 * 1024

# Largest result document read back (a bootstrap of many replicates lists
# every replicate's values).
MAX_RESULT_BYTES = 512 * 1024 * 1024

# Status of a directory in the summary.
FITTED = "fitted"
# Fitted, with plausibility warnings (listed in the row).
FITTED_WITH_WARNINGS = "fitted with warnings"
NOT_CONVERGED = "not converged"
UP_TO_DATE = "up to date"
# Not fitted: its result carries intervals or bootstrap draws this run would not compute.
KEPT = "kept"
FAILED = "error"
CANCELLED = "cancelled"

# Message of a directory whose fit the interruption cancelled.
CANCELLED_MESSAGE = "interrupted before this directory was fitted"

# Where --dashboard serves Dask's dashboard unless it names an address.
DASHBOARD_ADDRESS = ":8787"

# Exit status when any directory failed or did not converge (those of tarvo
# fit otherwise; EXIT_USAGE also for input that looks like a unit mistake).
EXIT_SOME_FAILED = 1

# Columns of the summary table before the parameters.
FIXED_COLUMNS = ("directory", "status", "message", "engine", "seconds", "fit_seconds",
                 "fit_error", "reduced_chi2")


# The `batch` command's arguments.
def add_batch_parser(commands):

    batch = commands.add_parser(
        "batch", help="fit many measurement directories on a Dask cluster",
        description="Fit every measurement directory (as tarvo fit does, writing each "
                    "directory's fit-result.json and figure) on a Dask cluster, and write "
                    f"{SUMMARY_CSV} and {SUMMARY_JSON}. Directories whose results are up to "
                    "date (the digests of their inputs, settings and figure match) are skipped, "
                    "and no cluster starts when all are. Needs Dask: pip install 'tarvo[batch]'.")
    batch.add_argument("inputs", nargs="+", metavar="DIR",
                       help="measurement directory, or a text file listing directories one a "
                            "line (relative paths are relative to the file)")
    batch.add_argument("--out", default=".", metavar="DIR",
                       help="where the summary files go (default: the current directory)")
    batch.add_argument("--force", action="store_true",
                       help="fit also the directories whose results are up to date, and those "
                            "whose input looks like a unit mistake (with warnings)")
    batch.add_argument("--workers", type=int, metavar="N",
                       help="worker processes of the local cluster (default: one per core)")
    batch.add_argument("--dashboard", nargs="?", const=DASHBOARD_ADDRESS, metavar="ADDRESS",
                       help="serve Dask's dashboard of the local cluster (default address "
                            f"{DASHBOARD_ADDRESS}); without it no dashboard is started")
    add_interval_arguments(batch)
    add_bootstrap_arguments(batch)


# The measurement directories named by the arguments, in order, each once.
def collect_directories(inputs):
    directories, seen = [], set()
    for item in inputs:
        path = Path(item)
        if path.is_dir():
            listed = [path]
        elif path.is_file():
            listed = _listed_directories(path)
        else:
            raise InputError(f"{item}: neither a directory nor a file listing directories")
        for directory in listed:
            key = directory.resolve()
            if key not in seen:
                seen.add(key)
                directories.append(directory)
    if not directories:
        raise InputError("no measurement directories given")
    return directories


# Directories fitted together, named on one line of a list file as
# "DIR1 + DIR2 [+ ...] [-> OUT]": one global fit (tarvo fit DIR1 DIR2 --out
# OUT), one row of the summary. OUT defaults to DIR1's parent / "DIR1+DIR2".
@dataclass(frozen=True)
class DirectoryGroup:
    paths: tuple
    out: Path

    # The group as the list file names it, for rows and messages.
    def __str__(self):
        return " + ".join(str(path) for path in self.paths)

    # The group's identity, for finding it twice.
    def resolve(self):
        return tuple(path.resolve() for path in self.paths)


# A list file's line naming a group, read relative to the file's folder.
def _group(entry, folder):
    entry, _, out = entry.partition(" -> ")
    paths = tuple(folder / part.strip() for part in entry.split(" + "))
    if len(paths) < 2 or any(not part.strip() for part in entry.split(" + ")):
        raise InputError(f"{entry!r}: a group names two or more directories joined by ' + '")
    out = folder / out.strip() if out.strip() else \
        paths[0].parent / "+".join(path.name for path in paths)
    return DirectoryGroup(paths, out)


# Directories listed in a text file, one a line; blank lines and lines
# starting with # are skipped; a line "DIR1 + DIR2 [-> OUT]" names a group
# fitted globally. A listed path that is no directory stays in the list: its
# row in the summary says so.
def _listed_directories(path):
    raw = read_input_bytes(path, MAX_LIST_BYTES, "a list of directories has one line each")
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise InputError(f"{path}: cannot read the list of directories: {error}") from None
    listed = []
    for line in text.splitlines():
        entry = line.strip()
        if entry and not entry.startswith("#"):
            listed.append(_group(entry, path.parent) if " + " in entry else path.parent / entry)
    if not listed:
        raise InputError(f"{path}: lists no directories")
    return listed


# The result document of `directory` if it is an up-to-date result of the
# fit this batch would run (tarvo.files: the digests of its inputs, of the
# settings and of its figure all match, and it is not stale) and holds what
# this run asks for; else None.
def up_to_date_result(directory, bootstrap=None, argv=("batch",), conf_sigmas=None):

    try:
        request = prepare_fit(directory, bootstrap=bootstrap, conf_sigmas=conf_sigmas, argv=argv)
        raw = read_input_bytes(request.out / RESULT_FILE, MAX_RESULT_BYTES,
                               "a result document is at most a few megabytes")
        document = json.loads(raw.decode("utf-8"))
    except (InputError, ValueError):
        return None
    if not isinstance(document, dict) or outdated_reason(document, request.out, list(request.inputs),
                                                         request.settings) is not None:
        return None
    # A result edited since it was written (digests intact, a value not a
    # number) is out of date, not a crash of the summary.
    try:
        result_fields(document, request.out / RESULT_FILE)
        _check_bootstrap_document(document.get("bootstrap"), request.out / RESULT_FILE)
    except ValueError:
        return None
    if bootstrap is not None:
        done = document.get("bootstrap") or {}
        if done.get("replicates") != bootstrap.replicates or (
                bootstrap.seed is not None and done.get("seed") != bootstrap.seed):
            return None
    try:
        row_from_document(directory, document, UP_TO_DATE, 0.0)
    except (KeyError, TypeError, AttributeError, ValueError):
        return None
    return document


# The result document of `directory` and the message of its row when it
# carries profile intervals or bootstrap draws that a fit with `bootstrap`
# and `conf_sigmas` would not compute (levels it lacks, fewer replicates);
# None otherwise.
def richer_result(directory, bootstrap=None, conf_sigmas=None, argv=("batch",)):
    try:
        request = prepare_fit(directory, bootstrap=bootstrap, conf_sigmas=conf_sigmas, argv=argv)
        raw = read_input_bytes(request.out / RESULT_FILE, MAX_RESULT_BYTES,
                               "a result document is at most a few megabytes")
        document = json.loads(raw.decode("utf-8"))
        carried = []
        intervals = document.get("profile_intervals") or {}
        lacking = sorted(set(intervals.get("sigmas") or ()) - set(conf_sigmas or ()))
        if lacking:
            carried.append(f"profile intervals at {', '.join(f'{s:g}' for s in lacking)} "
                           "sigma")
        replicates = (document.get("bootstrap") or {}).get("replicates") or 0
        if replicates > (0 if bootstrap is None else bootstrap.replicates):
            carried.append(f"{replicates} bootstrap replicates")
        if carried:
            row_from_document(directory, document, KEPT, 0.0)
    except (InputError, ValueError, KeyError, TypeError, AttributeError):
        return None
    if not carried:
        return None
    reason = outdated_reason(document, request.out, list(request.inputs), request.settings) \
        or "the bootstrap asked for differs"
    return document, (f"kept {RESULT_FILE}: it has {' and '.join(carried)} that this run would "
                      f"not compute (not up to date: {reason}); --force replaces it")


# ValueError unless the bootstrap section of a result (or None) holds finite
# numbers where the summary reads them.
def _check_bootstrap_document(section, path):
    if section is None:
        return
    fields = DocumentFields(section, path, "bootstrap")
    for entry in fields.entries("parameters", []):
        entry.text("name")
        entry.number("standard_deviation", None, null=True)
        if entry.get("interval_95", None) is not None:
            entry.numbers("interval_95", size=2, null=True)
    fields.integer("replicates", 0)


# A summary row from a result document. Its message tells why a fit did
# not converge, or else the first plausibility warning.
def row_from_document(directory, document, status, seconds):
    parameters = {}
    bootstrap = {entry["name"]: entry
                 for entry in (document.get("bootstrap") or {}).get("parameters", [])}
    for entry in document["parameters"]:
        if entry["fitted"]:
            parameters[entry["name"]] = {"value": entry["value"],
                                         "standard_error": entry["standard_error"]}
    focus = document.get("focus_mm") or {}
    if focus.get("fitted"):
        parameters["focus"] = {"value": focus["value"],
                               "standard_error": focus["standard_error"]}
    for name, values in parameters.items():
        if name in bootstrap:
            values["bootstrap_sd"] = bootstrap[name]["standard_deviation"]
            values["bootstrap_interval_95"] = bootstrap[name]["interval_95"]
    if status == FITTED and document.get("converged") is False:
        status = NOT_CONVERGED
    warnings = [entry["message"] for entry in document.get("warnings") or []]
    if status == FITTED and warnings:
        status = FITTED_WITH_WARNINGS
    lines = [f"warning: {text}" for text in warnings]
    if status == NOT_CONVERGED:
        lines.insert(0, (document.get("message") or "").splitlines()[0] if
                     document.get("message") else "")
    message = "; ".join(line for line in lines if line)
    return {
        "directory": str(directory), "status": status, "message": message,
        "engine": document.get("engine"), "seconds": round(seconds, 3),
        "fit_seconds": document.get("fit_seconds"), "fit_error": document.get("fit_error"),
        "reduced_chi2": document.get("reduced_chi2"), "parameters": parameters,
        "warnings": warnings,
    }


# A summary row of a directory without a result.
def error_row(directory, status, message, seconds=0.0):
    return {"directory": str(directory), "status": status, "message": message, "engine": None,
            "seconds": round(seconds, 3), "fit_seconds": None, "fit_error": None,
            "reduced_chi2": None, "parameters": {}, "warnings": []}


# One line of an exception, for a summary row.
def one_line(error):

    text = str(error).strip()
    if not isinstance(error, (InputError, FitFailed)):
        text = f"{type(error).__name__}: {text}" if text else type(error).__name__
    return text.splitlines()[0] if text else "failed"


# The task of one directory, run on a worker: what `tarvo fit DIR` runs, with the
# outcome as a summary row; `argv` is the batch's command line, recorded in the
# result. Never raises: a failure is the row's message.
def fit_directory_task(directory, bootstrap=None, argv=("batch",), conf_sigmas=None):

    began = time.monotonic()
    try:
        if isinstance(directory, DirectoryGroup):
            done = global_fit_and_write(directory.paths, directory.out, argv=argv)
        else:
            done = fit_and_write(prepare_fit(directory, bootstrap=bootstrap,
                                             conf_sigmas=conf_sigmas, argv=argv))
    except Exception as error:   # reported in the row; the other directories go on
        return error_row(directory, FAILED, one_line(error), time.monotonic() - began)
    return row_from_document(directory, done.document, FITTED, time.monotonic() - began)


# What a batch run ended with.
@dataclass(frozen=True)
class BatchOutcome:
    rows: list
    interrupted: bool


# The rows of the directories whose results are up to date, or that are kept
# because their results carry more than this run would compute (None for the
# others, and for all with `force`), found without a cluster.
def plan_batch(directories, bootstrap=None, force=False, argv=("batch",), conf_sigmas=None):
    rows = [None] * len(directories)
    if force:
        return rows
    for index, directory in enumerate(directories):
        # A group is fitted every time.
        if isinstance(directory, DirectoryGroup):
            continue
        document = up_to_date_result(directory, bootstrap, argv, conf_sigmas)
        if document is not None:
            rows[index] = row_from_document(directory, document, UP_TO_DATE, 0.0)
            continue
        kept = richer_result(directory, bootstrap, conf_sigmas, argv)
        if kept is not None:
            rows[index] = dict(row_from_document(directory, kept[0], KEPT, 0.0),
                               message=kept[1])
    return rows


# Fit `directories` on the cluster of `client`. Directories whose results are
# up to date are not fitted again unless `force`. `on_row(row)` is called as
# each row is known (in the calling thread). `rows` are those of plan_batch
# when the caller has them already. Ctrl-C (KeyboardInterrupt while
# waiting) cancels the outstanding fits; the rows of finished ones are kept and
# the others are marked cancelled.
def run_batch(client, directories, bootstrap=None, force=False, on_row=None, argv=("batch",),
              rows=None, conf_sigmas=None):
    from distributed import as_completed

    on_row = on_row or (lambda row: None)
    rows = list(plan_batch(directories, bootstrap, force, argv, conf_sigmas) if rows is None
                else rows)
    futures = {}
    run_id = uuid.uuid4().hex[:8]
    for index, directory in enumerate(directories):
        if rows[index] is not None:
            on_row(rows[index])
            continue
        task = directory if isinstance(directory, DirectoryGroup) else str(directory)
        future = client.submit(fit_directory_task, task, bootstrap, tuple(argv), conf_sigmas,
                               pure=False, key=f"tarvo-fit-{run_id}-{index}")
        futures[future] = index
    interrupted = False
    try:
        for future in as_completed(list(futures)):
            index = futures[future]
            try:
                rows[index] = future.result()
            except Exception as error:   # the worker died or the task was lost
                rows[index] = error_row(directories[index], FAILED, one_line(error))
            on_row(rows[index])
    except KeyboardInterrupt:
        interrupted = True
        outstanding = [future for future, index in futures.items() if rows[index] is None]
        client.cancel([future for future in outstanding if not future.done()])
        # Fits that finished while the interruption arrived keep their rows.
        for future in outstanding:
            if future.status == "finished":
                rows[futures[future]] = future.result()
    return BatchOutcome(cancelled(directories, rows), interrupted)


# The rows with every directory that has none marked cancelled.
def cancelled(directories, rows):
    return [error_row(directory, CANCELLED, CANCELLED_MESSAGE) if row is None else row
            for directory, row in zip(directories, rows)]


# Names of the parameters fitted in any row, in parameter order (the focus last).
def fitted_names(rows):
    present = {name for row in rows for name in row["parameters"]}
    # A group's names per wavelength or measurement ("sigma_4@532nm", "focus@ns") last.
    others = sorted(name for name in present if name not in FIT_NAMES)
    return [name for name in FIT_NAMES if name in present] + others


# A cell of the CSV summary: numbers in full precision, missing values empty.
def _csv_cell(value):
    if value is None:
        return ""
    if isinstance(value, float):
        return repr(value)
    return str(value)


# The summary table as CSV text: one row per directory.
def summary_csv(rows):
    names = fitted_names(rows)
    with_bootstrap = any("bootstrap_sd" in p for row in rows for p in row["parameters"].values())
    header = list(FIXED_COLUMNS)
    for name in names:
        header += [name, f"{name}_se"]
        if with_bootstrap:
            header += [f"{name}_bootstrap_sd", f"{name}_bootstrap_low95",
                       f"{name}_bootstrap_high95"]
    stream = io.StringIO()
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(header)
    for row in rows:
        cells = [row[column] for column in FIXED_COLUMNS]
        for name in names:
            entry = row["parameters"].get(name, {})
            cells += [entry.get("value"), entry.get("standard_error")]
            if with_bootstrap:
                low, high = entry.get("bootstrap_interval_95") or (None, None)
                cells += [entry.get("bootstrap_sd"), low, high]
        writer.writerow([_csv_cell(cell) for cell in cells])
    return stream.getvalue()


# Number of rows with each status.
def status_counts(rows):
    counts = {status: 0 for status in (FITTED, FITTED_WITH_WARNINGS, NOT_CONVERGED, UP_TO_DATE,
                                       KEPT, FAILED, CANCELLED)}
    for row in rows:
        counts[row["status"]] += 1
    return counts


# Write batch-summary.csv and batch-summary.json into `out`; their paths.
def write_summary(out, outcome, cluster, bootstrap=None):
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    document = {
        "created": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "cluster": cluster,
        "interrupted": outcome.interrupted,
        "bootstrap": None if bootstrap is None
        else {"replicates": bootstrap.replicates, "seed": bootstrap.seed},
        "counts": status_counts(outcome.rows),
        "directories": outcome.rows,
    }
    csv_path, json_path = out / SUMMARY_CSV, out / SUMMARY_JSON
    write_text(csv_path, summary_csv(outcome.rows))
    write_json(json_path, document)
    return csv_path, json_path


# One line about a finished directory.
def row_line(row):
    if row["status"] in (FAILED, CANCELLED):
        return f"{row['status']:<10}  {row['directory']}: {row['message']}"
    note = f"; {row['message']}" if row["message"] else ""
    values = ", ".join(f"{name} = {entry['value']:.4g}" for name, entry in
                       row["parameters"].items() if entry["value"] is not None)
    timing = f" ({row['seconds']:.1f} s)" if row["status"] in (FITTED, FITTED_WITH_WARNINGS) \
        else ""
    return f"{row['status']:<10}  {row['directory']}: {values}{timing}{note}"


# Description of the cluster a client is connected to, for the summary.
def describe_cluster(client, scheduler):
    workers = client.scheduler_info(n_workers=-1).get("workers", {})
    threads = sum(worker.get("nthreads", 0) for worker in workers.values())
    where = scheduler if scheduler else "local cluster"
    return f"{where}: {len(workers)} workers, {threads} threads"


# Findings that stop a fit (a near-certain unit mistake) in the directories
# that are to be fitted, as "DIR: message" lines; directories that cannot be
# read are left to their fit, which reports them in its row.
def stopping_findings(directories, bootstrap=None, conf_sigmas=None):

    lines = []
    for directory in directories:
        if isinstance(directory, DirectoryGroup):
            lines += stopping_findings(directory.paths)
            continue
        if (up_to_date_result(directory, bootstrap, conf_sigmas=conf_sigmas) is not None
                or richer_result(directory, bootstrap, conf_sigmas) is not None):
            continue
        try:
            request = prepare_fit(directory)
        except InputError:
            continue
        if not request.force:
            lines += [f"{directory}: {finding.message}" for finding in request.findings
                      if finding.stops]
    return lines


# tarvo batch DIR...: fit, report each directory as it finishes, write the summary.
def run_batch_command(args, argv=("batch",)):

    directories = collect_directories(args.inputs)
    bootstrap = bootstrap_options(args)
    conf_sigmas = parse_sigmas(args.sigmas, args.conf_interval)
    if bootstrap is not None:
        # One seed for every directory, recorded in the summary; the fits run
        # their bootstrap on the cluster they run on.
        bootstrap = replace(bootstrap.seeded(), scheduler=None)
    if args.workers is not None and args.workers < 1:
        raise InputError(f"--workers must be at least 1, got {args.workers}")
    if args.workers is not None:
        check_count("workers", args.workers, "--workers")
    if args.workers is not None and args.scheduler is not None:
        raise InputError("--workers sizes the local cluster; with --scheduler the cluster's "
                         "own workers run the fits")
    out = Path(args.out)
    if out.exists() and not out.is_dir():
        raise InputError(f"--out {out}: not a directory")
    # Unit mistakes stop the batch before any cluster starts.
    stops = [] if args.force else stopping_findings(directories, bootstrap, conf_sigmas)
    if stops:
        for line in stops:
            print(f"tarvo: error: {line}", file=sys.stderr)
        print("tarvo: nothing was fitted: correct the settings named above, or fit anyway with "
              "--force ([fit] force = true in a directory's setup.toml)", file=sys.stderr)
        return EXIT_USAGE
    out.mkdir(parents=True, exist_ok=True)
    with directory_lock(out, BATCH_LOCK, "tarvo batch"):
        return _run_batch_locked(args, argv, directories, bootstrap, out, conf_sigmas)


# tarvo batch with its summary directory locked: directories whose results
# are up to date are found first, and a cluster is started only when some
# directory needs a fit.
def _run_batch_locked(args, argv, directories, bootstrap, out, conf_sigmas):

    rows = plan_batch(directories, bootstrap, args.force, argv, conf_sigmas)
    pending = sum(row is None for row in rows)
    if pending == 0:
        for row in rows:
            print(row_line(row))
        outcome, cluster = BatchOutcome(rows, False), "none: every result is up to date"
    else:
        layout = local_layout(workers=args.workers)
        outcome, cluster = None, "interrupted while the cluster started"
        try:
            print(f"{len(directories)} measurement "
                  f"director{'y' if len(directories) == 1 else 'ies'} ({pending} to fit); "
                  + (f"scheduler {args.scheduler}" if args.scheduler else
                     f"local cluster of {layout.workers} worker processes x "
                     f"{layout.threads_per_worker} thread"), flush=True)
            with dask_client(args.scheduler, layout, dashboard=args.dashboard) as client:
                cluster = describe_cluster(client, args.scheduler)
                with progress_bar(len(directories), "fitting", "dir") as (advance, note):
                    finished = []

                    # Report a finished directory above the bar.
                    def on_row(row):
                        finished.append(row)
                        advance(len(finished))
                        note(row_line(row))

                    outcome = run_batch(client, directories, bootstrap, args.force, on_row,
                                        argv, rows, conf_sigmas)
                if outcome.interrupted:
                    # Leave the cluster as after Ctrl-C: without waiting for
                    # the fits its workers are running.
                    raise KeyboardInterrupt
        except KeyboardInterrupt:
            outcome = BatchOutcome(cancelled(directories, rows if outcome is None
                                             else outcome.rows), True)
    csv_path, json_path = write_summary(out, outcome, cluster, bootstrap)
    counts = status_counts(outcome.rows)
    print(f"{counts[FITTED] + counts[FITTED_WITH_WARNINGS]} fitted"
          + (f" ({counts[FITTED_WITH_WARNINGS]} with warnings)" if counts[FITTED_WITH_WARNINGS]
             else "")
          + f", {counts[UP_TO_DATE]} up to date, {counts[FAILED]} failed"
          + (f", {counts[KEPT]} kept (richer results; --force replaces them)" if counts[KEPT]
             else "")
          + (f", {counts[NOT_CONVERGED]} not converged" if counts[NOT_CONVERGED] else "")
          + (f", {counts[CANCELLED]} cancelled" if counts[CANCELLED] else ""))
    print(f"summary: {csv_path}\n         {json_path}")
    if outcome.interrupted:
        print("tarvo: interrupted; the summary holds the directories that finished",
              file=sys.stderr)
        return EXIT_INTERRUPTED
    return EXIT_SOME_FAILED if counts[FAILED] or counts[NOT_CONVERGED] else 0
