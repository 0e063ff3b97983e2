"""Closed-aperture measurements through the command line: the set-up keys
([[curve]] aperture and divided_by_open, [start] beta and n2), tarvo simulate
writing closed curves, and tarvo fit DIR recovering beta and n2 from open and
closed curves fitted together; the report's literature units and classic
closed-aperture numbers."""

import json
import math

import numpy as np
import pytest

import tarvo
from tarvo.engine import ModelHandle
from tarvo.normalisation import Normalisation

from measurement_cases import run

# A semiconductor-like sample at 532 nm, 20 ps: no excited-state model.
SETUP = """[beam]
wavelength = 5.32e-7
w0 = 2e-5
M2 = 1.0
tau = 2e-11

[sample]
sample_width = 0.1
absorbance = 0.02
{curves}
[start]
{start}

[fit]
parameters = {fitted}
n_starts = 1
{focus}
"""

CURVES = [("open-50nJ.csv", 5e-8, None, False), ("open-100nJ.csv", 1e-7, None, False),
          ("closed-50nJ.csv", 5e-8, 0.3, False), ("closed-100nJ.csv", 1e-7, 0.3, False),
          ("ratio-100nJ.csv", 1e-7, 0.3, True)]


def curve_tables(curves):
    text = ""
    for name, energy, aperture, divided in curves:
        text += f"\n[[curve]]\nfile = \"{name}\"\npulse_energy = {energy!r}\n"
        if aperture is not None:
            text += f"aperture = {aperture!r}\n"
        if divided:
            text += "divided_by_open = true\n"
    return text


# The focus where the data were made (else the fit takes the extreme of the
# noisy data), or fitted.
def write_setup(directory, start, fitted, curves=CURVES, focus="focus_mm = 0.0"):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "setup.toml").write_text(SETUP.format(
        curves=curve_tables(curves), start=start, fitted=json.dumps(fitted), focus=focus))


@pytest.mark.parametrize("truth, start, curves", [
    # A Kerr medium: closed curves alone carry n2 (open ones stay flat).
    ({"n2": 8e-18}, {"n2": 5e-18}, CURVES[2:]),
    # A two-photon absorber with negative n2: open and closed curves together.
    ({"beta": 5e-11, "n2": -6e-18}, {"beta": 3e-11, "n2": -9e-18}, CURVES),
], ids=["kerr", "two-photon-self-defocusing"])
def test_noise_free_closed_and_open_curves_return_beta_and_n2(tmp_path, capsys, truth, start,
                                                              curves):
    source, measured = tmp_path / "setup", tmp_path / "measured"
    fitted = list(truth)
    write_setup(source, "\n".join(f"{k} = {v!r}" for k, v in truth.items()), fitted, curves)
    status, out, err = run(capsys, "simulate", source, "--measurement", measured)
    assert status == 0, err
    # The measurement's set-up starts elsewhere; nothing else changes.
    # The focus from the data: the open curves' dip, or the middle between the
    # closed curves' peak and valley where the open ones stay flat.
    write_setup(measured, "\n".join(f"{k} = {v!r}" for k, v in start.items()), fitted, curves,
                focus="")
    status, out, err = run(capsys, "fit", measured)
    assert status == 0, err
    document = json.loads((measured / "fit-result.json").read_text())
    values = {p["name"]: p["value"] for p in document["parameters"]}
    for name, value in truth.items():
        assert values[name] == pytest.approx(value, rel=2e-3)
    literature = next(line for line in out.splitlines() if line.startswith("in the literature"))
    assert f"n2 = {values['n2'] * 1e4:.4g} cm^2/W" in literature
    # The classic numbers of each closed curve: the peak before the valley
    # for n2 < 0, about 1.7 Rayleigh ranges apart.
    closed = document["closed_aperture"]
    assert [c["file"] for c in closed] == [c[0] for c in curves if c[2] is not None]
    for entry in closed:
        assert math.copysign(1.0, entry["mean_on_axis_phase_rad"]) == math.copysign(1.0,
                                                                                 truth["n2"])
        assert 1.4 < entry["peak_valley_separation_z_R"] < 2.1
        assert entry["peak_on_axis_phase_rad"] == pytest.approx(
            math.sqrt(2.0) * entry["mean_on_axis_phase_rad"], rel=1e-12)


