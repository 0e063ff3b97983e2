"""Hostile and unusual callers of the native code: inputs changed by another
thread while a call runs, fork, a fit started from a signal handler during a
fit, sizes beyond the 32-bit counts, huge grids, and sequences that change
while they are read. Each case runs in a subprocess, so that a crash or a hang
fails the test instead of the test run."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="needs fork, /proc and RLIMIT_AS")


def run_python(code, timeout=120, threads=2, cap_gigabytes=None, **kwargs):
    """Run `code` in a fresh interpreter with this test directory importable,
    optionally with its address space capped."""
    prefix = f"import sys\nsys.path[:0] = {sys.path!r}\n"
    if cap_gigabytes is not None:
        prefix += CAP.format(gigabytes=cap_gigabytes)
    return subprocess.run([sys.executable, "-c", prefix + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, OMP_NUM_THREADS=str(threads)), **kwargs)


def outcome_lines(done):
    return [line for line in done.stdout.splitlines() if line.startswith("outcome")]


# Caps the address space at `gigabytes` GB, so that a size check that let a
# huge allocation through fails cleanly instead of taking the machine's memory.
CAP = """
import resource
resource.setrlimit(resource.RLIMIT_AS, ({gigabytes} * 2**30, resource.RLIM_INFINITY))
"""


def test_fit_indices_changed_by_another_thread_are_never_used_unchecked():
    # NumPy's argmin releases the interpreter lock on a long y_data; a thread
    # writing a negative index meanwhile must not reach the start rows.
    done = run_python("""
        import random, threading
        import numpy as np
        import tarvo_wrapper
        from test_fit_zscan_binding import flat_arguments
        args = flat_arguments()
        args["y_data"] = np.ones(500_000)
        args["x_data"] = np.zeros(500_000)   # breaks num_x_pts: the call ends after the set-up
        indices = args["fit_indices"]
        stop = False

        def set_index(value):
            indices[0] = value

        def flip():
            # The interpreter switches threads on function entry: half the
            # time with the negative index in place.
            rng = random.Random(5)
            while not stop:
                set_index(-1_000_000_000 if rng.random() < 0.5 else 3)

        sys.setswitchinterval(1e-5)   # the calls get the lock back at once
        writer = threading.Thread(target=flip)
        writer.start()
        errors = set()
        try:
            for _ in range(100):
                try:
                    tarvo_wrapper.fit_zscan(**args, n_starts=1)
                except ValueError as error:
                    errors.add(str(error).split(" ")[0])
        finally:
            stop = True
            writer.join()
        print("outcome", sorted(errors))
    """)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    assert outcome_lines(done) and set(eval(outcome_lines(done)[0][8:])) <= {
        "fit_indices[0]=-1000000000", "y_data"}


FORKED = """
    import multiprocessing, os, warnings
    import tarvo_wrapper
    from test_parallel import small_fit_arguments
    warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a multi-threaded process

    def fit(n_starts):
        r = tarvo_wrapper.fit_zscan(*small_fit_arguments(), n_starts=n_starts)
        return r[0].tobytes(), r[1], r[2].tobytes()

    parent = fit(3)                     # the parent's OpenMP team now exists
    pid = os.fork()
    if pid == 0:
        os._exit(0 if fit(3) == parent else 3)
    print("outcome child", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), flush=True)
    with multiprocessing.get_context("fork").Pool(2) as pool:
        print("outcome pool", pool.map(fit, [3, 3]) == [parent, parent], flush=True)
