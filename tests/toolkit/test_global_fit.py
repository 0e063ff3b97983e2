"""Global fits: picosecond and nanosecond scans of one molecule fix together
what neither fixes alone."""

import json
import shutil
import warnings
from pathlib import Path

import numpy as np
import pytest

import tarvo
from tarvo.files import result_directory_lock
from tarvo.global_fit import GlobalMember, fit_global, global_name
from tarvo.measurement_directory import read_measurement

from measurement_cases import make_measurement, run

TRUE = [4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]
BEAM = dict(populations=[6e17, 0, 0, 0, 0], sample_width=0.1, wavelength=532e-9, w0=20e-6,
            M2=1.2)
X = np.linspace(-30.0, 30.0, 41)
FINE = dict(t_slices=48, z_slices=4, radial_points=16, intensity_points=30)
# name: (tau, pulse energies, focus), as in examples/global.
SETUPS = {"ns": (4e-9, [5e-6, 1e-5, 2e-5], -0.2), "ps": (1.5e-11, [2e-7, 5e-7, 1e-6], 0.3)}
EXAMPLES = Path(__file__).resolve().parents[2] / "examples" / "global"


# Far-field divided curves with 0.5 % noise, made at a finer resolution than the fits use.
def member(name, seed):
    tau, energies, focus = SETUPS[name]
    absolute = tarvo.simulate(X - focus, energies, TRUE, tau=tau, normalisation="absolute",
                              **BEAM, **FINE)
    noisy = absolute * (1 + 0.005 * np.random.default_rng(seed).standard_normal(absolute.shape))
    y = noisy / np.concatenate([noisy[:, :5], noisy[:, -5:]], axis=1).mean(axis=1, keepdims=True)
    return GlobalMember(name, dict(positions=X, transmittance=y, pulse_energy=energies, tau=tau,
                                   **BEAM))


def start_params():
    params = tarvo.Parameters.from_spec_pars(TRUE, vary=["sigma_2", "sigma_4", "tau_24"])
    for name, value in (("sigma_2", 3e-17), ("sigma_4", 1e-16), ("tau_24", 1e-9)):
        params[name].set(value=value)
    params.add("focus", None, vary=True)
    return params


def test_two_pulse_durations_together_fix_what_each_alone_cannot():
    members = [member("ns", 1), member("ps", 2)]
    alone = {}
    for one in members:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            arguments = dict(one.arguments)
            alone[one.label] = tarvo.fit(arguments.pop("curves"), start_params(),
                                         **arguments).identifiability
        assert alone[one.label].undetermined, one.label
    # The ns scan as a global fit of one: what it leaves undetermined is
    # judged by its likelihood profiles, as its own fit judges it.
    single = fit_global(members[:1], start_params(), checks="off").identifiability
    assert single.status == alone["ns"].status and single.methods == alone["ns"].methods
    assert "profile" in single.methods.values()
    together = fit_global(members, start_params())
    assert together.var_names == ["sigma_2", "sigma_4", "tau_24", "focus@ns", "focus@ps"]
    assert set(together.identifiability.status.values()) == {"determined"}
    assert together.misfits == []
    for name, index in (("sigma_2", 1), ("sigma_4", 2), ("tau_24", 4)):
        assert abs(together.values[name] - TRUE[index]) < 3 * together.stderr[name], name
    # Each measurement weighted by its own noise, estimated from its residuals.
    for record in together.members:
        assert record["noise"] == pytest.approx(0.005, rel=0.25)
    assert together.redchi == pytest.approx(1.0, abs=0.1)


def test_a_measurement_the_model_does_not_describe_is_named():
    # The ns curves, divided by their far field, fitted as if shifted to a baseline.
    ns = member("ns", 1)
    shifted = GlobalMember("ns", dict(ns.arguments, normalisation="shift"))
    with pytest.raises(ValueError, match="ns: the model does not describe the data"):
        fit_global([shifted], start_params(), checks="error")


@pytest.mark.parametrize("name, wavelength, several_wavelengths, several, expected", [
    ("sigma_4", 532e-9, False, True, "sigma_4"),
    ("sigma_4", 532e-9, True, True, "sigma_4@532nm"),
    ("tau_24", 800e-9, True, True, "tau_24"),
    ("focus", 532e-9, False, True, "focus@ps"),
    ("focus", 532e-9, False, False, "focus"),
])
def test_shared_and_own_parameter_names(name, wavelength, several_wavelengths, several,
                                        expected):
    assert global_name(name, "ps", wavelength, several_wavelengths, several) == expected