def test_standard_errors_cover_the_truth_with_half_a_percent_of_noise(tmp_path, capsys):
    source = tmp_path / "setup"
    truth = {"beta": 5e-11, "n2": -6e-18}
    write_setup(source, "beta = 5e-11\nn2 = -6e-18", list(truth))
    deviations = []
    for seed, focus in [(1, "focus_mm = 0.0"), (2, "focus_mm = 0.0"), (3, "fit_focus = true")]:
        # Each replicate in a directory of its own (simulate writes only into an empty one).
        measured = tmp_path / f"measured-{seed}"
        status, _, err = run(capsys, "simulate", source, "--measurement", measured, "--noise",
                             "0.005", "--seed", seed)
        assert status == 0, err
        write_setup(measured, "beta = 3e-11\nn2 = -9e-18", list(truth), focus=focus)
        status, _, err = run(capsys, "fit", measured)
        assert status == 0, err
        document = json.loads((measured / "fit-result.json").read_text())
        # A finer grid of the same closed-aperture model moves nothing much:
        # the standard errors are the data's, no model error added.
        assert document["model_error"]["within_limit"], document["notes"]
        for p in document["parameters"]:
            if p["fitted"] and p["name"] in truth:
                deviations.append((p["value"] - truth[p["name"]]) / p["standard_error"])
    assert np.all(np.abs(deviations) < 3.5)
    assert 0.2 < np.sqrt(np.mean(np.square(deviations))) < 2.0


@pytest.mark.parametrize("curve, start, fitted, message", [
    ('aperture = 0.0', "n2 = 1e-18", ["n2"], "aperture must be a number in (0, 1]"),
    ('aperture = 1.5', "n2 = 1e-18", ["n2"], "aperture must be a number in (0, 1]"),
    ('aperture = "small"', "n2 = 1e-18", ["n2"], "aperture must be a number in (0, 1]"),
    ('divided_by_open = true', "n2 = 1e-18", ["n2"],
     "divided_by_open = true needs a closed aperture (aperture < 1)"),
    ('aperture = 0.5', "n2 = 1e-18", ["beta"], "beta is fitted and needs a start value"),
    ('aperture = 0.5', "n2 = 0.0", ["n2"], "[start] n2 is fitted and must not be 0"),
    ('aperture = 0.5', "beta = -1e-11", ["beta"], "[start]: beta must be at least 0 (m/W)"),
], ids=["zero", "above-one", "text", "divided-open", "no-start", "zero-start", "negative-beta"])
def test_closed_aperture_keys_are_checked(tmp_path, capsys, curve, start, fitted, message):
    directory = tmp_path / "m"
    write_setup(directory, start, fitted, [])
    text = (directory / "setup.toml").read_text().replace(
        "[start]", f'[[curve]]\nfile = "c.csv"\npulse_energy = 1e-7\n{curve}\n\n[start]')
    (directory / "setup.toml").write_text(text)
    (directory / "c.csv").write_text("\n".join(f"{z},1.0" for z in np.linspace(-20, 20, 41)))
    status, out, err = run(capsys, "fit", directory)
    assert status == 2
    assert len(err.strip().splitlines()) == 1 and message in err


