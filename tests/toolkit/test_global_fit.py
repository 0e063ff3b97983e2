"""Global fits: picosecond and nanosecond scans of one molecule fix together
what neither fixes alone."""

import json
import shutil
import warnings
from pathlib import Path

import numpy as np
import pytest

import tarvo
from tarvo.global_fit import GlobalMember, fit_global, global_name
from tarvo.measurement import read_measurement

from measurement_cases import run

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
    for one in members:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            alone = tarvo.fit(params=start_params(), **one.arguments)
        assert "not determined" in alone.identifiability.status.values(), one.label
    together = fit_global(members, start_params())
    assert together.var_names == ["sigma_2", "sigma_4", "tau_24", "focus@ns", "focus@ps"]
    assert set(together.identifiability.status.values()) == {"determined"}
    for name, index in (("sigma_2", 1), ("sigma_4", 2), ("tau_24", 4)):
        assert abs(together.values[name] - TRUE[index]) < 3 * together.stderr[name], name
    # Each measurement weighted by its own noise, estimated from its residuals.
    for record in together.members:
        assert record["noise"] == pytest.approx(0.005, rel=0.25)
    assert together.redchi == pytest.approx(1.0, abs=0.1)


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
    assert alone.identifiability.status["sigma_2"] == "not determined"
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
