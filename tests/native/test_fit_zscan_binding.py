"""fit_zscan's calling convention: argument binding, conversion in parameter
order, buffer refusals, None checks, the fit-index range, the size relations,
and the function object's attributes."""

import array
import ctypes
import inspect
import pickle
import pydoc
import warnings

import numpy as np
import pytest

import tarvo_wrapper

NAMES = ["x_data", "y_data", "populations", "t_slices", "z_slices", "sample_width", "tau",
         "wavelength", "w0", "M2", "pulse_energy", "spec_pars", "fit_indices", "num_x_pts",
         "num_datasets", "is_sa", "n_starts"]
# Cross-sections of 0 make the model exactly flat (transmittance 1.0 at every
# position), so a fit cannot move its parameters and runs in a few evaluations.
FLAT_PARS = [0.0, 0.0, 0.0, 2e-9, 1.5e-9, 1e-12, 1e-6, 1e-12]


def flat_arguments(num_x_pts=5, num_datasets=1, fit_indices=(3,), y=None):
    """Valid arguments of a cheap call, as a dict in parameter order."""
    n = num_x_pts * num_datasets
    x = np.tile(np.linspace(-20.0, 20.0, num_x_pts), num_datasets)
    if y is None:
        y = 1.0 - 0.05 * np.exp(-(x / 5.0) ** 2) + 0.001 * np.arange(n)
    return dict(x_data=x, y_data=np.asarray(y, dtype=np.float64),
                populations=np.array([6e17, 0.0, 0.0, 0.0, 0.0]), t_slices=2, z_slices=2,
                sample_width=0.1, tau=4e-9, wavelength=532e-9, w0=20e-6, M2=1.2,
                pulse_energy=np.full(num_datasets, 1e-5), spec_pars=np.array(FLAT_PARS),
                fit_indices=np.array(fit_indices, dtype=np.int32), num_x_pts=num_x_pts,
                num_datasets=num_datasets)


def call_with(**changes):
    args = flat_arguments()
    args.update(changes)
    return tarvo_wrapper.fit_zscan(**args)


def positional(args=None):
    return list((args or flat_arguments()).values())


def same_result(a, b):
    return (a[0].tobytes(), np.float64(a[1]).tobytes(), a[2].tobytes()) == \
        (b[0].tobytes(), np.float64(b[1]).tobytes(), b[2].tobytes())


# --- binding -------------------------------------------------------------------

@pytest.mark.parametrize("count, bound_word, bound", [(14, "at least", 15), (0, "at least", 15),
                                                       (18, "at most", 17)])
def test_positional_counts_outside_15_to_17_are_refused(count, bound_word, bound):
    args = positional() + [False, 3, None]
    with pytest.raises(TypeError) as info:
        tarvo_wrapper.fit_zscan(*args[:count])
    assert str(info.value) == (f"fit_zscan() takes {bound_word} {bound} positional arguments "
                               f"({count} given)")


def test_more_than_17_positional_arguments_are_refused_even_with_keywords():
    with pytest.raises(TypeError, match=r"^fit_zscan\(\) takes at most 17 positional "
                                        r"arguments \(18 given\)$"):
        tarvo_wrapper.fit_zscan(*positional(), False, 3, None, bogus=1)


@pytest.mark.parametrize("count", [15, 16, 17])
def test_15_to_17_positional_arguments_are_accepted(count):
    args = positional() + [False, 3]
    result = tarvo_wrapper.fit_zscan(*args[:count])
    assert same_result(result, tarvo_wrapper.fit_zscan(**flat_arguments()))


def test_a_missing_parameter_is_reported_by_its_position():
    args = flat_arguments()
    del args["t_slices"]
    first_three = [args.pop(name) for name in NAMES[:3]]
    with pytest.raises(TypeError) as info:
        tarvo_wrapper.fit_zscan(*first_three, **args)
    assert str(info.value) == "fit_zscan() takes at least 15 positional arguments (3 given)"


def test_the_first_missing_parameter_in_order_is_reported():
    args = flat_arguments()
    del args["num_datasets"], args["w0"]
    with pytest.raises(TypeError, match=r"\(8 given\)$"):
        tarvo_wrapper.fit_zscan(**args)


def test_keywords_in_any_order_bind_like_positions():
    args = flat_arguments()
    shuffled = dict(reversed(list(args.items())), n_starts=3, is_sa=False)
    assert same_result(tarvo_wrapper.fit_zscan(**shuffled), tarvo_wrapper.fit_zscan(*args.values()))


