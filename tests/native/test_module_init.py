"""Importing tarvo_wrapper: the namespace, one module object per process,
one interpreter per process, and the refusals when NumPy or its C interface
is missing or incompatible. Each case runs in a fresh interpreter, because
the module's state lives as long as the process."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tarvo_wrapper


def run_python(*parts):
    """Run the code `parts` in a fresh interpreter; its standard output as lines."""
    code = "\n".join(textwrap.dedent(part) for part in parts)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


# Prints the type, message, context and traceback names of a failed import.
REPORT_IMPORT = """
    import traceback
    def report():
        try:
            import tarvo_wrapper
        except BaseException as error:
            names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
            context = error.__context__
            print("error", type(error).__name__, str(error))
            print("context", type(context).__name__, str(context))
            print("init entry", "init tarvo_wrapper" in names)
        else:
            print("imported")
"""


def test_namespace_after_import():
    namespace = vars(tarvo_wrapper)
    assert tarvo_wrapper.np is np
    assert tarvo_wrapper.__test__ == {}
    assert tarvo_wrapper.__doc__ is None
    assert tarvo_wrapper.__name__ == "tarvo_wrapper"
    assert tarvo_wrapper.__package__ == ""
    assert tarvo_wrapper.__file__ == tarvo_wrapper.__spec__.origin
    assert tarvo_wrapper.__loader__ is tarvo_wrapper.__spec__.loader
    assert "__path__" not in namespace
    assert set(namespace) == {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                              "__file__", "np", "fit_zscan", "__test__"}


def test_importing_again_yields_the_same_module_and_does_not_rerun_the_set_up():
    out = run_python("""
        import importlib, importlib.util, sys
        import tarvo_wrapper as first
        function = first.fit_zscan
        del sys.modules["tarvo_wrapper"]
        import tarvo_wrapper as second
        print(second is first, second.fit_zscan is function)
        print(importlib.reload(second) is first, first.fit_zscan is function)
        spec = importlib.util.find_spec("tarvo_wrapper")
        print(importlib.util.module_from_spec(spec) is first)
    """)
    assert out == ["True True", "True True", "True"]


def test_executing_a_second_module_object_is_refused():
    out = run_python("""
        import importlib.util
        spec = importlib.util.find_spec("tarvo_wrapper")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        print(first is second)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
        print(hasattr(first, "fit_zscan"), hasattr(second, "fit_zscan"))
    """)
    assert out == ["False", "Module 'tarvo_wrapper' has already been imported. "
                            "Re-initialisation is not supported.", "True False"]


@pytest.mark.skipif(sys.version_info < (3, 13), reason="needs the _interpreters module")
def test_other_interpreters_are_refused_for_the_life_of_the_process():
    out = run_python("""
        import _interpreters
        import tarvo_wrapper
        for config in ("legacy", "legacy", "isolated"):
            interpreter = _interpreters.create(config)
            failure = _interpreters.run_string(interpreter, "import tarvo_wrapper")
            print(failure.type.__name__, failure.msg)
            _interpreters.destroy(interpreter)
        print(tarvo_wrapper.fit_zscan.__name__)
    """)
    message = ("Interpreter change detected - this module can only be loaded into one "
               "interpreter per process.")
    assert out[:2] == [f"ImportError {message}"] * 2
    # An isolated interpreter is refused by the import machinery first.
    assert out[2].startswith("ImportError ")
    assert out[3] == "fit_zscan"


def test_without_numpy_the_import_fails_and_can_be_retried():
    out = run_python(REPORT_IMPORT, """
        import sys
        import numpy
        sys.modules["numpy"] = None
        report()
        sys.modules["numpy"] = numpy
        report()
        import tarvo_wrapper
        print(tarvo_wrapper.np is numpy)
    """)
    assert out == ["error ModuleNotFoundError import of numpy halted; None in sys.modules",
                   "context NoneType None", "init entry True", "imported", "True"]


@pytest.mark.parametrize("replacement, message", [
    ("1", "TypeError numpy.dtype is not a type object"),
    ("type('Small', (), {})",
     r"ValueError numpy.dtype size changed, may indicate binary incompatibility. "
     r"Expected \d+ from C header, got 16 from PyObject"),
])
def test_numpy_type_objects_are_checked(replacement, message):
    out = run_python(REPORT_IMPORT, f"""
        import numpy
        real = numpy.dtype
        numpy.dtype = {replacement}
        report()
        numpy.dtype = real
        report()
    """)
    assert re.fullmatch("error " + message, out[0])
    assert out[2:] == ["init entry True", "imported"]


# A stand-in for NumPy's C-interface module; `table` builds a fake function
# table whose version and byte-order entries return the given values.
FAKE_INTERFACE = """
    import ctypes, sys, types
    import numpy
    def table(abi=0x2000000, feature=0x13, endian=1):
        functions = [ctypes.CFUNCTYPE(ctypes.c_uint)(lambda v=v: v) for v in (abi, feature, endian)]
        slots = (ctypes.c_void_p * 400)()
        for slot, function in zip((0, 211, 210), functions):
            slots[slot] = ctypes.cast(function, ctypes.c_void_p).value
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        table.keep = (functions, slots)
        return new_capsule(ctypes.addressof(slots), None, None)
    def interface(**attributes):
        sys.modules["numpy._core._multiarray_umath"] = types.SimpleNamespace(**attributes)
