"""Global fits: picosecond and nanosecond scans of one molecule fix together
what neither fixes alone."""

import json
import warnings
from pathlib import Path

import numpy as np
import pytest

import tarvo
from tarvo.global_fit import GlobalMember, fit_global, global_name

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
        assert alone.identifiability.undetermined, one.label
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
    assert together.misfits == []
