"""The worker side of the readers' fuzz test: the persistent worker of
fit_zscan_fuzz_worker (same protocol, same crash and hang reports), serving
calls of the toolkit's readers instead of fit_zscan.

A call is a dict {"reader": "curve" or "setup", "data": bytes}: the bytes are
written as a curve file (read by read_curve_file) or as setup.toml beside two
valid curve files (read by read_measurement and checked by prepare_fit, as
`tarvo fit` does before it fits)."""

import tempfile
from pathlib import Path

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
        entry.unlink()
    try:
        if call["reader"] == "curve":
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


def serve():
    """Worker main loop: answer reader calls until stdin closes."""
    answers = start_worker()
    import tarvo.cli  # noqa: F401  (imported once, before the first call)

    directory = Path(tempfile.mkdtemp(prefix=DIRECTORY_PREFIX))
    curves = valid_curves()
    try:
        answer_calls(answers, lambda call: run_reader_call(call, directory, curves))
    finally:
        for entry in directory.iterdir():
            entry.unlink()
        directory.rmdir()


class ReaderFuzzWorker(FuzzWorker):
    """FuzzWorker whose process serves reader calls."""

    SERVER_MODULE = "reader_fuzz_worker"