def test_an_aperture_of_one_is_the_open_aperture_to_the_bit():
    x = np.array([np.linspace(-10.0, 10.0, 21)] * 2)
    setup = tarvo.Setup.of([6e17, 0, 0, 0, 0], sample_width=0.1, tau=4e-9, wavelength=532e-9,
                           w0=20e-6, M2=1.2)
    beam = dict(model="energy", normalisation=Normalisation())
    pars = [4e-18, 2e-17, 6e-17, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]
    plain = ModelHandle(x, [5e-6, 1e-5], setup, **beam)
    open_aperture = ModelHandle(x, [5e-6, 1e-5], setup, aperture=[1.0, 1.0], **beam)
    a = plain.curves(pars, 0.3, (1, 8))
    b = open_aperture.curves(pars, 0.3, (1, 8), optics=[0.0] * 6)
    assert a[0].tobytes() == b[0].tobytes() and a[1].tobytes() == b[1].tobytes()
    # tarvo.fit with open apertures gives the same fit as without.
    y = a[0] * (1.0 + 0.002 * np.sin(np.arange(x.size)).reshape(x.shape))
    params = tarvo.Parameters.from_spec_pars(pars, vary=["sigma_2"])
    first = tarvo.fit(x, y, [5e-6, 1e-5], params, checks="off", setup=setup)
    second = tarvo.fit(x, y, [5e-6, 1e-5], params, checks="off", aperture=[1.0, 1.0], setup=setup)
    assert first.best_fit.tobytes() == second.best_fit.tobytes()
    assert first.params["sigma_2"].value == second.params["sigma_2"].value


def test_divided_curves_are_closed_over_open_at_each_position():
    x = np.array([np.linspace(-20.0, 20.0, 41)] * 3)
    setup = tarvo.Setup.of([1e22, 0, 0, 0, 0], sample_width=0.1, tau=2e-11, wavelength=532e-9,
                           w0=20e-6, M2=1.0)
    beam = dict(model="energy", normalise=False)
    optics = [5e-11, -6e-18, 0, 0, 0, 0]
    pars = [4e-23, 0, 0] + [1e-9] * 5
    energies = [1e-7, 1e-7, 1e-7]
    separate = ModelHandle(x, energies, setup, aperture=[1.0, 0.3, 0.3], **beam)
    divided = ModelHandle(x, energies, setup, aperture=[1.0, 0.3, 0.3],
                          divided=[False, False, True], **beam)
    curves, jacobian = separate.curves(pars, 0.0, (9, 10), optics=optics)
    ratio, ratio_jacobian = divided.curves(pars, 0.0, (9, 10), optics=optics)
    assert np.array_equal(ratio[:2], curves[:2])
    assert np.allclose(ratio[2], curves[1] / curves[0], rtol=1e-14, atol=0)
    expected = (jacobian[1] - (curves[1] / curves[0])[:, None] * jacobian[0]) / curves[0][:, None]
    assert np.allclose(ratio_jacobian[2], expected, rtol=1e-12, atol=0)


# The bootstrap refits closed curves as closed curves: modelled as open, n2
# would not move them, and every replicate would return the fitted value (a
# spread of 0 reported as the uncertainty).
def test_a_bootstrap_of_closed_curves_refits_them_closed():
    setup = tarvo.Setup.of([1e22, 0, 0, 0, 0], sample_width=0.1, tau=2e-11, wavelength=532e-9,
                           w0=20e-6, M2=1.0)
    pars = [4e-23, 0, 0] + [1e-9] * 5
    x, energies, aperture = np.linspace(-20.0, 20.0, 31), [1e-7, 1e-7, 5e-8], [1.0, 0.3, 0.3]
    clean = tarvo.simulate(x, energies, pars, setup=setup, aperture=aperture, optics={"n2": 8e-18})
    y = clean * (1 + 0.005 * np.random.default_rng(5).standard_normal(clean.shape))
    params = tarvo.Parameters.from_spec_pars(pars, vary=[])
    params.add("n2", 5e-18, vary=True)
    params.add("focus", 0.0, vary=False)
    result = tarvo.fit(x, y, energies, params, setup=setup, aperture=aperture, checks="off",
                       identifiability="linearised")
    n2, error = result.values["n2"], result.params["n2"].stderr
    spread = result.bootstrap(6, seed=2)
    assert spread.failures == ()
    assert np.all(np.abs(spread.values[:, 0] - n2) < 5.0 * error)
    assert np.std(spread.values[:, 0]) > 0.3 * error