"""

INTERFACE_CASES = {
    "not a capsule": ("interface(_ARRAY_API=5)",
                      "RuntimeError _ARRAY_API is not PyCapsule object"),
    "no table": ("interface()", "AttributeError "),
    "newer ABI": ("interface(_ARRAY_API=table(abi=0x3000000))",
                  "RuntimeError module compiled against ABI version 0x2000000 but this version "
                  "of numpy is 0x3000000"),
    "older feature level": ("interface(_ARRAY_API=table(feature=0xf))",
                            "RuntimeError module was compiled against NumPy C-API version 0x10 "
                            "(NumPy 1.23) but the running NumPy has C-API version 0xf."),
    "unknown byte order": ("interface(_ARRAY_API=table(endian=0))",
                           "RuntimeError FATAL: module compiled as unknown endian"),
    "big endian": ("interface(_ARRAY_API=table(endian=2))",
                   "RuntimeError FATAL: module compiled as little endian, but detected different "
                   "endianness at runtime"),
}


@pytest.mark.parametrize("setup, cause", INTERFACE_CASES.values(), ids=INTERFACE_CASES)
def test_an_unusable_c_interface_fails_the_import_with_its_cause_attached(setup, cause):
    out = run_python(FAKE_INTERFACE, REPORT_IMPORT, setup, "report()")
    assert out[0] == "error ImportError numpy._core.multiarray failed to import"
    assert out[1].startswith("context " + cause)
    assert out[2] == "init entry True"


def test_the_c_interface_is_found_under_the_older_module_name():
    out = run_python(FAKE_INTERFACE, REPORT_IMPORT, """
        real = numpy._core._multiarray_umath._ARRAY_API
        sys.modules["numpy._core._multiarray_umath"] = None
        sys.modules["numpy.core._multiarray_umath"] = types.SimpleNamespace(_ARRAY_API=real)
        report()
        import tarvo_wrapper
        print(tarvo_wrapper.fit_zscan.__defaults__)
    """)
    assert out == ["imported", "(False, 3)"]


def test_a_c_interface_feature_level_of_numpy_1_23_is_enough():
    out = run_python(FAKE_INTERFACE, REPORT_IMPORT, """
        interface(_ARRAY_API=table(feature=0x10, abi=0x1000009))
        report()
    """)
    assert out == ["imported"]


def test_interruptions_during_the_c_interface_import_pass_unchanged():
    out = run_python(REPORT_IMPORT, """
        import sys
        import numpy
        class Interrupting:
            def __getattr__(self, name):
                if name == "_ARRAY_API":
                    raise KeyboardInterrupt(name)
                raise AttributeError(name)
        sys.modules["numpy._core._multiarray_umath"] = Interrupting()
        report()
    """)
    assert out == ["error KeyboardInterrupt _ARRAY_API", "context NoneType None",
                   "init entry True"]
