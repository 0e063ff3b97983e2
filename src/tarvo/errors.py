"""The error of bad user input, shared by the readers and the command-line tool."""

from pathlib import Path


# Bad input from the user: the message is one line that names the file and the problem.
class InputError(ValueError):
    pass


# The bytes of an input file of at most `limit` bytes; InputError naming the
# file otherwise. `what` says what such a file holds, for the size message
# (e.g. "a curve file has a few thousand rows at most").
def read_input_bytes(path, limit, what):
    path = Path(path)
    try:
        size = path.stat().st_size
        if size > limit:
            raise InputError(f"{path}: {size} bytes; {what} (limit {limit} bytes): is it the "
                             "right file?")
        return path.read_bytes()
    except FileNotFoundError:
        raise InputError(f"{path}: file not found") from None
    except OSError as error:
        raise InputError(f"{path}: cannot read: {error.strerror or error}") from None