def test_global_fit_from_the_command_line(tmp_path, capsys):
    out = tmp_path / "result"
    directories = [EXAMPLES / "ns", EXAMPLES / "ps"]
    status, _, err = run(capsys, "fit", *directories)
    assert status == 2 and "needs --out OUTDIR" in err
    status, out_text, err = run(capsys, "fit", *directories, "--out", out)
    assert (status, err) == (0, "")
    document = json.loads((out / "fit-result.json").read_text())
    assert document["global"] and document["directories"] == [str(d) for d in directories]
    assert [p["name"] for p in document["parameters"]][:3] == ["sigma_2", "sigma_4", "tau_24"]
    assert all(p["determined"] for p in document["parameters"])
    assert [m["directory"] for m in document["measurements"]] == [str(d) for d in directories]
    assert all(m["rms"] < 0.01 for m in document["measurements"])
    assert (out / "fit.png").read_bytes()[:4] == b"\x89PNG"
    assert "[[Identifiability]]" in out_text


def test_measurements_read_from_directories_fit_alone_or_together():
    measurements = [tarvo.read_measurement(EXAMPLES / name) for name in ("ns", "ps")]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        alone = tarvo.fit(measurements[0])
        together = tarvo.fit(measurements)
    assert alone.var_names == ["sigma_2", "sigma_4", "tau_24", "focus"]
    # Alone, the ns scan gives sigma_2 an upper limit only: its profile says so.
    found = alone.identifiability
    assert (found.status["sigma_2"], found.method_of("sigma_2")) == ("bounded on one side",
                                                                     "profile")
    low, high = found.intervals["sigma_2"]
    assert low is None and 5e-17 < high < 2e-16
    assert together.var_names[:3] == ["sigma_2", "sigma_4", "tau_24"]
    assert set(together.identifiability.status.values()) == {"determined"}


def test_global_fit_of_directories_with_curves_of_different_lengths(tmp_path, capsys):
    # The ns scan at 5 µJ starts 4 mm later; one ps reading overloaded.
    directories = []
    for name in ("ns", "ps"):
        directory = tmp_path / name
        shutil.copytree(EXAMPLES / name, directory)
        directories.append(directory)
    shorter = directories[0] / "curve-5uJ.csv"
    lines = shorter.read_text().splitlines()
    shorter.write_text("\n".join(lines[:1] + lines[5:]) + "\n")
    overloaded = sorted(directories[1].glob("*.csv"))[0]
    lines = overloaded.read_text().splitlines()
    lines[20] = lines[20].split(",")[0] + ",OVL"
    overloaded.write_text("\n".join(lines) + "\n")
    measurements = [tarvo.read_measurement(d) for d in directories]
    points = [sum(c.positions.size for c in m.curves) for m in measurements]
    assert points == [3 * 61 - 4, 3 * 61 - 1]
    out = tmp_path / "result"
    status, _, err = run(capsys, "fit", *directories, "--out", out)
    assert (status, err) == (0, "")
    document = json.loads((out / "fit-result.json").read_text())
    assert [m["points"] for m in document["measurements"]] == points
    assert all(p["determined"] for p in document["parameters"])
    assert (out / "fit.png").read_bytes()[:4] == b"\x89PNG"
# The global figure: per measurement the curves over the position relative
# to its focus and the residuals (data - model) below, and the fitted values
# with their standard errors in a box of their own.
def test_global_figure_has_residual_panels_and_the_values_box():
    result = tarvo.fit([read_measurement(EXAMPLES / "ns"), read_measurement(EXAMPLES / "ps")],
                       checks="off")
    figure = result.plot("global")
    axes = figure.get_axes()
    assert len(axes) == 2 * len(result.results) + 1
    for k, view in enumerate(result.results):
        curves_axes, residual_axes = axes[2 * k], axes[2 * k + 1]
        assert curves_axes.get_title() == view["label"]
        for curve in range(len(view["pulse_energy"])):
            x, y = residual_axes.lines[curve].get_data()
            assert np.array_equal(x, view["positions"][curve] - view["focus"])
            assert np.array_equal(y, view["data"][curve] - view["model"][curve])
    box = axes[-1].texts[0].get_text()
    for name in result.var_names:
        assert f"{name} = " in box
    assert f"χ²/dof = {result.redchi:.3g}" in box


# A global fit computes no error budget, and says so of a directory that asks for one.
def test_a_global_fit_says_it_computes_no_error_budget(tmp_path, capsys):
    import shutil

    directories = [shutil.copytree(EXAMPLES / name, tmp_path / name) for name in ("ns", "ps")]
    with open(directories[0] / "setup.toml", "a") as stream:
        stream.write("\n[uncertainty]\nw0 = 0.05\n")
    status, out, err = run(capsys, "fit", *directories, "--out", tmp_path / "both")
    assert (status, err) == (0, "")
    assert (f"note: {directories[0]}: [uncertainty] applies to the fit of this directory alone "
            "(tarvo fit DIR); a global fit computes no error budget") in out.splitlines()
    assert f"note: {directories[1]}" not in out
