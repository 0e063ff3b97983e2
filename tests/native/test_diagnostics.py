"""The solver's messages: each one reaches its sink whole (stdout by default,
never interleaved line by line between threads), and a toolkit fit can count
them by kind and keep them in a log file instead of printing them."""

import os
import subprocess
import sys
import textwrap
from collections import Counter

import numpy as np
import pytest

import tarvo_wrapper
from model_cases import BEAM, POPULATIONS, RSA_PARS, curves_x
from tarvo import _native

# Relaxation times of 1e-22 s: the corrector of some population steps fails to
# converge, and the solver says so (about one message per four steps).
NOISY_PARS = [4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-22, 1e-6, 1e-22]

# First line of each message kind -> (kind, number of lines that follow it).
MESSAGES = {
    " DLSODA-  At T (=R1) and step size H (=R2), the    ": ("convergence_failures", 3),
    " DLSODA-  At T(=R1) and step size H(=R2), the error": ("error_test_failures", 2),
    " DLSODA-  At current T (=R1), MXSTEP (=I1) steps   ": ("too_many_steps", 3),
    " DLSODA-  At T (=R1), EWT(I1) has become R2 .le. 0.": ("zero_error_weight", 2),
    " DLSODA-  At T (=R1), too much accuracy requested  ": ("too_much_accuracy", 2),
    " DLSODA-  Warning..Internal T (=R1) and H (=R2) are": ("step_size_warning", 3),
    " DLSODA-  Above warning has been issued I1 times.  ": ("warning_limit", 2),
}


def split_messages(text):
    """The messages of `text` as lists of lines; AssertionError if any is broken up."""
    lines = text.splitlines()
    messages, i = [], 0
    while i < len(lines):
        first = lines[i]
        assert first in MESSAGES, f"line {i} starts no message: {first!r}"
        follow = MESSAGES[first][1]
        body = lines[i + 1:i + 1 + follow]
        assert len(body) == follow and not any(line.startswith(" D") for line in body), \
            f"message at line {i} broken up: {lines[i:i + 1 + follow]!r}"
        messages.append([first] + body)
        i += 1 + follow
    return messages


def kinds_of(messages):
    return Counter(MESSAGES[m[0]][0] for m in messages)


def noisy_arguments(num_x_pts=9, energies=(5e-6, 2e-5)):
    """A cheap fit whose model evaluations make the solver print."""
    x = curves_x(num_x_pts, len(energies))
    y = np.array(_native.model_curves(x, POPULATIONS, 2, 2, BEAM["sample_width"], BEAM["tau"],
                                      BEAM["wavelength"], BEAM["w0"], BEAM["M2"],
                                      list(energies), RSA_PARS, num_x_pts, len(energies)))
    return dict(x_data=x, y_data=y, populations=np.array(POPULATIONS), t_slices=2, z_slices=2,
                sample_width=BEAM["sample_width"], tau=BEAM["tau"],
                wavelength=BEAM["wavelength"], w0=BEAM["w0"], M2=BEAM["M2"],
                pulse_energy=np.array(energies), spec_pars=np.array(NOISY_PARS),
                fit_indices=np.array([0], dtype=np.int32), num_x_pts=num_x_pts,
                num_datasets=len(energies))


def as_lists(args):
    values = [v.tolist() if isinstance(v, np.ndarray) else v for v in args.values()]
    return values


# Two threads print thousands of messages at once.
TWO_THREADS = textwrap.dedent("""
    import sys
    sys.path[:0] = {path!r}
    import tarvo_wrapper
    from test_diagnostics import noisy_arguments
    args = noisy_arguments(num_x_pts=41, energies=(5e-6, 1e-5, 2e-5))
    tarvo_wrapper.fit_zscan(**args, n_starts=3)
""")


def test_messages_reach_stdout_whole_when_threads_print_at_once():
    out = subprocess.run([sys.executable, "-c", TWO_THREADS.format(path=sys.path)],
                         capture_output=True, text=True, check=True, timeout=300,
                         env=dict(os.environ, OMP_NUM_THREADS="2")).stdout
    messages = split_messages(out)
    assert len(messages) > 1000
    assert kinds_of(messages)["convergence_failures"] > 1000


def test_a_toolkit_fit_counts_and_logs_the_messages_and_prints_none(capfd, tmp_path):
    args = noisy_arguments()
    expected = tarvo_wrapper.fit_zscan(**args, n_starts=2)
    printed = split_messages(capfd.readouterr().out)
    assert printed

    log = tmp_path / "messages.log"
    sink = _native.Diagnostics(str(log))
    residuals, error, fitted, summaries = _native.fit(*as_lists(args), n_starts=2,
                                                      diagnostics=sink)
    sink.close()
    assert capfd.readouterr().out == ""
    assert (residuals, error, fitted) == (expected[0].tolist(), expected[1], expected[2].tolist())
    logged = split_messages(log.read_text())
    # The same messages (their order between threads may differ), counted by kind.
    assert sorted(logged) == sorted(printed)
    assert sink.total == len(logged)
    assert {k: n for k, n in sink.counts().items() if n} == dict(kinds_of(logged))
    assert set(sink.counts()) == set(_native.MESSAGE_KINDS)
    # Every failed step printed one message; the summaries count them by kind.
    failed = sum(sum(s["failures"].values()) for s in summaries)
    assert failed == sum(n for k, n in sink.counts().items() if k in _native.SOLVER_FAILURE_KINDS)
    assert failed > 0 and sink.log_failed is False


def test_a_sink_without_a_log_only_counts_and_one_with_echo_also_prints(capfd):
    args = noisy_arguments(num_x_pts=5, energies=(2e-5,))
    quiet = _native.Diagnostics()
    _native.fit(*as_lists(args), n_starts=1, diagnostics=quiet)
    assert capfd.readouterr().out == "" and quiet.total > 0
    loud = _native.Diagnostics(echo=True)
    _native.fit(*as_lists(args), n_starts=1, diagnostics=loud)
    assert len(split_messages(capfd.readouterr().out)) == loud.total == quiet.total


def test_an_unwritable_log_is_reported_and_the_messages_still_counted(tmp_path):
    sink = _native.Diagnostics(str(tmp_path / "no such directory" / "messages.log"))
    _native.fit(*as_lists(noisy_arguments(num_x_pts=5, energies=(2e-5,))), n_starts=1,
                diagnostics=sink)
    assert sink.total > 0 and sink.log_failed is True


def test_a_fit_without_messages_leaves_no_log(tmp_path):
    args = noisy_arguments(num_x_pts=5, energies=(2e-5,))
    args["spec_pars"] = np.array(RSA_PARS)
    sink = _native.Diagnostics(str(tmp_path / "messages.log"))
    _native.fit(*as_lists(args), n_starts=1, diagnostics=sink)
    sink.close()
    assert sink.total == 0 and not (tmp_path / "messages.log").exists()


def test_diagnostics_must_be_a_diagnostics_object():
    with pytest.raises(TypeError, match="diagnostics must be"):
        _native.fit(*as_lists(noisy_arguments()), diagnostics=open)