"""


def test_a_forked_child_fits_and_gets_the_parents_results():
    done = run_python(FORKED, timeout=60)
    assert outcome_lines(done) == ["outcome child 0", "outcome pool True"], done.stderr[-2000:]


def test_a_fit_started_from_a_signal_handler_during_a_fit_runs():
    # The handler's fit runs on the thread that holds the outer fit's turn in
    # the fit queue; it must not wait for that turn.
    done = run_python("""
        import os, signal, threading
        import tarvo_wrapper
        from tarvo import _native
        from test_parallel import small_fit_arguments
        small = small_fit_arguments()
        expected = tarvo_wrapper.fit_zscan(*small, n_starts=2)
        expected_curves = _native.model_curves(list(small[0]), list(small[2]), *small[3:10],
                                               list(small[10]), list(small[11]), *small[13:15])
        nested = []

        def handler(signum, frame):
            r = tarvo_wrapper.fit_zscan(*small, n_starts=2)
            nested.append(all(a.tobytes() == b.tobytes() for a, b in
                              [(r[0], expected[0]), (r[2], expected[2])]) and r[1] == expected[1])
            curves = _native.model_curves(list(small[0]), list(small[2]), *small[3:10],
                                          list(small[10]), list(small[11]), *small[13:15])
            nested.append(curves == expected_curves)
            raise LookupError("stop the outer fit")

        signal.signal(signal.SIGUSR1, handler)
        big = small_fit_arguments(num_x_pts=41, energies=(5e-6, 1e-5, 2e-5), t_slices=20,
                                  z_slices=10)
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        try:
            tarvo_wrapper.fit_zscan(*big)
            print("outcome completed")
        except LookupError:
            print("outcome stopped", nested)
    """, timeout=60)
    assert outcome_lines(done) == ["outcome stopped [True, True]"], done.stderr[-2000:]


@pytest.mark.allocation_failure  # under an address-space cap
def test_sizes_beyond_what_lmdif1_takes_are_refused():
    # 50,000 points and 50,000 fitted entries (one index, repeated): LMDIF1's
    # work array of m n + 5 n + m values exceeds its 32-bit length.
    done = run_python(cap_gigabytes=3, code="""
        import numpy as np
        import tarvo_wrapper
        from test_fit_zscan_binding import flat_arguments
        args = flat_arguments(num_x_pts=50_000, fit_indices=[3] * 50_000)
        try:
            tarvo_wrapper.fit_zscan(**args, n_starts=1)
            print("outcome returned")
        except BaseException as error:
            print("outcome", type(error).__name__, error)
    """)
    assert outcome_lines(done) == [
        "outcome ValueError fit_indices has 50000 entries for 50000 points: the least-squares "
        "work array of 2500300000 values (m n + 5 n + m) exceeds the largest LMDIF1 takes, "
        "2147483647"], done.stderr[-2000:]


@pytest.mark.allocation_failure  # under an address-space cap
def test_work_arrays_larger_than_the_process_may_use_are_refused_with_their_size():
    # 33,000 points and fitted entries: 8.7 GB of work arrays per start.
    done = run_python(cap_gigabytes=3, code="""
        import tarvo_wrapper
        from test_fit_zscan_binding import flat_arguments
        args = flat_arguments(num_x_pts=33_000, fit_indices=[3] * 33_000)
        try:
            result = tarvo_wrapper.fit_zscan(**args, n_starts=1)
            print("outcome returned error", result[1])
        except BaseException as error:
            print("outcome", type(error).__name__, error)
    """)
    outcome = outcome_lines(done)
    assert len(outcome) == 1 and outcome[0].startswith(
        "outcome MemoryError the fit needs 8.7 GB for the least-squares work arrays of 1 start "
        "(33000 points, 33000 fitted entries)"), (outcome, done.stderr[-2000:])


@pytest.mark.allocation_failure  # under an address-space cap
@pytest.mark.parametrize("sizes, words", [
    (dict(t_slices=2**31 - 1), "5 points x 2147483647 time slices"),
    (dict(z_slices=2**31 - 1), "2147483647 depth slices"),
    (dict(t_slices=200_000_000, num_x_pts=20), "20 points x 200000000 time slices"),
])
def test_grids_larger_than_the_process_may_use_are_refused_before_they_are_built(sizes, words):
    done = run_python(cap_gigabytes=3, code=f"""
        import time
        import numpy as np
        import tarvo_wrapper
        from tarvo import _native
        from test_fit_zscan_binding import flat_arguments
        args = flat_arguments(num_x_pts={sizes.get("num_x_pts", 5)})
        args.update({ {k: v for k, v in sizes.items() if k != "num_x_pts"} !r})
        for name, call in [
                ("fit_zscan", lambda: tarvo_wrapper.fit_zscan(**args)),
                ("model_curves", lambda: _native.model_curves(
                    args["x_data"].tolist(), args["populations"].tolist(), args["t_slices"],
                    args["z_slices"], 0.1, 4e-9, 532e-9, 20e-6, 1.2, [1e-5],
                    args["spec_pars"].tolist(), args["num_x_pts"], 1))]:
            t0 = time.perf_counter()
            try:
                call()
                print("outcome", name, "returned")
            except BaseException as error:
                print("outcome", name, type(error).__name__, error,
                      "fast" if time.perf_counter() - t0 < 2.0 else "slow")
    """)
    outcome = outcome_lines(done)
    assert len(outcome) == 2, (done.stdout[-2000:], done.stderr[-2000:])
    for line in outcome:
        assert line.split()[2] == "MemoryError" and words in line and line.endswith("fast"), line


MUTATING = """
    from tarvo import _native
    from model_cases import BEAM, POPULATIONS, RSA_PARS, curves_x

    junk = []

    class Shrinking:
        # A number that empties the list it sits in when it is converted, and
        # lets new floats take the memory of the ones the list held.
        def __init__(self, value):
            self.value = value

        def __float__(self):
            holder.clear()
            junk.append([float(i) + 0.125 for i in range(64)])
            return self.value

    x = [float(v) for v in curves_x(5, 1)]
    calls = {
        "model_curves": (x, lambda values: _native.model_curves(
            values, POPULATIONS, 2, 2, *BEAM.values(), [1e-5], RSA_PARS, 5, 1)),
        "population_step": (RSA_PARS, lambda values: _native.population_step(
            values, 5.6e14, [6e17, 0, 0, 0, 0, 1e8], 1e-9)),
        "solve": ([-1.0, -2.0, -3.0], lambda values: _native.solve(
            lambda t, y: values(), [1.0, 1.0, 1.0], 0.0, 1.0)),
    }
    holder = []
    for name, (values, call) in calls.items():
        if name == "solve":
            plain = call(lambda: list(values))

            def shrinking():
                holder[:] = [Shrinking(values[0])] + [float(v) for v in values[1:]]
                return holder
            got = call(shrinking)
        else:
            plain = call(list(values))
            holder[:] = [Shrinking(values[0])] + [float(v) for v in values[1:]]
            got = call(holder)
        print("outcome", name, got == plain)
