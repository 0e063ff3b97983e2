"""Sphinx configuration of tarvo's documentation (make docs)."""

import shutil
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "tarvo"
author = "The tarvo developers"
copyright = "the tarvo developers"

try:
    from tarvo import __version__ as release
except ImportError:  # the docs describe the installed package
    raise SystemExit("make docs needs tarvo installed (make install)") from None
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinxarg.ext",
    # MyST Markdown (the README) and Jupyter notebooks, executed while the docs build.
    "myst_nb",
    "tarvo_run",
]

# NumPy-style docstrings only.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
autodoc_member_order = "bysource"
autodoc_typehints = "none"

# Options are typed as written: "--force" must not become an en dash
# (Sphinx's smart quotes turn "--" into one), or copied commands fail.
# Quotes and ellipses are still typeset.
smartquotes_action = "qe"

source_suffix = {".rst": "restructuredtext", ".md": "myst-nb", ".ipynb": "myst-nb"}
exclude_patterns = ["_build", "_generated"]

# The notebook of examples/ is part of the documentation: copied beside the
# pages (docs/notebook.ipynb, ignored by git) and run afresh at every build, so
# that what it shows is what this version computes; an error fails the build.
shutil.copyfile(DOCS.parent / "examples" / "notebook.ipynb", DOCS / "notebook.ipynb")
nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_timeout = 600
nb_execution_show_tb = True
# The README is written for GitHub-style readers: its links to source files
# are not documents of this site, and its headings start at level 1.
suppress_warnings = ["myst.xref_missing", "myst.header"]
myst_heading_anchors = 3

html_theme = "alabaster"
html_title = f"tarvo {release}"
html_static_path = []
