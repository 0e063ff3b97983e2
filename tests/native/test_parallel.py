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


# The work arrays of a start with m points and n fitted entries hold
# m n + 5 n + m doubles for LMDIF1, n + m more and n ints; under a cap that
# leaves room for one start's, the second start of three cannot get its own.
MEMORY_CAP = textwrap.dedent("""
    import resource, sys
    sys.path[:0] = {path!r}
    import numpy as np
    import tarvo_wrapper
    from test_parallel import small_fit_arguments
    tarvo_wrapper.fit_zscan(*small_fit_arguments(), n_starts=3)  # the team exists
    num_x_pts, curves = 1000, 2
    x = np.tile(np.linspace(-20.0, 20.0, num_x_pts), curves)
    y = 1.0 - 0.05 * np.exp(-(x / 5.0) ** 2)
    args = list(small_fit_arguments())
    args[0], args[1], args[10] = x, y, np.full(curves, 1e-5)
    args[12] = np.full(num_x_pts * curves, 1, dtype=np.int32)  # one index, 2000 times
    args[13], args[14] = num_x_pts, curves
    start_bytes = 8 * (2000 * 2000 + 5 * 2000 + 2000 + 2000 + 2000) + 4 * 2000
    size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (size + int(1.5 * start_bytes), resource.RLIM_INFINITY))
    try:
        tarvo_wrapper.fit_zscan(*args, n_starts=3)
        print("outcome: completed")
    except BaseException as error:
        print("outcome:", type(error).__name__, error)
""")


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
@pytest.mark.allocation_failure
def test_running_out_of_memory_in_one_start_raises_memory_error():
    # The other starts are stopped because of it; the error names the cause.
    out = subprocess.run([sys.executable, "-c", MEMORY_CAP.format(path=sys.path)],
                         capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, OMP_NUM_THREADS="2"))
    outcome = [line for line in out.stdout.splitlines() if line.startswith("outcome:")]
    assert outcome == ["outcome: MemoryError could not allocate 32.1 MB for the least-squares "
                       "work arrays of start 2"], (out.stdout[-2000:], out.stderr)


MIXED_WAIT = textwrap.dedent("""
    import os, signal, sys, threading, time
    sys.path[:0] = {path!r}
    import tarvo_wrapper
    from tarvo import _native
    from test_parallel import small_fit_arguments

    def toolkit(args, n_starts=3):
        values = [v.tolist() if hasattr(v, "tolist") else v for v in args]
        return _native.fit(*values, n_starts=n_starts)

    fits = {{"fit_zscan": tarvo_wrapper.fit_zscan, "toolkit": toolkit}}
    big = small_fit_arguments(num_x_pts=41, energies=(5e-6, 1e-5, 2e-5), t_slices=20, z_slices=10)
    threading.Thread(target=fits[{running!r}], args=(big,) if {running!r} == "toolkit" else big,
                     daemon=True).start()
    time.sleep(0.5)
    threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
    t0 = time.perf_counter()
    try:
        small = small_fit_arguments()
        if {waiting!r} == "toolkit":
            toolkit(small, n_starts=1)
        else:
            tarvo_wrapper.fit_zscan(*small, n_starts=1)
        print("completed", flush=True)
    except KeyboardInterrupt:
        print("interrupted after", time.perf_counter() - t0, flush=True)
    os._exit(0)  # the other thread's fit would run for minutes
""")


@pytest.mark.parametrize("running, waiting", [("toolkit", "fit_zscan"), ("fit_zscan", "toolkit")])
def test_fit_zscan_and_a_toolkit_fit_take_turns(running, waiting):
    # Both modules queue in the one fit queue of the core library: the second
    # fit waits for the first (and still answers Ctrl-C while it waits).
    code = MIXED_WAIT.format(path=sys.path, running=running, waiting=waiting)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                         text=True, timeout=600, env=dict(os.environ, OMP_NUM_THREADS="2"))
    outcome = [line for line in out.stdout.split("\n")
               if line.startswith(("interrupted", "completed"))]
    assert outcome and outcome[0].startswith("interrupted"), out.stdout
    assert float(outcome[0].split()[-1]) < 6.0
