"""The error of bad input: what the toolkit refuses to read or fit."""


# Bad input from the user (a set-up, data, parameter or option the toolkit
# cannot read or fit), raised where it is found; the message is one line
# that names the input and the problem. It is a ValueError, so callers of
# the Python interface may catch either; the command line reports it with
# exit status 2 (any other error is a fault of the run, not of the input).
class InputError(ValueError):
    """Input the toolkit cannot read or fit (a ValueError); the message says
    what is wrong and where. The command line reports it with exit status 2."""