# A stage that counts against the beam: the same scan with its positions
# negated, declared so, fits to the same values; the peak and valley of a
# closed curve tell the sign of n2 only on the model's axis.
def test_a_stage_moving_against_the_beam_is_declared_and_fits_alike(tmp_path, capsys):
    source, along, against = tmp_path / "setup", tmp_path / "along", tmp_path / "against"
    truth = {"beta": 5e-11, "n2": -6e-18}
    write_setup(source, "beta = 5e-11\nn2 = -6e-18", list(truth))
    status, _, err = run(capsys, "simulate", source, "--measurement", along)
    assert status == 0, err
    write_setup(along, "beta = 3e-11\nn2 = -9e-18", list(truth))
    write_setup(against, "beta = 3e-11\nn2 = -9e-18", list(truth))
    with open(against / "setup.toml", "a") as stream:
        stream.write('\n[data]\nstage_direction = "against-beam"\n')
    for name, *_ in CURVES:
        lines = (along / name).read_text().splitlines()
        rows = [line.split(",") for line in lines if line and line[0] in "-0123456789"]
        (against / name).write_text("position (mm),transmittance\n" + "\n".join(
            f"{-float(z)!r},{t}" for z, t in rows) + "\n")
    values = []
    for directory in (along, against):
        status, _, err = run(capsys, "fit", directory)
        assert status == 0, err
        document = json.loads((directory / "fit-result.json").read_text())
        values.append({p["name"]: p["value"] for p in document["parameters"]})
    assert document["data"]["stage_direction"] == "against-beam"
    for name in truth:
        assert values[1][name] == pytest.approx(values[0][name], rel=1e-9)
        assert values[1][name] == pytest.approx(truth[name], rel=2e-3)
    (against / "setup.toml").write_text((against / "setup.toml").read_text().replace(
        '"against-beam"', '"backwards"'))
    status, _, err = run(capsys, "fit", against)
    assert status == 2 and "stage_direction must be one of 'along-beam', 'against-beam'" in err


# A small closed-aperture fit of beta and n2 (coarse grid: seconds): open,
# closed and closed-divided-by-open curves of a two-photon absorber.
@pytest.fixture(scope="module")
def closed_fit():
    x = np.array([np.linspace(-20.0, 20.0, 41)] * 3)
    setup = dict(populations=[1e22, 0, 0, 0, 0], sample_width=0.1, tau=2e-11, wavelength=532e-9,
                 w0=20e-6, M2=1.0, t_slices=3, z_slices=2, radial_points=20, intensity_points=8)
    pars = [4e-23, 0, 0] + [1e-9] * 5
    closed = dict(aperture=[1.0, 0.3, 0.3], divided_by_open=[False, False, True])
    y = tarvo.simulate(x, [1e-7] * 3, pars, optics={"beta": 5e-11, "n2": -6e-18}, **closed,
                       **setup)
    params = tarvo.Parameters.from_spec_pars(pars)
    params.add("beta", 3e-11)
    params.add("n2", -9e-18)
    y = y * (1.0 + 0.001 * np.sin(np.arange(y.size)).reshape(y.shape))
    return tarvo.fit(x, y, [1e-7] * 3, params, checks="off", **closed, **setup)


# A saved closed-aperture result loads with its optical parameters and each
# curve's aperture: the model lines and eval are the original's to the bit.
def test_a_saved_closed_aperture_fit_loads_with_its_optics_and_apertures(tmp_path, closed_fit):
    closed_fit.save(tmp_path / "fit.json")
    loaded = tarvo.FitResult.load(tmp_path / "fit.json")
    assert loaded.var_names == closed_fit.var_names == ["beta", "n2"]
    assert loaded.values == closed_fit.values and loaded.stderr == closed_fit.stderr
    assert loaded.optics == closed_fit.optics
    assert (loaded.aperture, loaded.divided_by_open) == ([1.0, 0.3, 0.3], [False, False, True])
    assert loaded.fit_report() == closed_fit.fit_report()
    for k in range(3):
        assert loaded.model_line(k)[1].tobytes() == closed_fit.model_line(k)[1].tobytes()
    x = np.linspace(-20.0, 20.0, 41)
    assert loaded.eval(x, 1e-7).tobytes() == closed_fit.eval(x, 1e-7).tobytes()
    # The closed curves are not the open one: the aperture is what draws them.
    assert not np.allclose(loaded.model_line(1)[1], loaded.model_line(0)[1], rtol=1e-3)