def test_keywords_match_equal_strings_that_are_not_the_same_object():
    args = flat_arguments()
    name = "".join(["n_", "sta", "rts"])
    assert same_result(tarvo_wrapper.fit_zscan(**args, **{name: 3}),
                       tarvo_wrapper.fit_zscan(**args))


@pytest.mark.parametrize("keyword", ["n_start", "X_data", "x_data "])
def test_an_unknown_keyword_is_refused(keyword):
    with pytest.raises(TypeError) as info:
        tarvo_wrapper.fit_zscan(**flat_arguments(), **{keyword: 1})
    assert str(info.value) == f"fit_zscan() got an unexpected keyword argument '{keyword}'"


def test_an_unknown_keyword_is_reported_before_missing_parameters():
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        tarvo_wrapper.fit_zscan(*positional()[:3], bogus=1)


@pytest.mark.parametrize("count, keyword", [(16, "is_sa"), (1, "x_data"), (15, "num_datasets")])
def test_a_keyword_for_a_positional_parameter_is_refused(count, keyword):
    args = positional() + [False]
    with pytest.raises(TypeError) as info:
        tarvo_wrapper.fit_zscan(*args[:count], **{keyword: args[NAMES.index(keyword)]})
    assert str(info.value) == f"fit_zscan() got multiple values for keyword argument '{keyword}'"


def test_keyword_names_must_be_strings():
    with pytest.raises(TypeError) as info:
        tarvo_wrapper.fit_zscan(*positional(), **{1: 2})
    assert str(info.value) == "fit_zscan() keywords must be strings"


# --- scalar conversion ---------------------------------------------------------

class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class FloatLike:
    def __float__(self):
        return 0.1


class IndexLike:
    def __index__(self):
        return 2


class Truth:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("value", ["2", None, [2], 2j])
def test_an_integer_parameter_without_int_conversion_is_refused(value):
    with pytest.raises(TypeError) as info:
        call_with(t_slices=value)
    assert str(info.value) == "an integer is required"


def test_int_returning_a_non_int_is_refused():
    with pytest.raises(TypeError) as info:
        call_with(z_slices=IntLike(2.0))
    assert str(info.value) == "__int__ returned non-int (type float)"


@pytest.mark.parametrize("value", [2**31, -2**31 - 1, 10**30])
def test_integers_outside_32_bits_overflow(value):
    with pytest.raises(OverflowError):
        call_with(num_x_pts=value)


@pytest.mark.parametrize("value", [2.9, np.float64(2.5), np.int64(2), IntLike(2), True + 1])
def test_integer_parameters_take_int_values_and_truncate_floats(value):
    assert same_result(call_with(t_slices=value), call_with(t_slices=2))


def test_int_returning_an_int_subclass_is_accepted_with_a_deprecation_warning():
    with pytest.warns(DeprecationWarning, match="__int__ returned non-int"):
        result = call_with(n_starts=IntLike(True))
    assert same_result(result, call_with(n_starts=1))


@pytest.mark.parametrize("value", ["0.1", None, [0.1]])
def test_a_real_parameter_the_interpreter_cannot_convert_is_refused(value):
    with pytest.raises(TypeError):
        call_with(sample_width=value)


def test_real_parameters_accept_ints_and_float_protocols():
    args = flat_arguments()
    by_objects = tarvo_wrapper.fit_zscan(**dict(args, sample_width=FloatLike(), M2=IndexLike()))
    assert same_result(by_objects, tarvo_wrapper.fit_zscan(**dict(args, sample_width=0.1, M2=2.0)))


@pytest.mark.parametrize("value", [None, False, 0, "", []])
def test_is_sa_values_that_mean_false(value):
    assert same_result(call_with(is_sa=value), call_with())


def test_is_sa_is_taken_by_its_truth_value():
    # Centring on the maximum instead of the minimum changes the weights.
    assert same_result(call_with(is_sa=Truth(True)), call_with(is_sa=True))
    assert not same_result(call_with(is_sa=True), call_with())


def test_is_sa_truth_errors_propagate():
    with pytest.raises(ValueError, match="truth value of an array"):
        call_with(is_sa=np.array([1, 0]))
    with pytest.raises(LookupError, match="from __bool__"):
        call_with(is_sa=Truth(LookupError("from __bool__")))


# --- conversion order and None checks ------------------------------------------

