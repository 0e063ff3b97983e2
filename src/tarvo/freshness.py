"""Whether a result still belongs to its inputs, decided by digests, never by times.

fit-result.json records, under "digests", the SHA-256 of every input file as
the fit read it, the SHA-256 of the settings that change a fit (engine,
model, starts, difference step, weights, normalisation, intervals asked for,
figure format, tarvo version) and the SHA-256
of every other file the run wrote (the figure). A result is up to date when
all three still match; a result whose inputs changed while it was being
fitted is written with "stale" set, and is never up to date.
"""

import hashlib
import json
from pathlib import Path

from .files import read_input_bytes, sha256
from .errors import InputError

# Key of the digests in the result document, and of the stale mark.
DIGESTS_KEY = "digests"
STALE_KEY = "stale"

# Largest input file re-read to check its digest (the largest curve file).
MAX_INPUT_BYTES = 32 * 1024 * 1024

# Largest output file re-read to check its digest (a figure).
MAX_OUTPUT_BYTES = 256 * 1024 * 1024


# The settings of a fit that change its result, besides its input files
# (`more`: further options of the run by name, JSON values).
def fit_settings(engine, model, n_starts, rel_step, figure_format, version, **more):
    return {"engine": engine, "model": model, "n_starts": n_starts,
            "standard_error_step": rel_step if engine == "lsoda" else None,
            "figure_format": figure_format, "tarvo_version": version, **more}


# SHA-256 of a settings dict (canonical JSON).
def settings_digest(settings):
    text = json.dumps(settings, sort_keys=True, separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


# The recorded form of input files (tarvo.measurement.InputFile): files of the
# measurement directory by their name in it, others by their absolute path.
def input_entries(directory, input_files):
    directory = Path(directory).resolve()
    entries = []
    for item in input_files:
        path = Path(item.path).resolve()
        name = str(path.relative_to(directory)) if path.is_relative_to(directory) else str(path)
        entries.append({"role": item.role, "file": name, "sha256": item.sha256})
    return entries


# The "digests" section of a result document.
def digests_section(inputs, settings, outputs):
    return {"inputs": inputs, "settings": settings_digest(settings), "outputs": outputs}


# SHA-256 of a file's current bytes, or None when it cannot be read.
def current_digest(path, limit=MAX_INPUT_BYTES):
    try:
        return sha256(read_input_bytes(path, limit, "larger than any input of a fit"))
    except InputError:
        return None


# The recorded inputs whose files now hold other bytes (or are gone).
def changed_inputs(directory, entries):
    directory = Path(directory)
    return [entry["file"] for entry in entries
            if current_digest(directory / entry["file"]) != entry["sha256"]]


# Why `document` (read from `directory`) is not an up-to-date result of a
# fit with `inputs` (entries as input_entries makes them, digests of the
# files now) and `settings`; None when it is.
def outdated_reason(document, directory, inputs, settings):
    recorded = document.get(DIGESTS_KEY)
    if not isinstance(recorded, dict):
        return "the result records no digests of its inputs"
    if document.get(STALE_KEY):
        return "the inputs changed while it was fitted"
    if recorded.get("inputs") != inputs:
        return "an input file changed"
    if recorded.get("settings") != settings_digest(settings):
        return "the settings changed"
    outputs = recorded.get("outputs")
    if not isinstance(outputs, dict):
        return "the result records no digests of its outputs"
    for name, digest in outputs.items():
        if current_digest(Path(directory) / name, MAX_OUTPUT_BYTES) != digest:
            return f"{name} is missing or not the one the result wrote"
    return None
