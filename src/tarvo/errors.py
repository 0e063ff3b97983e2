"""The error of bad user input, shared by the readers and the command-line tool."""


# Bad input from the user: the message is one line that names the file and the problem.
class InputError(ValueError):
    pass


# The bytes of the regular file `path`, at most `limit` of them (see
# tarvo.files.read_input_bytes, the one reader of input files).
def read_input_bytes(path, limit, what):
    from .files import read_input_bytes as read

    return read(path, limit, what)