BAD_VALUES = {
    "x_data": (np.zeros((5, 1)), ValueError, "wrong number of dimensions"),
    "y_data": (np.ones(5, dtype=np.float32), ValueError, "dtype mismatch"),
    "t_slices": ("two", TypeError, "an integer is required"),
    "tau": ("short", TypeError, "real number"),
    "pulse_energy": ([1e-5], TypeError, "bytes-like object"),
    "spec_pars": (np.zeros(8)[::2], ValueError, "contiguous"),
    "fit_indices": (np.array([3]), ValueError, "expected 'int' but got 'long'"),
    "num_datasets": (IntLike("1"), TypeError, "__int__ returned non-int"),
    "is_sa": (Truth(KeyError("is_sa")), KeyError, "is_sa"),
    "n_starts": (2**40, OverflowError, ""),
}
ORDERED_PAIRS = [(a, b) for i, a in enumerate(BAD_VALUES) for b in list(BAD_VALUES)[i + 1:]]


@pytest.mark.parametrize("first, later", ORDERED_PAIRS)
def test_arguments_are_converted_in_parameter_order(first, later):
    value, error, text = BAD_VALUES[first]
    with pytest.raises(error, match=text):
        call_with(**{first: value, later: BAD_VALUES[later][0]})


ARRAYS_IN_CHECK_ORDER = ["x_data", "y_data", "populations", "pulse_energy", "spec_pars",
                         "fit_indices"]


@pytest.mark.parametrize("name", ARRAYS_IN_CHECK_ORDER)
def test_a_none_array_is_refused_by_name(name):
    with pytest.raises(TypeError) as info:
        call_with(**{name: None})
    assert str(info.value) == f"Argument '{name}' must not be None"


@pytest.mark.parametrize("first, later", [(a, b) for i, a in enumerate(ARRAYS_IN_CHECK_ORDER)
                                          for b in ARRAYS_IN_CHECK_ORDER[i + 1:]])
def test_none_arrays_are_reported_in_a_fixed_order(first, later):
    with pytest.raises(TypeError, match=f"'{first}' must not be None"):
        call_with(**{first: None, later: None})


@pytest.mark.parametrize("scalar, value", [("t_slices", "x"), ("n_starts", None),
                                           ("w0", "x"), ("num_x_pts", 2**31)])
def test_a_bad_scalar_is_reported_before_a_none_array(scalar, value):
    with pytest.raises((TypeError, OverflowError)) as info:
        call_with(spec_pars=None, **{scalar: value})
    assert "must not be None" not in str(info.value)


# --- buffers -----------------------------------------------------------------

@pytest.mark.parametrize("value, got", [(np.zeros((5, 1)), 2), (np.zeros((1, 1, 5)), 3),
                                        (np.array(1.0), 0)])
def test_arrays_must_have_one_dimension(value, got):
    with pytest.raises(ValueError) as info:
        call_with(x_data=value)
    assert str(info.value) == f"Buffer has wrong number of dimensions (expected 1, got {got})"


DOUBLE_MISMATCHES = [
    (np.float32, "'float'"), (np.int64, "'long'"), (np.int32, "'int'"), (np.int16, "'short'"),
    (np.int8, "'signed char'"), (np.uint8, "'unsigned char'"), (np.uint32, "'unsigned int'"),
    (np.uint64, "'unsigned long'"), (np.longlong, "'long long'"), (np.float16, "'half float'"),
    (np.longdouble, "'long double'"), (np.complex128, "'complex double'"),
    (np.complex64, "'complex float'"), (np.bool_, "'bool'"), (np.dtype(">f8"), "big-endian 'double'"),
    (np.dtype([("a", "f8")]), "a struct"), (np.dtype("S8"), "a string"),
]


@pytest.mark.parametrize("dtype, got", DOUBLE_MISMATCHES, ids=[g for _, g in DOUBLE_MISMATCHES])
def test_double_arrays_of_another_item_type_are_refused(dtype, got):
    with pytest.raises(ValueError) as info:
        call_with(y_data=np.zeros(5, dtype=dtype))
    assert str(info.value) == f"Buffer dtype mismatch, expected 'double' but got {got}"


@pytest.mark.parametrize("indices, got", [(np.array([3]), "'long'"),
                                          (np.array([3], dtype=np.int16), "'short'"),
                                          (np.array([3], dtype=np.uint32), "'unsigned int'"),
                                          (np.array([3.0]), "'double'")])
