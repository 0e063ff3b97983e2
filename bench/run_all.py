"""Runs every benchmark under bench/ in turn and prints their figures."""

import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
SCRIPTS = [
    ["lsoda_speed.py"],
    ["lsoda_sweep.py", "--steps", "2000"],
    ["fit_benchmark.py", "--threads", "1"],
    ["fit_benchmark.py"],
    ["parallel_benchmark.py"],
    ["exact_benchmark.py", "--threads", "1"],
    ["exact_benchmark.py"],
    ["handle_benchmark.py"],
    ["energy_convergence.py"],
    ["engine_comparison.py"],
    ["batch_benchmark.py"],
    ["global_benchmark.py"],
    ["closed_aperture_benchmark.py"],
]
# Instruction-count profile, where valgrind is installed.
if shutil.which("valgrind"):
    SCRIPTS.append(["profile_model.py"])


def main():
    for script in SCRIPTS:
        print(f"== {' '.join(script)}", flush=True)
        subprocess.run([sys.executable, str(HERE / script[0]), *script[1:]], check=True)


if __name__ == "__main__":
    main()