@pytest.mark.parametrize("curve, key, message", [
    ({"aperture": 0.0}, "aperture", "must be a number in (0, 1], got 0.0"),
    ({"aperture": 1.5}, "aperture", "must be a number in (0, 1], got 1.5"),
    ({"aperture": "small"}, "aperture", "must be a number in (0, 1], got 'small'"),
    ({"aperture": True}, "aperture", "must be a number in (0, 1], got True"),
    ({"divided_by_open": "yes"}, "divided_by_open", "must be true or false, got 'yes'"),
    ({"aperture": 1.0}, "divided_by_open",
     "must be false for an open aperture (aperture 1), got True"),
], ids=["zero", "above-one", "text", "boolean", "divided-text", "divided-open"])
def test_a_malformed_aperture_in_a_result_names_the_key(tmp_path, closed_fit, curve, key,
                                                        message):
    path = tmp_path / "fit.json"
    closed_fit.save(path)
    document = json.loads(path.read_text())
    document["curves"][2].update(curve)
    path.write_text(json.dumps(document))
    with pytest.raises(ValueError) as caught:
        tarvo.FitResult.load(path)
    assert str(caught.value) == f"{path}: curves[2].{key} {message}"


# Results written before the curves recorded their aperture are open-aperture ones.
def test_a_result_without_apertures_loads_as_open(tmp_path, closed_fit):
    path = tmp_path / "fit.json"
    closed_fit.save(path)
    document = json.loads(path.read_text())
    for entry in document["curves"]:
        del entry["aperture"], entry["divided_by_open"]
    path.write_text(json.dumps(document))
    loaded = tarvo.FitResult.load(path)
    assert loaded.aperture is None and loaded.divided_by_open is None
    assert loaded.model_line(1)[1].tobytes() == loaded.model_line(0)[1].tobytes()


# tarvo fit DIR's fit-result.json loads with the closed curves it fitted: the
# loaded model lines are the ones the file drew.
def test_the_result_file_of_tarvo_fit_loads_with_its_closed_curves(tmp_path, capsys):
    source, measured = tmp_path / "setup", tmp_path / "measured"
    coarse = "\n[model]\nt_slices = 3\nz_slices = 2\nradial_points = 20\nintensity_points = 8\n"
    write_setup(source, "beta = 5e-11\nn2 = -6e-18", ["beta", "n2"])
    with open(source / "setup.toml", "a") as setup:
        setup.write(coarse)
    status, _, err = run(capsys, "simulate", source, "--measurement", measured)
    assert status == 0, err
    write_setup(measured, "beta = 3e-11\nn2 = -9e-18", ["beta", "n2"])
    with open(measured / "setup.toml", "a") as setup:
        setup.write(coarse)
    status, _, err = run(capsys, "fit", measured)
    assert status == 0, err
    document = json.loads((measured / "fit-result.json").read_text())
    loaded = tarvo.FitResult.load(measured / "fit-result.json")
    rows = {p["name"]: p for p in document["parameters"]}
    for name in ("beta", "n2"):
        p = loaded.params[name]
        assert (p.value, p.stderr, p.vary) == (rows[name]["value"], rows[name]["standard_error"],
                                               True)
    assert loaded.aperture == [c[2] or 1.0 for c in CURVES]
    assert loaded.divided_by_open == [c[3] for c in CURVES]
    for k, entry in enumerate(document["curves"]):
        positions, values = loaded.model_line(k)
        assert np.array_equal(positions, entry["model_line"]["positions_mm"])
        assert np.allclose(values, entry["model_line"]["transmittance"], rtol=0, atol=1e-12)