"""


def test_sequences_emptied_while_they_are_read_are_read_as_they_were():
    done = run_python(MUTATING, threads=1)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    assert outcome_lines(done) == ["outcome model_curves True", "outcome population_step True",
                                   "outcome solve True"]


# Derivative indices whose conversion (__index__) empties the list they sit in.
CLEARING_INDEX = """
    import numpy as np
    from tarvo import _native
    from model_cases import BEAM, POPULATIONS, RSA_PARS, positions

    junk = []

    class Clearing:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            holder.clear()
            junk.append([object() for _ in range(64)])
            return self.value

    x = np.vstack([positions(7)])
    grid = dict(t_slices=3, z_slices=2)
    handle = _native.ExactModel(x, [1e-5], POPULATIONS, **BEAM, **grid)
    calls = {
        "exact_model": lambda d: _native.exact_model(x, [1e-5], POPULATIONS, RSA_PARS, **BEAM,
                                                     **grid, derivatives=d),
        "ExactModel.evaluate": lambda d: handle.evaluate(RSA_PARS, 0.5, d),
    }
    for name, call in calls.items():
        plain = call([1, 2, 8])
        holder = [Clearing(1), 2, 8]
        got = call(holder)
        print("outcome", name, all(np.array_equal(a, b) for a, b in zip(plain, got)))
