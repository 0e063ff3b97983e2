"""The error of bad user input, shared by the readers and the command-line tool."""


# Bad input from the user: the message is one line that names the file and the problem.
class InputError(ValueError):
    pass
