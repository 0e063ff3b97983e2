"""Fits per second of tarvo batch: one process fitting the directories one after
another (as a loop over tarvo fit does, the native model on all cores) against
the local Dask cluster (one single-threaded worker process per core); and the
time of a bootstrap of the benchmark-sized fit on the same cluster, and (exact
engine) in threads of one process, as tarvo fit --bootstrap runs it.

The directories hold the benchmark case (2 curves of 41 points at 5 and 20 µJ,
10 time x 5 depth slices) with 0.5 % seeded noise; each fits sigma_2 and
sigma_4 from one start. Both sides run the same routine (what tarvo fit runs),
writing fit-result.json and the figure.

    python bench/batch_benchmark.py [--directories N] [--replicates N] [--workers N]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Pulse energies (J) and file names of the curves.
CURVES = ((5e-6, "curve-5uJ.csv"), (2e-5, "curve-20uJ.csv"))

# Relative noise added to the model curves.
NOISE = 0.005

# The benchmark directory's set-up, written by the template of the tests'
# measurement directories (tests/support/measurement_cases.py) with the
# benchmark's grids, files, start values and fitted parameters; engine_line,
# appended, selects the engine where the toolkit offers a choice.
SETUP_VALUES = dict(t_slices=10, z_slices=5, low="curve-5uJ.csv", high="curve-20uJ.csv",
                    sigma_1="4e-18", sigma_2="3e-17", sigma_4="9e-17",
                    parameters='"sigma_2", "sigma_4"')


# setup.toml of a benchmark directory.
def setup_text(engine_line=""):
    sys.path.insert(0, str(HERE.parent / "tests" / "support"))
    from measurement_cases import SETUP_TEMPLATE

    return SETUP_TEMPLATE.format(**SETUP_VALUES) + engine_line


# Write `count` benchmark directories under `root` (noise seeded by index).
def make_directories(root, count, engine_line=""):
    import numpy as np

    sys.path.insert(0, str(HERE))
    from bench_cases import POPULATIONS, SETUP as MODEL, TRUE_PARS
    from tarvo import simulate

    positions = np.linspace(-30.0, 30.0, 41)
    model = simulate(positions, [e for e, _ in CURVES], TRUE_PARS,
                     populations=POPULATIONS, **MODEL)
    setup = setup_text(engine_line)
    directories = []
    for index in range(count):
        directory = Path(root) / f"sample-{index:02d}"
        directory.mkdir(parents=True)
        rng = np.random.default_rng(index)
        for row, (_, name) in zip(model, CURVES):
            noisy = row * (1.0 + NOISE * rng.standard_normal(row.shape))
            (directory / name).write_text("position_mm,normalised_transmittance\n" + "".join(
                f"{x!r},{y!r}\n" for x, y in zip(positions.tolist(), noisy.tolist())))
        (directory / "setup.toml").write_text(setup)
        directories.append(directory)
    return directories


# Child process: fit the directories one after another; prints the seconds.
def sequential_child(directories):
    from tarvo.directory_fit import fit_and_write, prepare_fit

    began = time.perf_counter()
    for directory in directories:
        fit_and_write(prepare_fit(directory))
    print(f"seconds={time.perf_counter() - began!r}")


# Seconds of the sequential loop in a fresh process with OMP_NUM_THREADS=`threads`
# (None: the native default, all cores).
def sequential(directories, threads=None):
    env = dict(os.environ)
    env.pop("OMP_NUM_THREADS", None)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, "--child", *map(str, directories)],
                         env=env, check=True, capture_output=True, text=True).stdout
    return float(out.split("seconds=")[1].split()[0])


# Seconds of tarvo batch's run on `client` (fitting all, --force).
def on_cluster(client, directories):
    from tarvo.batch import FITTED, run_batch

    began = time.perf_counter()
    outcome = run_batch(client, directories, force=True)
    seconds = time.perf_counter() - began
    assert all(row["status"] == FITTED for row in outcome.rows), outcome.rows
    return seconds


# Seconds of `replicates` bootstrap replicates of a directory's fit (its own
# engine) on the cluster at `address`, the result, and the seconds of the
# directory's fit in this process.
def bootstrap_seconds(address, directory, replicates):
    from tarvo.bootstrap import bootstrap_fit, make_options
    from tarvo.directory_fit import _fit, prepare_fit

    request = prepare_fit(directory, bootstrap=make_options(replicates, 1, address))
    began = time.perf_counter()
    result = _fit(request)
    fit = time.perf_counter() - began
    began = time.perf_counter()
    spread = bootstrap_fit(request, result)
    return time.perf_counter() - began, spread, fit, request.engine


# Seconds of `replicates` bootstrap replicates of a directory's exact fit in
# threads of this process (no cluster), and the result.
def bootstrap_in_threads(directory, replicates):
    from tarvo.bootstrap import bootstrap_fit, make_options
    from tarvo.directory_fit import _fit, prepare_fit

    request = prepare_fit(directory, bootstrap=make_options(replicates, 1))
    result = _fit(request)
    began = time.perf_counter()
    spread = bootstrap_fit(request, result)
    return time.perf_counter() - began, spread


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--directories", type=int, default=8)
    parser.add_argument("--replicates", type=int, default=200)
    parser.add_argument("--workers", type=int, default=None,
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("--engine-line", default="",
                        help="extra line for the [fit] table, e.g. 'engine = \"lsoda\"'")
    parser.add_argument("--child", nargs="*")
    args = parser.parse_args()
    if args.child is not None:
        sequential_child(args.child)
        return

    import numpy as np
    from distributed import Client

    from tarvo.cluster import available_cores, local_layout, start_local_cluster

    root = Path(tempfile.mkdtemp(prefix="tarvo-batch-bench-"))
    try:
        directories = make_directories(root, args.directories, args.engine_line)
        count = len(directories)
        print(f"{count} directories of the benchmark case; {available_cores()} cores; load "
              f"average {os.getloadavg()[0]:.2f}")
        one_all = sequential(directories)
        one_single = sequential(directories, threads=1)
        layout = local_layout(workers=args.workers)
        began = time.perf_counter()
        cluster = start_local_cluster(layout)
        with cluster, Client(cluster) as client:
            startup = time.perf_counter() - began
            on_cluster(client, directories[:layout.workers])   # workers import the toolkit
            parallel = on_cluster(client, directories)
            boot, result, fit, engine = bootstrap_seconds(cluster.scheduler_address,
                                                          directories[0], args.replicates)
        print(f"1 process, native model on all cores:  {count / one_all:6.2f} fits/s "
              f"({one_all:.2f} s)")
        print(f"1 process, one thread:                 {count / one_single:6.2f} fits/s "
              f"({one_single:.2f} s)")
        print(f"local cluster, {layout.workers} workers x 1 thread:    "
              f"{count / parallel:6.2f} fits/s ({parallel:.2f} s; cluster start "
              f"{startup:.1f} s not included)")
        print(f"ratio cluster / 1 process (all cores): {one_all / parallel:.2f}; "
              f"/ 1 process (one thread): {one_single / parallel:.2f}")
        print(f"engine {engine}; one fit of the first directory in this process: {fit:.3f} s "
              f"(fit alone, without errors, figure and files)")
        print(f"bootstrap, {args.replicates} replicates of that fit on the cluster: {boot:.2f} s "
              f"({result.succeeded} refitted, {args.replicates / boot:.1f} fits/s)")
        if engine == "exact":
            threads, spread = bootstrap_in_threads(directories[0], args.replicates)
            same = np.array_equal(spread.values, result.values)
            print(f"bootstrap, the same {args.replicates} replicates in threads of one process "
                  f"(tarvo fit --bootstrap without --scheduler): {threads:.2f} s "
                  f"({spread.succeeded} refitted, {args.replicates / threads:.1f} fits/s; "
                  f"values {'identical' if same else 'DIFFERENT'})")
        print(f"load average at the end: {os.getloadavg()[0]:.2f} (cores {available_cores()})")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
