"""tarvo batch DIR...: fit many measurement directories on a Dask cluster.

Every directory is fitted by a task that runs exactly what `tarvo fit DIR`
runs (tarvo.cli.fit_and_write) and writes the same fit-result.json and
figure into the directory; the workers must therefore see the directories
at the same paths as this process (one machine, or a shared file system).
The summary of all directories goes to batch-summary.csv and
batch-summary.json.
"""

import csv
import io
import json
import os
import sys
import time
import uuid
from dataclasses import dataclass, replace
from datetime import datetime, timezone
from pathlib import Path

from .errors import InputError
from .measurement import SETUP_FILE
from .fit_parameters import FIT_NAMES

# Files of the summary, written into --out.
SUMMARY_CSV = "batch-summary.csv"
SUMMARY_JSON = "batch-summary.json"

# Status of a directory in the summary.
FITTED = "fitted"
# Fitted, with plausibility warnings (listed in the row).
FITTED_WITH_WARNINGS = "fitted with warnings"
NOT_CONVERGED = "not converged"
UP_TO_DATE = "up to date"
FAILED = "error"
CANCELLED = "cancelled"

# Message of a directory whose fit the interruption cancelled.
CANCELLED_MESSAGE = "interrupted before this directory was fitted"

# Exit statuses (as tarvo fit uses them); EXIT_USAGE also for input that
# looks like a unit mistake.
EXIT_SOME_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# Columns of the summary table before the parameters.
FIXED_COLUMNS = ("directory", "status", "message", "engine", "seconds", "fit_seconds",
                 "fit_error", "reduced_chi2")


# The `batch` command's arguments.
def add_batch_parser(commands):
    from .bootstrap import add_bootstrap_arguments

    batch = commands.add_parser(
        "batch", help="fit many measurement directories on a Dask cluster",
        description="Fit every measurement directory (as tarvo fit does, writing each "
                    "directory's fit-result.json and figure) on a Dask cluster, and write "
                    f"{SUMMARY_CSV} and {SUMMARY_JSON}. Directories whose results are newer "
                    "than their inputs are skipped. Needs Dask: pip install 'tarvo[batch]'.")
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


# Directories listed in a text file, one a line; blank lines and lines
# starting with # are skipped. A listed path that is no directory stays in
# the list: its row in the summary says so.
def _listed_directories(path):
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as error:
        raise InputError(f"{path}: cannot read the list of directories: {error}") from None
    listed = []
    for line in text.splitlines():
        entry = line.strip()
        if entry and not entry.startswith("#"):
            listed.append(path.parent / entry)
    if not listed:
        raise InputError(f"{path}: lists no directories")
    return listed


# The result document of `directory` if it is newer than every input (the set-up
# and the curve files it names) and holds what this run asks for; else None.
def up_to_date_result(directory, bootstrap=None):
    from .cli import RESULT_FILE

    result_path = Path(directory) / RESULT_FILE
    try:
        stamp = result_path.stat().st_mtime_ns
        document = json.loads(result_path.read_text(encoding="utf-8"))
        inputs = [SETUP_FILE] + [curve["file"] for curve in document["curves"]]
        figure = document["figure"]
        if not (Path(directory) / figure).is_file():
            return None
        if any((Path(directory) / name).stat().st_mtime_ns >= stamp for name in inputs):
            return None
    except (OSError, ValueError, KeyError, TypeError):
        return None
    if bootstrap is not None:
        done = document.get("bootstrap") or {}
        if done.get("replicates") != bootstrap.replicates or (
                bootstrap.seed is not None and done.get("seed") != bootstrap.seed):
            return None
    return document


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
    from .cli import FitFailed

    text = str(error).strip()
    if not isinstance(error, (InputError, FitFailed)):
        text = f"{type(error).__name__}: {text}" if text else type(error).__name__
    return text.splitlines()[0] if text else "failed"


# The task of one directory, run on a worker: what `tarvo fit DIR` runs, with the
# outcome as a summary row; `argv` is the batch's command line, recorded in the
# result. Never raises: a failure is the row's message.
def fit_directory_task(directory, bootstrap=None, argv=("batch",)):
    from .cli import fit_and_write, prepare_fit

    began = time.monotonic()
    try:
        done = fit_and_write(prepare_fit(directory, bootstrap=bootstrap, argv=argv))
    except Exception as error:   # reported in the row; the other directories go on
        return error_row(directory, FAILED, one_line(error), time.monotonic() - began)
    return row_from_document(directory, done.document, FITTED, time.monotonic() - began)


# What a batch run ended with.
@dataclass(frozen=True)
class BatchOutcome:
    rows: list
    interrupted: bool


