"""Where a result came from: program versions, command line, time and input files."""

import platform
import shlex
import sys
from datetime import datetime, timezone

import numpy as np


# The installed tarvo version (from the package metadata).
def tarvo_version():
    from . import __version__
    return __version__


# The record of one run: what ran, how it was called, when, on which inputs.
def provenance(argv, input_files, engine=None, model=None):
    """argv: the tool's arguments (without the program name); input_files:
    InputFile records (role, path, SHA-256 of the bytes read)."""
    record = {
        "tarvo_version": tarvo_version(),
        "command_line": shlex.join(["tarvo", *argv]),
        "created_utc": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "platform": platform.platform(),
        "executable": sys.executable,
        "inputs": [f.as_dict() for f in input_files],
    }
    if engine is not None:
        record["engine"] = engine
    if model is not None:
        record["model"] = model
    return record
