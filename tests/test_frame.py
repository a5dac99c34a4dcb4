"""The module frame: registration, argument binding, conversions, borrows and
error mapping, checked through the classes that use each piece."""

import array
import importlib.metadata
import subprocess
import sys
import tomllib
from pathlib import Path

import numpy as np
import pytest

import tallix
from tallix import SumF32, SumF64

ALL = [
    "SumF64",
    "SumF32",
    "FastSumF64",
    "DotF64",
    "MomentsF64",
    "Moments4F64",
    "CovF64",
    "WeightedMomentsF64",
    "PnMomentsF64",
    "CovMatrixF64",
    "HistogramF64",
    "ExtremaF64",
    "SumMap",
    "MomentsMap",
    "ReplicatedSum",
    "DeltasSum",
    "dot",
]
CLASSES = ALL[:-1]


def test_all_lists_every_class_then_dot():
    assert tallix.__all__ == ALL
    assert tallix.__doc__ == ""
    assert tallix.dot.__self__ is tallix
    assert tallix.dot.__module__ == "tallix"


def test_version_is_the_package_metadata_and_not_a_module_attribute():
    import tallix_dask

    with open(Path(__file__).resolve().parents[1] / "pyproject.toml", "rb") as f:
        declared = tomllib.load(f)["project"]["version"]
    assert importlib.metadata.version("tallix") == tallix_dask.__version__ == declared
    assert not hasattr(tallix, "__version__")


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_heap_types_without_dict(name):
    cls = getattr(tallix, name)
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    signature = {"CovMatrixF64": "(d)", "HistogramF64": "(edges)"}.get(name, "()")
    assert cls.__text_signature__ == signature
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in dir(cls)


@pytest.mark.parametrize("name", CLASSES)
def test_methods_carry_text_signatures(name):
    cls = getattr(tallix, name)
    methods = [m for m in vars(cls) if not m.startswith("__")]
    assert methods
    for m in methods:
        sig = getattr(cls, m).__text_signature__
        assert sig is not None and sig.startswith("("), (name, m)


def test_instances_have_no_attributes_and_default_repr():
    s = SumF64()
    with pytest.raises(AttributeError):
        s.extra = 1
    assert repr(s).startswith("<builtins.SumF64 object at")
    assert s != SumF64() and s == s


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: SumF64(1), "SumF64.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: SumF64(x=1), "SumF64.__new__() got an unexpected keyword argument 'x'"),
        (lambda: SumF64().add(), "SumF64.add() missing 1 required positional argument: 'x'"),
        (lambda: SumF64().add(1.0, 2.0), "SumF64.add() takes 1 positional arguments but 2 were given"),
        (lambda: SumF64().add(y=1.0), "SumF64.add() got an unexpected keyword argument 'y'"),
        (lambda: SumF64().add(1.0, x=1.0), "SumF64.add() got multiple values for argument 'x'"),
        (lambda: SumF64.from_bytes(), "SumF64.from_bytes() missing 1 required positional argument: 'b'"),
        (lambda: tallix.dot(), "dot() missing 2 required positional arguments: 'xs' and 'ys'"),
        (lambda: tallix.dot([1.0]), "dot() missing 1 required positional argument: 'ys'"),
        (lambda: tallix.dot([], [], []), "dot() takes 2 positional arguments but 3 were given"),
        (lambda: SumF64().add("1"), "argument 'x': must be real number, not str"),
        (
            lambda: SumF64.from_bytes(bytearray(281)),
            "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'",
        ),
        (lambda: SumF64().merge(SumF32()), "argument 'other': 'SumF32' object cannot be converted to 'SumF64'"),
        (lambda: tallix.dot("ab", "cd"), "argument 'xs': Can't extract `str` to `Vec`"),
        (
            lambda: tallix.dot((x for x in [1.0]), [1.0]),
            "argument 'xs': 'generator' object cannot be converted to 'Sequence'",
        ),
        (lambda: tallix.dot([1.0], 5), "argument 'ys': 'int' object cannot be converted to 'Sequence'"),
        (lambda: tallix.dot([1.0, "a"], [1.0, 2.0]), "argument 'xs': must be real number, not str"),
    ],
)
def test_type_errors_to_the_letter(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


class Index:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "arg, expected", [(3, 3.0), (True, 1.0), (Floaty(), 2.5), (Index(), 7.0), (np.float32(0.5), 0.5)]
)
def test_real_number_conversion_accepts_numbers(arg, expected):
    s = SumF64()
    s.add(arg)
    assert s.value() == expected


