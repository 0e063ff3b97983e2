"""Keyword options of the toolkit's entry points (tarvo.fit, tarvo.simulate).

Such a function names its data and set-up in its signature and takes its
other settings as keywords (``**options``): their names are checked once
against the fields of one frozen settings object, an unknown one refused as
Python refuses an unknown keyword argument, and their documentation is
written once and shown by help() as part of the function's docstring.
"""

import difflib
import inspect
from dataclasses import fields


# The option names a settings class accepts: its fields, less `excluded`
# (those the function names in its signature).
def option_names(settings_class, excluded=()):
    return tuple(f.name for f in fields(settings_class) if f.name not in excluded)


# TypeError for a keyword that is no option, worded as Python words it for
# a function without **kwargs (with the near name it suggests for a typing
# error: "normalization" for "normalisation").
def check_option_names(function_name, options, known):
    for name in options:
        if name not in known:
            near = difflib.get_close_matches(name, known, n=1)
            hint = f". Did you mean {near[0]!r}?" if near else ""
            raise TypeError(f"{function_name}() got an unexpected keyword argument "
                            f"{name!r}{hint}")


# Decorator: the function's docstring followed by the section that
# documents its options (a NumPy-style "Other Parameters" section).
def document_options(section):
    def documented(function):
        function.__doc__ = (inspect.cleandoc(function.__doc__) + "\n\n"
                            + inspect.cleandoc(section) + "\n")
        return function
    return documented