# Two small measurement directories a and b (tests/support/measurement_cases).
@pytest.fixture
def pair(tmp_path):
    directories = []
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        directories.append(make_measurement(tmp_path / name))
    return directories


# Arguments of `tarvo fit` after the directories a and b, and the message of its refusal.
REFUSED_GLOBAL = {
    "same-directory-twice": (["{b}", "--out", "{out}"], "{b} is given twice (also as {b}): a "
                             "global fit takes each measurement once"),
    "same-directory-spelt-twice": (["{b}/.", "--out", "{out}"], "{b}/. is given twice (also as "
                                   "{b}): a global fit takes each measurement once"),
    "out-is-an-input": (["--out", "{a}"], "--out {a} is the measurement directory {a}: the "
                        "global result would replace its own fit-result.json; give another "
                        "directory"),
    "starts": (["--out", "{out}", "--starts", "3"], "--starts applies to the fit of one "
               "directory; a global fit of several starts once, from the start values"),
    "step": (["--out", "{out}", "--step", "1e-4"], "--step applies"),
    "truth": (["--out", "{out}", "--truth", "{a}/setup.toml"], "--truth applies"),
    "conf-interval": (["--out", "{out}", "--conf-interval"], "--conf-interval applies"),
    "bootstrap": (["--out", "{out}", "--bootstrap", "10"], "--bootstrap applies"),
    "relative-to-focus": (["--out", "{out}", "--relative-to-focus"],
                          "--relative-to-focus applies"),
}


@pytest.mark.parametrize("arguments, message", REFUSED_GLOBAL.values(),
                         ids=REFUSED_GLOBAL.keys())
def test_global_fits_refuse_what_they_cannot_do(pair, tmp_path, capsys, arguments, message):
    names = dict(a=pair[0], b=pair[1], out=tmp_path / "out")
    status, out, err = run(capsys, "fit", *pair, *[a.format(**names) for a in arguments])
    assert status == 2 and out == ""
    assert err.startswith(f"tarvo: error: {message.format(**names)}") and err.count("\n") == 1
    assert not (tmp_path / "out" / "fit-result.json").exists()
    assert not (pair[0] / "fit-result.json").exists()


def test_a_global_fit_into_a_busy_directory_is_refused(pair, tmp_path, capsys):
    out = tmp_path / "out"
    out.mkdir()
    with result_directory_lock(out, "tarvo fit X"):
        status, _, err = run(capsys, "fit", *pair, "--out", out)
    assert status == 2
    assert err.startswith(f"tarvo: error: {out}: another tarvo fit (tarvo fit X, pid ")
    assert not (out / "fit-result.json").exists()


# Replace text in a directory's setup.toml.
def edit_setup(directory, old, new):
    path = directory / "setup.toml"
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, 1))


# Each directory's held values are its own; shared fitted parameters start
# at one value within one set of bounds, or the fit is refused naming them.
def test_each_directory_keeps_its_own_held_values(pair, tmp_path, capsys):
    documents = []
    for k, held in enumerate(("2e-9", "8e-9")):
        edit_setup(pair[1], f"tau_21 = {'2e-9' if k == 0 else '2e-9'}", f"tau_21 = {held}")
        status, _, err = run(capsys, "fit", *pair, "--out", tmp_path / f"out{k}")
        assert status == 0, err
        documents.append(json.loads((tmp_path / f"out{k}" / "fit-result.json").read_text()))
        edit_setup(pair[1], f"tau_21 = {held}", "tau_21 = 2e-9")
    values = [document["parameters"][0]["value"] for document in documents]
    assert values[0] != values[1]
    assert documents[0]["chi2"] != documents[1]["chi2"]


@pytest.mark.parametrize("old, new, message", [
    ("sigma_1 = 6e-18", "sigma_1 = 7e-18", "sigma_1 starts at 6e-18 in a and at 7e-18 in b: a "
     "shared parameter has one start value"),
    ("n_starts = 1", "n_starts = 1\n\n[bounds]\nsigma_1 = [1e-19, 1e-16]",
     "sigma_1 has other bounds in b than in a: a shared parameter has one set of bounds"),
], ids=["start-value", "bounds"])
def test_a_mismatch_of_shared_parameters_is_refused_naming_it(pair, tmp_path, capsys, old,
                                                              new, message):
    edit_setup(pair[1], old, new)
    status, _, err = run(capsys, "fit", *pair, "--out", tmp_path / "out")
    assert (status, err) == (2, f"tarvo: error: {message}\n")