def test_fit_indices_must_be_c_ints(indices, got):
    with pytest.raises(ValueError) as info:
        call_with(fit_indices=indices)
    assert str(info.value) == f"Buffer dtype mismatch, expected 'int' but got {got}"


@pytest.mark.parametrize("name", ["x_data", "populations", "pulse_energy", "spec_pars"])
def test_non_contiguous_and_read_only_arrays_are_refused_by_numpy(name):
    source = flat_arguments()[name]
    strided = np.repeat(np.tile(source, 2), 2)[::2]
    with pytest.raises(ValueError, match="contiguous"):
        call_with(**{name: strided})
    read_only = source.copy()
    read_only.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        call_with(**{name: read_only})


@pytest.mark.parametrize("value", [[1.0] * 5, (1.0,) * 5, 1.0, "abcde"])
def test_objects_without_buffers_are_refused(value):
    with pytest.raises(TypeError):
        call_with(y_data=value)


def test_other_exporters_of_native_doubles_and_ints_are_accepted():
    args = flat_arguments()
    x = (ctypes.c_double * 5)(*args["x_data"])  # format '<d'
    y = memoryview(bytearray(args["y_data"].tobytes())).cast("d")  # format 'd'
    spec = array.array("d", args["spec_pars"])
    indices = array.array("i", [3])
    result = tarvo_wrapper.fit_zscan(**dict(args, x_data=x, y_data=y, spec_pars=spec,
                                            fit_indices=indices))
    assert same_result(result, tarvo_wrapper.fit_zscan(**args))


def test_an_immutable_exporter_is_refused_by_the_exporter():
    with pytest.raises(BufferError):
        call_with(y_data=bytes(40))


# --- fit indices ---------------------------------------------------------------

@pytest.mark.parametrize("indices, text", [([-1], "fit_indices[0]=-1 out of range [0,7]"),
                                           ([0, 8], "fit_indices[1]=8 out of range [0,7]"),
                                           ([0, 9], "fit_indices[1]=9 out of range [0,7]"),
                                           ([3, -5, 99], "fit_indices[1]=-5 out of range [0,7]"),
                                           ([2**31 - 1], "fit_indices[0]=2147483647 out of "
                                                         "range [0,7]")])
def test_fit_indices_outside_0_to_7_are_refused(indices, text):
    with pytest.raises(ValueError) as info:
        call_with(fit_indices=np.array(indices, dtype=np.int32))
    assert str(info.value) == text


@pytest.mark.parametrize("indices", [[3, 7], [0], [7, 3, 4]])
def test_fit_indices_from_0_to_7_are_accepted(indices):
    result = call_with(fit_indices=np.array(indices, dtype=np.int32))
    assert result[2].shape == (8,)


def test_none_arrays_are_reported_before_the_fit_index_range():
    with pytest.raises(TypeError, match="'pulse_energy' must not be None"):
        call_with(fit_indices=np.array([9], dtype=np.int32), pulse_energy=None)


# --- size relations ------------------------------------------------------------

def sized(num_x_pts=5, num_datasets=1, **changes):
    args = flat_arguments(num_x_pts=num_x_pts, num_datasets=num_datasets)
    args.update(changes)
    return args


SIZE_CASES = {
    "no curves": (sized(num_datasets=0, x_data=np.ones(5), y_data=np.ones(5),
                        pulse_energy=np.ones(1)),
                  "num_datasets must be at least 1, got 0"),
    "short curves": (sized(num_x_pts=4), "num_x_pts must be at least 5, got 4"),
    "y_data length": (sized(num_x_pts=5, num_datasets=2, y_data=np.ones(9), x_data=np.ones(9)),
                      "y_data has 9 values but num_x_pts * num_datasets = 5 * 2 = 10"),
    "x_data length": (sized(x_data=np.ones(6)), "x_data has 6 values but y_data has 5"),
    "time slices": (sized(t_slices=1), "t_slices must be at least 2, got 1"),
    "depth slices": (sized(z_slices=-3), "z_slices must be at least 2, got -3"),
    "populations": (sized(populations=np.ones(4)),
                    "populations has 4 values but the model needs the initial populations "
                    "of 5 levels"),
    "pulse energies": (sized(num_datasets=2, pulse_energy=np.ones(1)),
                       "pulse_energy has 1 value but num_datasets = 2 needs one per curve"),
    "parameters": (sized(spec_pars=np.ones(7)), "spec_pars has 7 values but the model needs 8"),
}


