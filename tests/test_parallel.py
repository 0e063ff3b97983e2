"""Threads: identical results for every thread count, concurrent Python
callers, and Ctrl-C during a long fit."""

import os
import pickle
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import tarvo_wrapper
from model_cases import BEAM, POPULATIONS, RSA_PARS, curves_x
from tarvo import _native


def small_fit_arguments(num_x_pts=6, energies=(5e-6, 2e-5), t_slices=2, z_slices=2):
    x = curves_x(num_x_pts, len(energies))
    y = np.array(_native.model_curves(x, POPULATIONS, t_slices, z_slices, BEAM["sample_width"],
                                      BEAM["tau"], BEAM["wavelength"], BEAM["w0"], BEAM["M2"],
                                      list(energies), RSA_PARS, num_x_pts, len(energies)))
    y += 0.003 * np.random.default_rng(7).standard_normal(y.size)
    start = np.array(RSA_PARS)
    start[[1, 2]] *= 1.5
    return (x, y, np.array(POPULATIONS), t_slices, z_slices, BEAM["sample_width"], BEAM["tau"],
            BEAM["wavelength"], BEAM["w0"], BEAM["M2"], np.array(energies), start,
            np.array([1, 2], dtype=np.int32), num_x_pts, len(energies))


CHILD = textwrap.dedent("""
    import pickle, sys
    sys.path[:0] = {path!r}
    import tarvo_wrapper
    from test_parallel import small_fit_arguments
    result = tarvo_wrapper.fit_zscan(*small_fit_arguments(), n_starts={n_starts})
    with open({out!r}, "wb") as f:
        pickle.dump(result, f)
""")


def fit_in_child(threads, n_starts, out):
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    code = CHILD.format(path=sys.path, n_starts=n_starts, out=str(out))
    subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True)
    with open(out, "rb") as f:
        return pickle.load(f)


def as_bytes(result):
    residuals, error, pars = result
    return residuals.tobytes(), np.float64(error).tobytes(), pars.tobytes()


@pytest.mark.parametrize("n_starts", [1, 3])
def test_thread_count_does_not_change_the_result(n_starts, tmp_path):
    results = [as_bytes(fit_in_child(threads, n_starts, tmp_path / f"{threads}.pickle"))
               for threads in (1, 2, 3)]
    assert results[0] == results[1] == results[2]


def test_concurrent_python_threads_get_the_results_of_sequential_calls():
    first = small_fit_arguments()
    second = small_fit_arguments(num_x_pts=5, energies=(1e-5,))
    expected = [as_bytes(tarvo_wrapper.fit_zscan(*a, n_starts=2)) for a in (first, second)]
    got = [None] * 4

    def run(i, args):
        got[i] = as_bytes(tarvo_wrapper.fit_zscan(*args, n_starts=2))

    threads = [threading.Thread(target=run, args=(i, a))
               for i, a in enumerate([first, second, first, second])]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == expected + expected


INTERRUPTED = textwrap.dedent("""
    import os, signal, sys, threading, time
    sys.path[:0] = {path!r}
    import tarvo_wrapper
    from test_parallel import small_fit_arguments
    small = small_fit_arguments()
    before = tarvo_wrapper.fit_zscan(*small, n_starts=1)
    # Minutes of work: many positions and slices, three starts.
    big = small_fit_arguments(num_x_pts=41, energies=(5e-6, 1e-5, 2e-5), t_slices=20, z_slices=10)
    threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
    t0 = time.perf_counter()
    try:
        tarvo_wrapper.fit_zscan(*big)
        print("completed")
    except KeyboardInterrupt:
        print("interrupted after", time.perf_counter() - t0)
    after = tarvo_wrapper.fit_zscan(*small, n_starts=1)
    same = all(a.tobytes() == b.tobytes() for a, b in [(before[0], after[0]), (before[2], after[2])])
    print("same", same and before[1] == after[1])
""")


def test_ctrl_c_interrupts_a_long_fit_and_the_next_call_works():
    code = INTERRUPTED.format(path=sys.path)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                         text=True, timeout=600).stdout.split("\n")
    outcome = [line for line in out if line.startswith(("interrupted", "completed"))]
    assert outcome and outcome[0].startswith("interrupted"), out
    # The fit would take minutes; the interrupt lands within seconds of the signal.
    assert float(outcome[0].split()[-1]) < 6.0
    assert "same True" in out


WAITING = textwrap.dedent("""
    import os, signal, sys, threading, time
    sys.path[:0] = {path!r}
    import tarvo_wrapper
    from test_parallel import small_fit_arguments
    big = small_fit_arguments(num_x_pts=41, energies=(5e-6, 1e-5, 2e-5), t_slices=20, z_slices=10)
    threading.Thread(target=tarvo_wrapper.fit_zscan, args=big, daemon=True).start()
    time.sleep(0.5)
    threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
    t0 = time.perf_counter()
    try:
        tarvo_wrapper.fit_zscan(*small_fit_arguments(), n_starts=1)
        print("completed", flush=True)
    except KeyboardInterrupt:
        print("interrupted after", time.perf_counter() - t0, flush=True)
    os._exit(0)  # the other thread's fit would run for minutes
""")


def test_ctrl_c_ends_a_fit_that_waits_for_its_turn():
    # Multi-threaded fits from two threads take turns; one waiting for its turn
    # still answers Ctrl-C.
    code = WAITING.format(path=sys.path)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                         text=True, timeout=600, env=dict(os.environ, OMP_NUM_THREADS="2"))
    outcome = [line for line in out.stdout.split("\n")
               if line.startswith(("interrupted", "completed"))]
    assert outcome and outcome[0].startswith("interrupted"), out.stdout
    assert float(outcome[0].split()[-1]) < 6.0
