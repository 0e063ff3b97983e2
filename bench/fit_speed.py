"""The benchmark fit on the exact engine before and after its speed-up, side by
side in one run.

The benchmark fit: tarvo.fit of noise-free curves (41 positions x 2 pulse
energies, made by the exact engine at the true parameters) from sigma_2 and
sigma_4 at 1.5 times their true values; the established model (10 x 5
slices) without and with the focus fitted too, and the energy model at its
default grid. Printed per case: `fit_seconds` (the fit result's own clock)
of the code at BASELINE and of this checkout, and their ratio.

"Before" is the code at BASELINE (the commit the speed-up started from),
built once into bench/.baseline-venv (a virtual environment of the same
Python with the same NumPy and SciPy as this one; rebuilt when BASELINE
changes or with --rebuild). The two interpreters run the same fit script
alternately, --rounds times, and each figure is the best of all its runs
(the machine is shared). With one thread the fits' CPU time is printed too:
other processes on the machine do not inflate it as they inflate the clock.

    python bench/fit_speed.py [--rounds 5] [--threads 1 2] [--rebuild]
    python bench/fit_speed.py --baseline-python OTHER/.venv/bin/python

--baseline-python compares with the tarvo another interpreter imports (an
earlier checkout's environment) instead of building BASELINE.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import venv
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
BASELINE = "dc81092a9ae664159ff12c9836e32e54a4bef226"
BASELINE_VENV = HERE / ".baseline-venv"
STAMP = BASELINE_VENV / "tarvo-baseline-commit"

# The fit script both interpreters run: each case fitted `repeats` times after
# one warm-up fit; prints, per case, the best fit_seconds, the evaluations and
# the fitted values (as hex, to compare the two codes' results).
CHILD = r"""
import json, sys, time
import numpy as np
import tarvo
TRUE_PARS = np.array([4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12])
BEAM = dict(sample_width=0.1, tau=4e-9, wavelength=532e-9, w0=20e-6, M2=1.2,
            populations=[6e17, 0.0, 0.0, 0.0, 0.0])
x = np.linspace(-30.0, 30.0, 41)
energies = [5e-6, 2e-5]
start = TRUE_PARS.copy()
start[[1, 2]] *= 1.5
repeats = int(sys.argv[1])
out = {}
for label, model, grid, vary in [
        ("established", "established", dict(t_slices=10, z_slices=5), ["sigma_2", "sigma_4"]),
        ("established + focus", "established", dict(t_slices=10, z_slices=5),
         ["sigma_2", "sigma_4", "focus"]),
        ("energy", "energy", {}, ["sigma_2", "sigma_4"])]:
    setup = dict(BEAM, **grid)
    data = tarvo.simulate(x, energies, TRUE_PARS, engine="exact", model=model, **setup)
    fit = lambda: tarvo.fit(x, data, energies, start, vary=vary, model=model, **setup)
    fit()
    best, cpu = float("inf"), float("inf")
    for _ in range(repeats):
        began = time.process_time()
        result = fit()
        cpu = min(cpu, time.process_time() - began)
        best = min(best, result.seconds)
    out[label] = dict(seconds=best, cpu=cpu, nfev=int(result.nfev),
                      values=[float(v).hex() for v in result.spec_pars] + [
                          float(result.focus).hex()])
print(json.dumps(out))
"""


def run(command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


# The (numpy, scipy) versions of this interpreter: the baseline gets the same.
def library_versions():
    import numpy
    import scipy

    return numpy.__version__, scipy.__version__


# Build bench/.baseline-venv with the code at BASELINE, unless it is there already.
def ensure_baseline(rebuild):
    numpy_version, scipy_version = library_versions()
    wanted = f"{BASELINE} numpy=={numpy_version} scipy=={scipy_version}"
    if not rebuild and STAMP.exists() and STAMP.read_text().strip() == wanted:
        return BASELINE_VENV / "bin" / "python"
    print(f"building the baseline {BASELINE[:10]} into {BASELINE_VENV} (once) ...", flush=True)
    shutil.rmtree(BASELINE_VENV, ignore_errors=True)
    venv.EnvBuilder(with_pip=True).create(BASELINE_VENV)
    python = BASELINE_VENV / "bin" / "python"
    quiet = dict(stdout=subprocess.DEVNULL)
    run([python, "-m", "pip", "install", "--quiet", "scikit-build-core>=0.11",
         f"numpy=={numpy_version}", f"scipy=={scipy_version}"], **quiet)
    with tempfile.TemporaryDirectory() as source:
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", BASELINE], check=True,
                                 capture_output=True).stdout
        run(["tar", "-x", "-C", source], input=archive)
        run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation", source], **quiet)
    STAMP.write_text(wanted + "\n")
    return python


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5,
                        help="alternating runs of each code (default 5)")
    parser.add_argument("--repeats", type=int, default=3,
                        help="fits per case within one run (default 3)")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--rebuild", action="store_true", help="build the baseline again")
    parser.add_argument("--baseline-python", type=Path,
                        help="the interpreter of the code to compare with (default: BASELINE "
                             "built into bench/.baseline-venv)")
    args = parser.parse_args()
    before = args.baseline_python or ensure_baseline(args.rebuild)
    interpreters = {"before": before, "after": Path(sys.executable)}
    for threads in args.threads:
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        # Run from outside the checkout so each interpreter imports its own tarvo.
        best, cpu, last = {}, {}, {}
        for _ in range(args.rounds):
            for name, python in interpreters.items():
                output = subprocess.run([str(python), "-c", CHILD, str(args.repeats)], env=env,
                                        cwd=tempfile.gettempdir(), check=True,
                                        capture_output=True, text=True).stdout
                figures = json.loads(output.strip().splitlines()[-1])
                for case, figure in figures.items():
                    key = (name, case)
                    best[key] = min(best.get(key, float("inf")), figure["seconds"])
                    cpu[key] = min(cpu.get(key, float("inf")), figure["cpu"])
                    last[key] = figure
        print(f"threads: {threads} (best of {args.rounds} alternating runs x {args.repeats} fits)")
        cases = [case for name, case in last if name == "before"]
        for case in cases:
            before, after = best[("before", case)], best[("after", case)]
            same = last[("before", case)]["values"] == last[("after", case)]["values"]
            print(f"  fit_seconds, {case:<20} before {before:.4f} s, after {after:.4f} s, "
                  f"ratio {before / after:.2f} ({last[('after', case)]['nfev']} evaluations; "
                  f"same fitted values: {same})")
            if threads == 1:
                # One thread: the process's CPU time, which other processes do not inflate.
                before, after = cpu[("before", case)], cpu[("after", case)]
                print(f"    CPU seconds{'':<17} before {before:.4f} s, after {after:.4f} s, "
                      f"ratio {before / after:.2f}")


if __name__ == "__main__":
    main()