def test_int_too_large_is_overflow_error_without_prefix():
    s = SumF64()
    with pytest.raises(OverflowError) as err:
        s.add(10**400)
    assert not str(err.value).startswith("argument")
    assert s.count() == 0


def test_binary32_conversion_rounds_once_and_overflows_to_infinity():
    s = SumF32()
    s.add(1 + 2**-24)  # a tie: rounds to even, 1.0
    assert s.value() == 1.0
    s.add(1e39)
    assert s.value() == float("inf")


def test_conversion_error_keeps_the_cause():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("no float") from inner

    with pytest.raises(TypeError) as err:
        SumF64().add(Bad())
    assert str(err.value) == "argument 'x': no float"
    assert isinstance(err.value.__cause__, KeyError)


def test_non_type_errors_from_conversion_pass_unchanged():
    class Bad:
        def __float__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        SumF64().add(Bad())


@pytest.mark.parametrize(
    "xs",
    [
        [1.0, 2.0, 3.0],
        (1.0, 2.0, 3.0),
        range(1, 4),
        array.array("d", [1, 2, 3]),
        np.array([1.0, 2.0, 3.0]),
        memoryview(array.array("d", [1, 2, 3])),
        np.array([1.0, 9.0, 2.0, 9.0, 3.0])[::2],
        np.array([1, 2, 3], dtype=np.float32),
        np.array([1, 2, 3], dtype=">f8"),
        np.array([1, 2, 3], dtype=np.int64),
        bytes([1, 2, 3]),
    ],
)
def test_sequences_of_floats_by_buffer_or_iteration(xs):
    assert tallix.dot(xs, [1.0, 1.0, 1.0]) == 6.0


class LyingLength:
    def __init__(self, length, items):
        self._length, self._items = length, items

    def __len__(self):
        if isinstance(self._length, Exception):
            raise self._length
        return self._length

    def __getitem__(self, i):
        return self._items[i]


@pytest.mark.parametrize("length", [2**62, sys.maxsize, 0, 1, ValueError("no"), OverflowError()])
def test_reported_length_is_only_a_hint(length):
    xs = LyingLength(length, [1.0, 2.0, 3.0])
    assert tallix.dot(xs, [1.0, 1.0, 1.0]) == 6.0


def test_borrows_guard_reentrant_use_and_leave_state_unchanged():
    s = SumF64()
    s.add(1.0)
    before = s.to_bytes()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.merge(s)

    class Reenter:
        def __float__(self):
            s.add(5.0)
            return 1.0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        s.add(Reenter())

    class Peek:
        def __float__(self):
            s.value()
            return 1.0

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.add(Peek())
    assert s.to_bytes() == before
    s.add(1.0)  # every borrow was released
    assert s.value() == 2.0


def test_panic_exception_is_a_base_exception_with_left_and_right():
    assert issubclass(tallix.PanicException, BaseException)
    assert not issubclass(tallix.PanicException, Exception)
    with pytest.raises(tallix.PanicException) as err:
        tallix.dot([1.0, 2.0], [1.0])
    assert err.value.args == (
        "assertion `left == right` failed: dot product requires equal-length slices\n  left: 2\n right: 1",
    )


def test_second_initialisation_is_an_import_error():
    code = (
        "import sys, tallix\n"
        "del sys.modules['tallix']\n"
        "try:\n    import tallix\nexcept ImportError:\n    print('refused')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "refused"