"""


def test_derivative_lists_emptied_while_they_are_read_are_read_as_they_were():
    done = run_python(CLEARING_INDEX, threads=1)
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    assert outcome_lines(done) == ["outcome exact_model True",
                                   "outcome ExactModel.evaluate True"]


@pytest.mark.allocation_failure  # under an address-space cap
def test_the_exact_engine_says_what_memory_it_could_not_get():
    done = run_python(cap_gigabytes=3, threads=4, code="""
        import numpy as np
        import tarvo
        from tarvo import _native
        from model_cases import BEAM, POPULATIONS, RSA_PARS

        x = np.linspace(-20.0, 20.0, 1000)
        setup = dict(BEAM, populations=POPULATIONS, t_slices=1_000_000, z_slices=2,
                     model="established", normalisation="shift")
        energy_x = np.linspace(-20.0, 20.0, 7)[None, :]
        for name, call in [
                ("exact_model", lambda: _native.exact_model(
                    x[None, :], [1e-5], POPULATIONS, RSA_PARS, **BEAM, t_slices=1_000_000,
                    z_slices=2)),
                ("simulate", lambda: tarvo.simulate(x, [1e-5], RSA_PARS, engine="exact",
                                                    **setup)),
                ("scratch", lambda: _native.ExactModel(
                    energy_x, [1e-5], POPULATIONS, **BEAM, t_slices=2, z_slices=1_000_000,
                    variant="energy").evaluate(RSA_PARS, 0.0, range(9)))]:
            try:
                call()
                print("outcome", name, "returned")
            except BaseException as error:
                print("outcome", name, type(error).__name__, error)
    """)
    outcome = outcome_lines(done)
    tables = ("MemoryError the exact model needs 8.0 GB for the tables of 1000 points x 1000000 "
              "time slices and 2 depth slices, more than the 3.2 GB this process may use")
    # The toolkit refuses such a grid before it asks for any memory.
    refused = ("InputError t_slices = 1000000 is more than 1000: every residual evaluation "
               "integrates 2 * z_slices * t_slices steps per point (10 and 5 resolve a "
               "nanosecond pulse in a thin sample)")
    assert outcome == [
        f"outcome exact_model {tables}", f"outcome simulate {refused}",
        "outcome scratch MemoryError the exact model needs 3.8 GB for the scratch of 4 threads "
        "(2000000 depth slices, 9 derivatives), more than the 3.2 GB this process may use",
    ], (outcome, done.stderr[-2000:])


@pytest.mark.allocation_failure  # under an address-space cap
def test_lsoda_model_scratch_beyond_the_memory_is_refused_with_the_lock_held():
    # The grids fit (0.8 GB) but the per-thread scratch does not: refused while
    # the evaluation runs without the interpreter lock, raised once it is back
    # (it used to be raised without the lock: a segmentation fault).
    done = run_python(cap_gigabytes=3, threads=2, code="""
        import tarvo
        from tarvo import _native
        from model_cases import BEAM, POPULATIONS, RSA_PARS, curves_x

        x = list(curves_x(5, 1))
        for name, call in [
                ("model_curves", lambda: _native.model_curves(
                    x, POPULATIONS, 2, 100_000_000, *BEAM.values(), [1e-5], RSA_PARS, 5, 1)),
                ("simulate", lambda: tarvo.simulate(x, [1e-5], RSA_PARS, populations=POPULATIONS,
                                                    t_slices=2, z_slices=100_000_000, **BEAM,
                                                    model="established", normalisation="shift",
                                                    engine="lsoda"))]:
            try:
                call()
                print("outcome", name, "returned")
            except BaseException as error:
                print("outcome", name, type(error).__name__, error)
    """)
    message = ("MemoryError the model needs 8.0 GB for the scratch of 2 threads (100000000 depth "
               "slices), more than the 3.2 GB this process may use")
    # The toolkit refuses such a grid before it asks for any memory.
    refused = ("InputError z_slices = 100000000 is more than 1000: every residual evaluation "
               "integrates 2 * z_slices * t_slices steps per point (10 and 5 resolve a "
               "nanosecond pulse in a thin sample)")
    assert outcome_lines(done) == [f"outcome model_curves {message}",
                                   f"outcome simulate {refused}"], (done.returncode,
                                                                    done.stderr[-2000:])


# Model evaluations of minutes to hours (a huge grid) on both engines,
# interrupted by SIGINT after a second. Each call would run far longer than the
# bound on its lateness, so an interrupt that is not answered shows as a call
# that completes (or never ends), whatever the machine's load.
INTERRUPTED_EXACT = """
    import os, signal, threading, time
    import numpy as np
    import tarvo
    from model_cases import BEAM, POPULATIONS, RSA_PARS

    # The largest grid the toolkit takes, on many points: minutes per evaluation.
    x = np.linspace(-20.0, 20.0, 4001)
    shift = dict(model="established", normalisation="shift")
    huge = dict(BEAM, populations=POPULATIONS, t_slices=1000, z_slices=1000)
    small = dict(BEAM, populations=POPULATIONS, t_slices=4, z_slices=2, **shift)
    before = tarvo.simulate(x, [1e-5], RSA_PARS, engine="exact", **small)
    data = before + 0.01
    for name, call in [
            ("simulate", lambda: tarvo.simulate(x, [1e-5], RSA_PARS, engine="exact", **huge,
                                                **shift)),
            ("fit", lambda: tarvo.fit(x, data, [1e-5], RSA_PARS, vary=["sigma_2"], checks="off",
                                      **huge, **shift)),
            ("energy", lambda: tarvo.simulate(x, [1e-5], RSA_PARS, engine="exact",
                                              model="energy", normalisation="absolute",
                                              intensity_points=64, **huge)),
            ("lsoda", lambda: tarvo.simulate(x, [1e-5], RSA_PARS, engine="lsoda", **huge,
                                             **shift))]:
        threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
        t0 = time.perf_counter()
        try:
            call()
            print("outcome", name, "completed")
        except KeyboardInterrupt:
            late = time.perf_counter() - t0 - 1.0
            print("outcome", name, "interrupted", "soon" if late < 30.0 else f"late {late:.1f} s")
    after = tarvo.simulate(x, [1e-5], RSA_PARS, engine="exact", **small)
    print("outcome same", np.array_equal(before, after))
"""


# With two or more threads the thread that answers Ctrl-C must take part in
# every evaluation; it once waited idle while another thread ran them all.
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_ctrl_c_stops_a_long_model_evaluation_soon_at_any_thread_count(threads):
    done = run_python(INTERRUPTED_EXACT, threads=threads, timeout=900)
    assert outcome_lines(done) == ["outcome simulate interrupted soon",
                                   "outcome fit interrupted soon",
                                   "outcome energy interrupted soon",
                                   "outcome lsoda interrupted soon",
                                   "outcome same True"], (done.stdout[-2000:],
                                                          done.stderr[-2000:])
