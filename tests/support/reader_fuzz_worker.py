"""The worker side of the readers' fuzz test: the persistent worker of
fit_zscan_fuzz_worker (same protocol, same crash and hang reports), serving
calls of the toolkit's readers instead of fit_zscan.

A call is a dict {"reader": "curve" or "setup", "data": bytes}: the bytes are
written as a curve file (read by read_curve_file) or as setup.toml beside two
valid curve files (read by read_measurement and checked by prepare_fit, as
`tarvo fit` does before it fits). Three more readers serve the surfaces of
global fits and plans: "result" (the bytes as a fit-result.json, read by
FitResult.load), "candidates" (the bytes as a --candidates file, read for the
valid measurement by read_candidates) and "global" ({"directories": [...],
"out": ...}: names relative to a folder of valid measurements, prepared as
`tarvo fit DIR... --out OUT` prepares them, up to the fit)."""

import shutil
import tempfile
from pathlib import Path

import numpy as np

from fit_zscan_fuzz_worker import FuzzWorker, answer_calls, start_worker

# Prefix of the directory the worker writes its files into.
DIRECTORY_PREFIX = "tarvo-reader-fuzz-"


# The two valid curve files of the tests' measurement directory, by name, for
# the set-up calls.
def valid_curves():
    from measurement_cases import ENERGIES, POSITIONS, noisy_curves

    return {name: "".join(f"{float(x)!r},{float(y)!r}\n" for x, y in zip(POSITIONS, row))
            for name, row in zip(ENERGIES, noisy_curves())}


def _summary_of_curve(data):
    return {"positions": data.positions.tolist(), "transmittance": data.transmittance.tolist(),
            "sigma": None if data.sigma is None else data.sigma.tolist()}


def run_reader_call(call, directory, curves):
    """Make `call` in `directory` (`curves`: the valid curve files' texts by
    name); a dict that says how it ended."""
    from tarvo.directory_fit import prepare_fit
    from tarvo.curve_file import read_curve_file

    for entry in directory.iterdir():
        if entry.is_dir():
            shutil.rmtree(entry)
        else:
            entry.unlink()
    try:
        if call["reader"] in ("result", "candidates", "global"):
            result = _run_new_surface(call, directory, curves)
        elif call["reader"] == "curve":
            path = directory / "curve.csv"
            path.write_bytes(call["data"])
            result = _summary_of_curve(read_curve_file(path))
        else:
            (directory / "setup.toml").write_bytes(call["data"])
            for name, text in curves.items():
                (directory / name).write_text(text)
            request = prepare_fit(directory)
            result = {"fit_names": list(request.measurement.fit_names),
                      "n_starts": request.n_starts, "engine": request.engine,
                      "model": request.model}
    except Exception as error:  # every exception is the property's business
        return {"kind": "raised", "type": type(error).__name__, "message": str(error)[:2000]}
    return {"kind": "returned", "result": result}


# The measurement directories of the "global" calls, in `folder`: a and b
# valid and alike, c starting sigma_1 elsewhere, d holding tau_21 elsewhere,
# and a plain file.
def _global_folder(folder, curves):
    from measurement_cases import SETUP_TOML

    texts = {"a": SETUP_TOML, "b": SETUP_TOML,
             "c": SETUP_TOML.replace("sigma_1 = 6e-18", "sigma_1 = 7e-18"),
             "d": SETUP_TOML.replace("tau_21 = 2e-9", "tau_21 = 5e-9")}
    for name, text in texts.items():
        (folder / name).mkdir()
        (folder / name / "setup.toml").write_text(text)
        for file, curve in curves.items():
            (folder / name / file).write_text(curve)
    (folder / "file.txt").write_text("not a directory\n")


def _run_new_surface(call, directory, curves):
    from measurement_cases import SETUP_TOML
    from tarvo.global_directory_fit import prepare_global_fit
    from tarvo.global_fit import member_of
    from tarvo.planning import read_candidates
    from tarvo.measurement_directory import read_measurement
    from tarvo.results import FitResult

    if call["reader"] == "result":
        path = directory / "fit-result.json"
        path.write_bytes(call["data"])
        loaded = FitResult.load(path)
        return {"var_names": list(loaded.var_names), "success": loaded.success}
    if call["reader"] == "candidates":
        (directory / "setup.toml").write_text(SETUP_TOML)
        for name, text in curves.items():
            (directory / name).write_text(text)
        path = directory / "candidates.toml"
        path.write_bytes(call["data"])
        member = member_of(read_measurement(directory), "energy")
        candidates = read_candidates(path, member)
        return {"count": len(candidates),
                "arguments": [{**{key: np.ravel(getattr(candidate.setup, key)).tolist() for key in
                                  ("tau", "wavelength", "w0", "sample_width", "M2",
                                   "populations")},
                               "pulse_energy": list(candidate.pulse_energy)}
                              for candidate in candidates]}
    _global_folder(directory, curves)
    names = [str(directory / name) for name in call["directories"]]
    prepared = prepare_global_fit(names, directory / call["out"])
    return {"directories": [str(request.measurement.directory.resolve())
                            for request in prepared.requests],
            "out": str(prepared.out.resolve())}


def serve():
    """Worker main loop: answer reader calls until stdin closes."""
    answers = start_worker()
    import tarvo.cli  # noqa: F401  (imported once, before the first call)

    directory = Path(tempfile.mkdtemp(prefix=DIRECTORY_PREFIX))
    curves = valid_curves()
    try:
        answer_calls(answers, lambda call: run_reader_call(call, directory, curves))
    finally:
        shutil.rmtree(directory, ignore_errors=True)


class ReaderFuzzWorker(FuzzWorker):
    """FuzzWorker whose process serves reader calls."""

    SERVER_MODULE = "reader_fuzz_worker"
