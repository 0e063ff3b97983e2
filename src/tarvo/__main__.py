"""python -m tarvo: the command-line tool."""

import sys

from .cli import console_main


# Guarded: the worker processes of a local Dask cluster start by importing the
# parent's main module, and must not run the tool again.
if __name__ == "__main__":
    sys.exit(console_main())
