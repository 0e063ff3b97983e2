"""Where the time of one model evaluation goes: instruction counts under
valgrind's callgrind (one thread), grouped by the solver's parts. Needs
valgrind (Debian: valgrind). Counts instructions, not seconds, so the shares
do not drift with the machine's load."""

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

EVALUATION = f"""
import sys
sys.path.insert(0, {str(HERE)!r})
import numpy as np
from bench_cases import POPULATIONS, SETUP, TRUE_PARS
from tarvo import _native
s = SETUP
x = np.tile(np.linspace(-30.0, 30.0, 41), 3)
_native.model_curves(x, POPULATIONS, s["t_slices"], s["z_slices"], s["sample_width"], s["tau"],
                     s["wavelength"], s["w0"], s["M2"], [5e-6, 1e-5, 2e-5], list(TRUE_PARS), 41, 3)
"""

# Function-name patterns of each part, matched against callgrind's symbols.
GROUPS = [
    ("step loop (prediction, corrector, error test, order and method choice)",
     r"take_step|weighted_max_norm|interpolate"),
    ("starting each solver call afresh (set-up, initial step, coefficients)",
     r"Solver::integrate|load_method|set_method|memcpy|memset|integrate_populations|"
     r"integrate_intensity"),
    ("LU factorisation and solves of stiff steps", r"factor_lu|solve_lu|solve_linear_system"),
    ("right-hand sides", r"population_rhs|intensity_rhs"),
    ("difference-quotient Jacobians", r"prepare_jacobian|weighted_matrix_norm"),
    ("libm (pow, sqrt)", r"pow|sqrt"),
]


def main():
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        env = dict(os.environ, OMP_NUM_THREADS="1")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, "-c", EVALUATION], env=env, check=True,
                       capture_output=True)
        report = subprocess.run(["callgrind_annotate", str(out)], check=True,
                                capture_output=True, text=True).stdout
    costs = {}
    for line in report.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.*)", line)
        if m and ("_native" in m.group(2) or "libm" in m.group(2) or "libc" in m.group(2)):
            costs[m.group(2)] = int(m.group(1).replace(",", ""))
    grouped = {name: 0 for name, _ in GROUPS}
    for symbol, cost in costs.items():
        for name, pattern in GROUPS:
            if re.search(pattern, symbol):
                grouped[name] += cost
                break
    total = sum(grouped.values())
    print("one residual evaluation of the benchmark case (3 curves x 41 positions, "
          f"10 x 5 slices): {total / 1e6:.0f} million instructions in the model and solver")
    for name, cost in grouped.items():
        print(f"  {cost / total:6.1%}  {name}")


if __name__ == "__main__":
    main()
