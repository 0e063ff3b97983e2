"""Smoke test of an installed wheel: version, bundled libraries, a simulation and a fit.

Run with the interpreter of the environment the wheel went into, from a
directory outside the source tree, with a copy of examples/rsa-532nm as the
argument. Exit status 0 when everything holds; the first failure otherwise.
"""

import importlib.metadata
import json
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

# Libraries the modules link that a colleague's machine may lack: each must
# come from inside the installed wheel, not from the system.
BUNDLED = ("libminpack", "libgfortran", "libgomp")


# Run a command; its stdout, or exit with its output when it fails.
def run(*command, **env):
    done = subprocess.run(command, capture_output=True, text=True,
                          env=dict(os.environ, **env))
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout


# The libraries of each extension module must resolve inside site-packages.
def check_bundled_libraries():
    site = Path(sysconfig.get_paths()["platlib"])
    modules = sorted(site.glob("tarvo_wrapper*.so")) + sorted(site.glob("tarvo/_native*.so"))
    assert len(modules) == 2, f"expected two extension modules, found {modules}"
    for module in modules:
        resolved = {}
        for line in run("ldd", str(module)).splitlines():
            name, _, target = line.strip().partition(" => ")
            resolved[name] = target.split(" (")[0]
        for wanted in BUNDLED:
            hits = [target for name, target in resolved.items() if name.startswith(wanted)]
            assert hits, f"{module.name} does not link {wanted}"
            assert all(target.startswith(str(site)) for target in hits), \
                f"{module.name}: {wanted} resolves outside the wheel: {hits}"
        print(f"{module.name}: {', '.join(BUNDLED)} bundled")


def main(directory):
    import tarvo
    version = importlib.metadata.version("tarvo")
    assert tarvo.__version__ == version, (tarvo.__version__, version)
    assert run("tarvo", "--version").strip() == f"tarvo {version}"
    print(f"tarvo {version}, numpy {importlib.metadata.version('numpy')}, matplotlib "
          f"{importlib.metadata.version('matplotlib')}")
    check_bundled_libraries()

    # A cheap version of the example: small grids (the established model of
    # the lsoda engine needs them given), one start.
    setup = Path(directory, "setup.toml")
    text = setup.read_text()
    assert "[model]" not in text, "the example now sets [model]: adapt this check"
    setup.write_text(text.replace("[[curve]]", "[model]\nt_slices = 4\nz_slices = 3\n\n[[curve]]",
                                  1))
    run("tarvo", "simulate", directory, "--points", "21", "--out", "planned")
    assert Path("planned/simulation.csv").read_text().count("\n") > 21
    # Both engines: the exact one (the default) and fit_zscan's.
    # (fit_zscan shifts its curves: the example's far-field data are fitted
    # with that convention by choice.)
    for engine, normalisation in (("exact", "far-field"), ("lsoda", "shift")):
        out = f"result-{engine}"
        run("tarvo", "fit", directory, "--starts", "1", "--engine", engine, "--out", out,
            "--normalisation", normalisation, OMP_NUM_THREADS="2")
        result = json.loads(Path(out, "fit-result.json").read_text())
        assert result["tarvo_version"] == version and result["engine"] == engine
        fitted = {p["name"]: p["value"] for p in result["parameters"] if p["fitted"]}
        assert all(value > 0 for value in fitted.values()), fitted
        print(f"fit ({engine}): chi^2 {result['chi2']:.4g}, {fitted}")
    print("wheel check passed")


if __name__ == "__main__":
    main(sys.argv[1])