# Fit `directories` on the cluster of `client`. Directories whose results are
# up to date are not fitted again unless `force`. `on_row(row)` is called as
# each row is known (in the calling thread). Ctrl-C (KeyboardInterrupt while
# waiting) cancels the outstanding fits; the rows of finished ones are kept and
# the others are marked cancelled.
def run_batch(client, directories, bootstrap=None, force=False, on_row=None, argv=("batch",)):
    from distributed import as_completed

    on_row = on_row or (lambda row: None)
    rows = [None] * len(directories)
    futures = {}
    run_id = uuid.uuid4().hex[:8]
    for index, directory in enumerate(directories):
        document = None if force else up_to_date_result(directory, bootstrap)
        if document is not None:
            rows[index] = row_from_document(directory, document, UP_TO_DATE, 0.0)
            on_row(rows[index])
            continue
        future = client.submit(fit_directory_task, str(directory), bootstrap, tuple(argv),
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
    for index, directory in enumerate(directories):
        if rows[index] is None:
            rows[index] = error_row(directory, CANCELLED, CANCELLED_MESSAGE)
    return BatchOutcome(rows, interrupted)


# Names of the parameters fitted in any row, in parameter order (the focus last).
def fitted_names(rows):
    present = {name for row in rows for name in row["parameters"]}
    return [name for name in FIT_NAMES if name in present]


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
                                       FAILED, CANCELLED)}
    for row in rows:
        counts[row["status"]] += 1
    return counts


# Write `text` to `path` through a temporary file, so that an interruption
# never leaves half a file behind.
def write_atomically(path, text):
    path = Path(path)
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    temporary.write_text(text, encoding="utf-8")
    os.replace(temporary, path)


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
    write_atomically(csv_path, summary_csv(outcome.rows))
    write_atomically(json_path, json.dumps(document, indent=2, allow_nan=False) + "\n")
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
def stopping_findings(directories, bootstrap=None):
    from .cli import prepare_fit

    lines = []
    for directory in directories:
        if up_to_date_result(directory, bootstrap) is not None:
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
    from .bootstrap import bootstrap_options
    from .cluster import dask_client, local_layout, progress_bar

    directories = collect_directories(args.inputs)
    bootstrap = bootstrap_options(args)
    if bootstrap is not None:
        # One seed for every directory, recorded in the summary; the fits run
        # their bootstrap on the cluster they run on.
        bootstrap = replace(bootstrap.seeded(), scheduler=None)
    if args.workers is not None and args.workers < 1:
        raise InputError(f"--workers must be at least 1, got {args.workers}")
    if args.workers is not None and args.scheduler is not None:
        raise InputError("--workers sizes the local cluster; with --scheduler the cluster's "
                         "own workers run the fits")
    out = Path(args.out)
    if out.exists() and not out.is_dir():
        raise InputError(f"--out {out}: not a directory")
    # Unit mistakes stop the batch before any cluster starts.
    stops = [] if args.force else stopping_findings(directories, bootstrap)
    if stops:
        for line in stops:
            print(f"tarvo: error: {line}", file=sys.stderr)
        print("tarvo: nothing was fitted: correct the settings named above, or fit anyway with "
              "--force ([fit] force = true in a directory's setup.toml)", file=sys.stderr)
        return EXIT_USAGE
    layout = local_layout(workers=args.workers)
    print(f"{len(directories)} measurement director{'y' if len(directories) == 1 else 'ies'}; "
          + (f"scheduler {args.scheduler}" if args.scheduler else
             f"local cluster of {layout.workers} worker processes x "
             f"{layout.threads_per_worker} thread"), flush=True)
    with dask_client(args.scheduler, layout) as client:
        cluster = describe_cluster(client, args.scheduler)
        with progress_bar(len(directories), "fitting", "dir") as (advance, note):
            finished = []

            # Report a finished directory above the bar.
            def on_row(row):
                finished.append(row)
                advance(len(finished))
                note(row_line(row))

            outcome = run_batch(client, directories, bootstrap, args.force, on_row, argv)
    csv_path, json_path = write_summary(out, outcome, cluster, bootstrap)
    counts = status_counts(outcome.rows)
    print(f"{counts[FITTED] + counts[FITTED_WITH_WARNINGS]} fitted"
          + (f" ({counts[FITTED_WITH_WARNINGS]} with warnings)" if counts[FITTED_WITH_WARNINGS]
             else "")
          + f", {counts[UP_TO_DATE]} up to date, {counts[FAILED]} failed"
          + (f", {counts[NOT_CONVERGED]} not converged" if counts[NOT_CONVERGED] else "")
          + (f", {counts[CANCELLED]} cancelled" if counts[CANCELLED] else ""))
    print(f"summary: {csv_path}\n         {json_path}")
    if outcome.interrupted:
        print("tarvo: interrupted; the summary holds the directories that finished",
              file=sys.stderr)
        return EXIT_INTERRUPTED
    return EXIT_SOME_FAILED if counts[FAILED] or counts[NOT_CONVERGED] else 0