@pytest.mark.parametrize("args, text", SIZE_CASES.values(), ids=SIZE_CASES.keys())
def test_broken_size_relations_are_refused(args, text):
    with pytest.raises(ValueError) as info:
        tarvo_wrapper.fit_zscan(**args)
    assert str(info.value) == text


def test_longer_populations_pulse_energies_and_spec_pars_are_accepted():
    args = flat_arguments()
    longer = dict(args, populations=np.append(args["populations"], 7.0),
                  pulse_energy=np.append(args["pulse_energy"], 3.0),
                  spec_pars=np.append(args["spec_pars"], 5.0))
    residuals, error, pars = tarvo_wrapper.fit_zscan(**longer)
    short = tarvo_wrapper.fit_zscan(**args)
    assert pars.shape == (9,) and pars[8] == 5.0
    assert same_result((residuals, error, pars[:8]), short)


def test_the_argument_errors_come_before_the_size_checks():
    # fit index range before the curve sizes; None before both.
    with pytest.raises(ValueError, match="out of range"):
        tarvo_wrapper.fit_zscan(**sized(num_x_pts=4, fit_indices=np.array([8], dtype=np.int32)))
    with pytest.raises(TypeError, match="must not be None"):
        tarvo_wrapper.fit_zscan(**sized(num_x_pts=4, populations=None))


# --- result and the caller's arrays --------------------------------------------

def test_the_result_is_a_tuple_of_new_float64_arrays_and_a_float():
    args = flat_arguments(num_x_pts=6, num_datasets=2)
    before = {name: np.copy(v) for name, v in args.items() if isinstance(v, np.ndarray)}
    result = tarvo_wrapper.fit_zscan(**args)
    assert type(result) is tuple and len(result) == 3
    residuals, error, pars = result
    assert type(error) is float
    for out, length in [(residuals, 12), (pars, 8)]:
        assert type(out) is np.ndarray and out.dtype == np.float64 and out.shape == (length,)
        assert out.flags.c_contiguous and out.flags.writeable
        for value in before:
            assert not np.shares_memory(out, args[value])
    for name, value in before.items():
        assert value.tobytes() == args[name].tobytes(), name


def test_the_caller_keeps_no_buffer_locks():
    args = flat_arguments()
    tarvo_wrapper.fit_zscan(**args)
    for name in ARRAYS_IN_CHECK_ORDER:
        args[name].resize(args[name].size + 1, refcheck=False)


# --- the function object ---------------------------------------------------------

def test_function_attributes():
    f = tarvo_wrapper.fit_zscan
    assert f.__name__ == "fit_zscan"
    assert f.__qualname__ == "fit_zscan"
    assert f.__module__ == "tarvo_wrapper"
    assert f.__defaults__ == (False, 3)
    assert f.__kwdefaults__ is None
    assert callable(f)


def test_docstring_sections():
    doc = tarvo_wrapper.fit_zscan.__doc__
    lines = [line.strip() for line in doc.splitlines()]
    assert lines[0] == "Fit z-scan data with multi-start parallel optimization."
    parameters, returns = lines.index("Parameters:"), lines.index("Returns:")
    assert parameters < returns
    documented = "\n".join(lines[parameters:returns])
    for name in ("fit_indices", "is_sa", "n_starts"):
        assert f"{name}:" in documented
    assert "0-7" in documented and "1-based" in documented
    assert "Default False" in documented and "Default 3" in documented
    assert lines[returns + 1] == "residuals, error, spec_pars (best result)"


def test_signature_shows_every_parameter_and_the_defaults():
    signature = inspect.signature(tarvo_wrapper.fit_zscan)
    assert list(signature.parameters) == NAMES
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    defaults = {n: p.default for n, p in signature.parameters.items()
                if p.default is not inspect.Parameter.empty}
    assert defaults == {"is_sa": False, "n_starts": 3}
    text = pydoc.render_doc(tarvo_wrapper.fit_zscan, renderer=pydoc.plaintext)
    assert "fit_zscan(" in text and "is_sa=False" in text and "n_starts=3" in text
    assert "Fit z-scan data with multi-start parallel optimization." in text


def test_the_function_pickles_by_reference_and_stays_unbound_in_classes():
    assert pickle.loads(pickle.dumps(tarvo_wrapper.fit_zscan)) is tarvo_wrapper.fit_zscan

    class Holder:
        fit = tarvo_wrapper.fit_zscan

    assert Holder().fit is tarvo_wrapper.fit_zscan
    with pytest.raises(TypeError):
        type(tarvo_wrapper.fit_zscan)()
