"""numpy-style exact reductions and the pandas accessor: every slot of every
axis against a Fraction oracle, the special cases against numpy itself
(values and warnings), and the same answers for every layout and thread split."""

import math
import re
import time
import warnings
from datetime import date
from decimal import Decimal, localcontext
from fractions import Fraction

import numpy as np
import pytest

import tallix_companion._engine as engine
import tallix_companion.numpy as tnp
from tallix_companion._accept import accept, is_number_dtype
from tallix_companion._histogram import histogram

pd = pytest.importorskip("pandas")
import tallix_companion.pandas  # noqa: E402,F401  (registers .exact)

RNG = np.random.default_rng(11)
# Wide: magnitudes from subnormal to 1e300 that cancel; friendly: the rows the
# vectorised row sums take without falling back.
WIDE = np.ldexp(RNG.random(240), RNG.integers(-1074, 1000, 240)) * RNG.choice([-1.0, 1.0], 240)
FRIENDLY = RNG.normal(size=240) * 1e3
CANCEL = np.concatenate([[1e16, 1.0, -1e16, 3.5, 2.0**-60, -(2.0**60), 2.0**60]] * 35)[:240]


def exact_sqrt(q: Fraction) -> float:
    with localcontext() as ctx:
        ctx.prec = 80
        return float((Decimal(q.numerator) / Decimal(q.denominator)).sqrt())


def oracle(values, how, ddof=0):
    xs = [Fraction(v) for v in values if not math.isnan(v)]
    n, s1 = len(xs), sum(xs, Fraction(0))
    if how == "sum":
        return rounded(s1)
    if n - (ddof if how in ("var", "std") else 0) <= 0:
        return math.nan
    if how == "mean":
        return rounded(s1 / n)
    spread = (sum((x * x for x in xs), Fraction(0)) - s1 * s1 / n) / (n - ddof)
    return rounded(spread) if how == "var" else exact_sqrt(spread)


def rounded(q: Fraction) -> float:
    try:
        return float(q)
    except OverflowError:
        return math.inf if q > 0 else -math.inf


def slots(arr, axis):
    """The values of each result slot, in the result's order, computed with numpy."""
    axes = tuple(range(arr.ndim)) if axis is None else np.lib.array_utils.normalize_axis_tuple(axis, arr.ndim)
    moved = np.moveaxis(arr, axes, range(arr.ndim - len(axes), arr.ndim))
    return moved.reshape(-1, math.prod(arr.shape[a] for a in axes)).astype(np.float64)


def layouts(base):
    yield base
    yield np.asfortranarray(base)
    yield np.ascontiguousarray(base.transpose(2, 0, 1)).transpose(1, 2, 0)
    yield base.astype(base.dtype.newbyteorder(">"))
    wide = np.zeros(base.shape[:-1] + (2 * base.shape[-1],), base.dtype)
    wide[..., ::2] = base
    yield wide[..., ::2]


@pytest.mark.parametrize("data", [WIDE, FRIENDLY, CANCEL], ids=["wide", "friendly", "cancel"])
@pytest.mark.parametrize("axis", [None, 0, -1, (0, 2), (1,), ()])
@pytest.mark.parametrize("how, ddof", [("sum", 0), ("mean", 0), ("var", 0), ("var", 1), ("std", 2)])
def test_every_slot_is_the_exact_value_rounded_once_in_every_layout(data, axis, how, ddof):
    base = data[:240].reshape(4, 6, 10)
    kwargs = {"ddof": ddof} if how in ("var", "std") else {}
    expected = [oracle(row, how, ddof) for row in slots(base, axis)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # numpy's overflow in squares of 1e300
        for arr in layouts(base):
            got = getattr(tnp, how)(arr, axis=axis, **kwargs)
            assert np.shape(got) == np.shape(getattr(np, how)(base, axis=axis))
            assert np.array_equal(np.asarray(got).reshape(-1), expected, equal_nan=True)
            kept = getattr(tnp, how)(arr, axis=axis, keepdims=True, **kwargs)
            assert kept.shape == getattr(np, how)(base, axis=axis, keepdims=True).shape


TIES = np.array(
    [
        [1.0, 2.0**-53, 0.0, 0.0],
        [1.0, 2.0**-53, 2.0**-100, 0.0],
        [-1.0, -(2.0**-53), -(2.0**-100), 0.0],
        [1.0 + 2.0**-52, 2.0**-53, 0.0, 0.0],
        [2.0**60, -(2.0**60), 2.0**-60, 3.0],
        [1e300, 1e300, -1e300, 1.0],
        [5e-324, 1.0, -1.0, 0.0],
        [2.0**-1000, 2.0**-1060, 0.0, 0.0],
        [np.inf, 1.0, 0.0, 0.0],
    ]
    * 10
)


@pytest.mark.parametrize("data", [WIDE, FRIENDLY, CANCEL, TIES.ravel()], ids=["wide", "friendly", "cancel", "ties"])
@pytest.mark.parametrize("cols", [1, 4, 8])
def test_many_short_rows_are_answered_exactly(monkeypatch, data, cols):
    monkeypatch.setattr(tnp, "_MANY_ROWS", 0)  # every row through the core's row answers
    rows = data[: len(data) // cols * cols].reshape(-1, cols)
    finite = np.isfinite(rows).all(axis=1)
    for how in ["sum", "mean", "var", "std"]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # numpy's answer for the rows with inf
            got = getattr(tnp, how)(rows, axis=1)
        want = [oracle(r, how) if ok else getattr(np, how)(r) for r, ok in zip(rows, finite, strict=True)]
        assert np.array_equal(got, want, equal_nan=True), how


@pytest.mark.parametrize("how", ["sum", "mean", "var", "std"])
@pytest.mark.parametrize("many_rows", [64, 0])  # states per row; the core's row answers
def test_nan_variants_skip_nans_exactly(monkeypatch, how, many_rows):
    monkeypatch.setattr(tnp, "_MANY_ROWS", many_rows)
    data = CANCEL[:60].reshape(6, 10).copy()
    data[[0, 2, 2, 5], [1, 3, 4, 9]] = np.nan
    got = getattr(tnp, "nan" + how)(data, axis=1)
    assert got.tolist() == [oracle(row, how) for row in data]


@pytest.mark.parametrize("axis", [None, 0, 1])
def test_threads_and_split_blocks_change_nothing(monkeypatch, axis):
    data = np.concatenate([CANCEL, FRIENDLY] * 30).reshape(-1, 8)  # 1800 x 8
    data[::7, 3] = np.nan
    hows = [(tnp.sum, {}), (tnp.var, {"ddof": 1}), (tnp.nanvar, {}), (tnp.nanmean, {})]
    single = [how(data, axis=axis, workers=1, **kw) for how, kw in hows]
    monkeypatch.setattr(engine, "_SPLIT_MIN", 1)
    monkeypatch.setattr(engine, "NAN_BLOCK", 7)
    for workers in (2, 3, -1):
        split = [how(data, axis=axis, workers=workers, **kw) for how, kw in hows]
        assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(single, split, strict=True))


@pytest.mark.parametrize(
    "how, data, kwargs",
    [
        ("sum", [np.inf, -np.inf, 1.0], {}),
        ("sum", [np.nan, 1.0], {}),
        ("sum", np.zeros((0, 3)), {"axis": 0}),
        ("mean", [], {}),
        ("mean", np.zeros((0, 3)), {"axis": 0}),
        ("mean", [np.inf, 1.0], {}),
        ("var", [1.0], {"ddof": 1}),
        ("var", [1.0, 2.0], {"ddof": 3}),
        ("var", [np.inf, 1.0], {}),
        ("std", [[1.0, np.nan], [2.0, 3.0]], {"axis": 1}),
        ("nansum", [np.nan, np.nan], {}),
        ("nanmean", [np.nan, np.nan], {}),
        ("nanvar", [[np.nan, 1.0], [2.0, 3.0]], {"axis": 1, "ddof": 1}),
        ("nanstd", [np.nan, np.inf], {}),
    ],
)
def test_special_cases_answer_and_warn_as_numpy(how, data, kwargs):
    def run(module):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = getattr(module, how)(np.asarray(data, dtype=np.float64), **kwargs)
        return result, sorted({(w.category, str(w.message)) for w in caught})

    (got, got_warnings), (want, want_warnings) = run(tnp), run(np)
    assert np.array_equal(got, want, equal_nan=True) and np.shape(got) == np.shape(want)
    assert got_warnings == want_warnings


@pytest.mark.parametrize(
    "data",
    [
        np.arange(-5, 7, dtype=np.int8),
        np.arange(12, dtype=">u4"),
        np.array([True, False, True]),
        np.array([2**60, 1, -(2**60)], dtype=np.int64),
        np.float32([0.1, 0.2]),
        [1, 2.5, 3],
    ],
)
def test_numeric_kinds_are_read_exactly(data):
    values = np.asarray(data).tolist()
    assert tnp.sum(data) == oracle(values, "sum") and tnp.var(data) == oracle(values, "var")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: tnp.sum(np.array([1j])), TypeError, None),
        (lambda: tnp.sum(np.array(["1"])), TypeError, None),
        (lambda: tnp.sum(np.ones((2, 2)), axis=2), np.exceptions.AxisError, None),
        (lambda: tnp.sum(np.ones((2, 2)), axis=(0, 0)), ValueError, "repeated axis"),
        (lambda: tnp.sum([1.0], workers=0), ValueError, "workers"),
        (lambda: tnp.average(np.ones((2, 3)), weights=[1, 2, 3]), TypeError, "Axis must be specified"),
        (lambda: tnp.average(np.ones((2, 3)), axis=1, weights=[1, 2]), ValueError, "Shape of weights"),
        (lambda: tnp.average([1.0, 2.0], weights=[1, -1]), ZeroDivisionError, "Weights sum to zero"),
        (lambda: tnp.dot([1.0, 2.0], [1.0]), ValueError, "not aligned"),
    ],
)
def test_bad_input_raises(call, error, message):
    with pytest.raises(error, match=message):
        call()


# Products of these stay below the float64 range; squares of most leave the normal range.
HALF_WIDE = np.ldexp(RNG.random(24), RNG.integers(-1074, 500, 24)) * RNG.choice([-1.0, 1.0], 24)


@pytest.mark.parametrize("data", [CANCEL, HALF_WIDE], ids=["cancel", "wide"])
@pytest.mark.parametrize("many_rows", [64, 0])  # states per row; the core's row window
def test_weighted_mean_dot_cov_and_corrcoef_are_exact(monkeypatch, data, many_rows):
    monkeypatch.setattr(tnp, "_MANY_ROWS", many_rows)
    x, w = data[:24].reshape(4, 6), np.linspace(-2.0, 3.0, 6)
    fx = [[Fraction(v) for v in row] for row in x.tolist()]
    fw = [Fraction(v) for v in w.tolist()]
    avg, total = tnp.average(x, axis=1, weights=w, returned=True)
    assert avg.tolist() == [float(sum(a * b for a, b in zip(r, fw, strict=True)) / sum(fw)) for r in fx]
    assert total.tolist() == [float(sum(fw))] * 4
    assert tnp.average(x, axis=-1).tolist() == [oracle(r, "mean") for r in x]
    a, b = x[0], x[1] * 0.5 + 7.0
    fa, fb = fx[0], [Fraction(v) for v in b.tolist()]
    assert tnp.dot(a, b) == float(sum(p * q for p, q in zip(fa, fb, strict=True)))

    def co(p, q, ddof):
        n = len(p)
        return (sum(u * v for u, v in zip(p, q, strict=True)) - sum(p) * sum(q) / n) / (n - ddof)

    for kwargs, ddof in [({}, 1), ({"bias": True}, 0), ({"ddof": 3}, 3)]:
        want = [[float(co(p, q, ddof)) for q in (fa, fb)] for p in (fa, fb)]
        assert tnp.cov(a, b, **kwargs).tolist() == want
    r2 = co(fa, fb, 0) ** 2 / (co(fa, fa, 0) * co(fb, fb, 0))
    r = math.copysign(exact_sqrt(r2), co(fa, fb, 0))
    assert tnp.corrcoef(a, b).tolist() == [[1.0, r], [r, 1.0]]
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always")
        assert np.array_equal(tnp.corrcoef([1.0, 1.0], [1.0, 2.0]), np.corrcoef([1.0, 1.0], [1.0, 2.0]), equal_nan=True)


def _pa():
    return pytest.importorskip("pyarrow")


def _pl():
    return pytest.importorskip("polars")


LONG_EPS = np.finfo(np.longdouble).eps
WIDER = pytest.mark.skipif(np.finfo(np.longdouble).nmant <= 52, reason="long double is binary64 here")


@pytest.mark.parametrize(
    "data, kwargs",
    [
        (CANCEL[:50], {}),
        (np.arange(20) % 7, {"bins": 4}),  # values on the last edge land in the closed last bin
        (FRIENDLY, {"bins": [-500.0, 0.0, 1.0, 900.0]}),
        (np.append(FRIENDLY, [np.nan, 100.0]), {"bins": 5, "range": (-100.0, 100.0)}),
        (np.ones(4), {"bins": 3}),
        # -0.0 is 0.0 to numpy: in the first bin, and counted once on the closed last edge
        (np.float32([-0.0, 0.5]), {"range": (0, 1)}),
        ([-0.0, 0.0], {"bins": [-1, 0]}),
        ([-0.0, 0.0], {"bins": [-0.0, 0.0]}),
        # long-double edges are counted as numpy returns them, not rounded to float64
        ([1.0], {"bins": 1, "range": np.array([1 + LONG_EPS, 2], np.longdouble)}),
        ([1.0, 2.0], {"bins": np.array([1, 2], np.longdouble)}),
        ([1, 3], {"bins": [0, 2**60 + 1]}),
    ],
)
def test_histogram_counts_and_edges_are_numpys(data, kwargs):
    counts, edges = histogram(data, **kwargs)
    want_counts, want_edges = np.histogram(data, **kwargs)
    assert counts.tolist() == want_counts.tolist() and edges.tolist() == want_edges.tolist()
    assert edges.dtype == want_edges.dtype


@pytest.mark.parametrize(
    "make, present",
    [
        (lambda: np.ma.masked_array([1.0, 9.0, 2.0], mask=[0, 1, 0]), [1.0, 2.0]),
        (lambda: pd.array([1.0, None, 2.0, 7.0], dtype="Float64"), [1.0, 2.0, 7.0]),
        (lambda: _pl().Series([1, None, 2, 7]), [1, 2, 7]),
    ],
)
def test_histogram_skips_absent_values(make, present):
    counts, edges = histogram(make(), bins=3)
    want_counts, want_edges = np.histogram(present, bins=3)
    assert counts.tolist() == want_counts.tolist() and edges.tolist() == want_edges.tolist()


def test_workers_default_honours_omp_num_threads(monkeypatch):
    monkeypatch.setenv("OMP_NUM_THREADS", "3")
    assert tnp.default_workers() == 3
    monkeypatch.setenv("OMP_NUM_THREADS", "")
    assert tnp.default_workers() >= 1


# ---------------------------------------------------------------------------
# pandas: pandas itself is the oracle for shapes, dtypes and conventions,
# Fraction for the values.


def binary32(q: Fraction) -> float:
    """q rounded once to binary32 (ties to even)."""
    if q == 0:
        return 0.0
    size = abs(q)
    exponent = size.numerator.bit_length() - size.denominator.bit_length()
    exponent -= size < Fraction(2) ** exponent
    unit = Fraction(2) ** (max(exponent, -126) - 23)
    rounded_size = round(size / unit) * unit
    return math.copysign(math.inf if rounded_size >= 2**128 else float(rounded_size), q)


def exact_answer(values, how, dtype, ddof=1):
    """pandas' ``how`` of the values (missing ones dropped), exact and rounded once to ``dtype``
    (binary32 variances: their float64 rounding rounded again); None where pandas has none."""
    xs = [
        Fraction(int(v)) if isinstance(v, (bool, int, np.integer, np.bool_)) else Fraction(float(v))
        for v in values
        if not pd.isna(v)
    ]
    n, s1 = len(xs), sum(xs, Fraction(0))
    if how == "count":
        return n
    integers = all(x.denominator == 1 for x in xs) and getattr(dtype, "kind", "O") == "O"
    if how == "sum" and (getattr(dtype, "kind", "O") in "iu" or integers):
        return int(s1)
    if n - {"sum": -1, "mean": 0}.get(how, ddof) <= 0:
        return None
    if how in ("sum", "mean"):
        q = s1 if how == "sum" else s1 / n
    else:
        q = (sum(x * x for x in xs) - s1 * s1 / n) / (n - ddof)
    narrow = str(dtype).lower().startswith("float32") or str(dtype).startswith("float[")
    if how == "std":
        return float(np.float32(exact_sqrt(q))) if narrow else exact_sqrt(q)
    if narrow:
        return binary32(q) if how in ("sum", "mean") else float(np.float32(rounded(q)))
    return rounded(q)


def assert_exact(got, values, how, dtype, ddof=1):
    want = exact_answer(values, how, dtype, ddof)
    assert pd.isna(got) if want is None else got == want, (got, want, how)


FRAME = pd.DataFrame(
    {
        "k": ["a", "b", "a", None, "c", "b", "a", "c", "d", "d"],
        "x": [1e16, 1e160, 1.0, 4.0, 1e-200, 1e160, -1e16, 3e-200, np.nan, 2.5],
        "g": np.array([1, 2**-30, 3, 5, 4, 2**-30, 2**24, 1.5, 2, 7], dtype=np.float32),
        "i": np.array([2**62, 2**62, 2**62 + 1, 1, -(2**63), 1, 3, 5, 2**53 + 1, 9], dtype=np.int64),
        "u": np.array([2**63, 2**63, 1, 0, 7, 3, 2**64 - 1, 2, 2, 2], dtype=np.uint64),
        "n": pd.array([1, None, 2**62, 4, 5, 6, 2**62, 8, None, None], dtype="Int64"),
        "h": pd.array([1.5, 2.0, None, 0.25, 3, 1, 2**-30, 2, 5, 1], dtype="Float32"),
        "b": [True, False, True, True, False, True, False, True, True, False],
        "a": pd.array([1, 2, None, 4, 5, 6, 7, 2**62, 9, 10], dtype="int64[pyarrow]"),
    }
)
VALUES = [c for c in FRAME.columns if c != "k"]


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")  # pandas' own squares
@pytest.mark.parametrize("column", VALUES)
@pytest.mark.parametrize("how", ["sum", "mean", "var", "std"])
@pytest.mark.parametrize("skipna", [True, False])
def test_series_accessor_answers_what_pandas_answers_exactly(column, how, skipna):
    s = FRAME[column]
    got, want = getattr(s.exact, how)(skipna=skipna), getattr(s, how)(skipna=skipna)
    assert type(got) is type(want) or type(got) is int and how == "sum"  # beyond the dtype: a Python int
    dtype = np.asarray(want).dtype if want is not pd.NA and not isinstance(want, int) else s.dtype
    if skipna or not s.isna().any():
        assert_exact(got, s.tolist(), how, dtype)


@pytest.mark.filterwarnings("ignore:overflow encountered:RuntimeWarning")  # pandas' own squares
@pytest.mark.parametrize("how", ["sum", "mean", "var", "std"])
@pytest.mark.parametrize("columns", [VALUES, ["x", "i", "b"], ["g", "b"], ["i", "n"], ["u"], ["x"]], ids=str)
@pytest.mark.parametrize("axis", [0, 1])
def test_frame_accessor_answers_what_pandas_answers_exactly(how, columns, axis):
    frame = FRAME[columns]
    if axis == 1 and how != "sum" and {"x", "i"} <= set(columns):
        with pytest.raises(ValueError, match="integers beyond 2"):
            getattr(frame.exact, how)(axis=1)
        return
    got, want = getattr(frame.exact, how)(axis=axis), getattr(frame, how)(axis=axis)
    assert got.index.equals(want.index)
    assert got.dtype == want.dtype or how == "sum" and got.dtype == object  # pandas would wrap around
    lines = [frame[c].tolist() for c in frame] if axis == 0 else frame.astype(object).values.tolist()
    for value, line in zip(got.tolist(), lines, strict=True):
        assert_exact(value, line, how, got.dtype)


def test_frame_accessor_keeps_pandas_argument_checks():
    frame = FRAME[["x", "i"]]
    with pytest.raises(ValueError) as want:
        frame.sum(skipna=None)
    with pytest.raises(ValueError, match=re.escape(str(want.value))):
        frame.exact.sum(skipna=None)
    with warnings.catch_warnings(record=True) as pandas_warns:
        warnings.simplefilter("always")
        frame.var(numeric_only=1)
    with pytest.warns(type(pandas_warns[0].message), match="numeric_only"):
        frame.exact.var(numeric_only=1)
    assert FRAME.exact.sum(numeric_only=True).index.equals(FRAME.sum(numeric_only=True).index)
    with pytest.raises(ValueError, match="No axis named 2"):
        frame.exact.mean(axis=2)
    with pytest.raises(TypeError, match="not a real number"):
        FRAME.exact.sum()
    assert math.isnan(frame.exact.sum(min_count=20)["x"]) and FRAME["n"].exact.sum(min_count=20) is pd.NA


def test_binary32_answers_are_rounded_once():
    # The exact mean lies just above a float64 that is halfway between two binary32 numbers.
    values = np.array([4.0, 2.0**-22, 2.0**-58, 0.0], dtype=np.float32)
    once = np.float32(1 + 2.0**-23)
    assert np.float32(np.float64(values.astype(np.float64).sum() / 4)) != once  # rounding twice
    frame = pd.DataFrame({"k": [0, 0, 0, 0], "v": pd.array(values, dtype="Float32"), "w": values})
    assert frame["w"].exact.mean() == once and frame["v"].exact.mean() == once
    assert frame.exact.groupby("k")["v"].mean().iloc[0] == once
    assert frame[["w"]].T.exact.mean(axis=1).iloc[0] == once
    big = np.array([2.0**24, 1.0, 2.0**-30], dtype=np.float32)
    assert pd.Series(big).exact.sum() == binary32(sum(map(Fraction, big.tolist())))
    spread = np.float32(RNG.normal(size=(200, 5)) * 1e3)
    for row in spread:
        xs = [Fraction(x) for x in row.tolist()]
        mean = sum(xs) / 5
        want = binary32(sum((x - mean) ** 2 for x in xs) / 4)
        assert pd.Series(row).exact.var() == want


def assert_groupby_exact(got, want, lists, outputs, ddof=1, min_count=0):
    """pandas' index, columns and dtypes (an object column where an integer sum leaves
    its dtype, which pandas wraps around), every sum, mean, var and std exact."""
    got, want = pd.DataFrame(got), pd.DataFrame(want)
    assert got.index.equals(want.index) and got.columns.equals(want.columns)
    for j, (col, how) in enumerate(outputs):
        dtype = got.dtypes.iloc[j]
        assert dtype == want.dtypes.iloc[j] or how == "sum" and pd.api.types.is_object_dtype(dtype)
        for value, expected, values in zip(got.iloc[:, j], want.iloc[:, j], lists[col], strict=True):
            if how not in ("sum", "mean", "var", "std"):  # pandas' own
                assert pd.isna(value) if pd.isna(expected) else value == expected
            elif how == "sum" and len([v for v in values if not pd.isna(v)]) < min_count:
                assert pd.isna(value)
            else:
                assert_exact(value, values, how, dtype, ddof)


ARRAY_KEY = np.array([1, 0, 1, 0, 1, 0, 1, 0, 1, 1])
GROUPINGS = {  # name: (frame, by, options)
    "label": (FRAME, "k", {}),
    "label and array": (FRAME, ["k", ARRAY_KEY], {}),
    "series of the frame": (FRAME, FRAME["k"], {}),
    "array, unsorted": (FRAME[VALUES], ARRAY_KEY[::-1].copy(), {"sort": False}),
    "missing keys kept": (FRAME, "k", {"dropna": False}),
    "categories": (
        FRAME[VALUES],
        pd.Categorical(FRAME["k"], categories=["d", "c", "b", "a", "z"]),
        {"observed": False},
    ),
    "level": (FRAME.set_index(["k", ARRAY_KEY]), None, {"level": 0}),
}


@pytest.mark.parametrize("grouping", GROUPINGS, ids=str)
@pytest.mark.parametrize(
    "func",
    [
        "sum",
        ["mean", "var", "std", "count", "max"],
        {"x": ["var", "std"], "i": "sum", "n": ["sum", "min"]},
    ],
    ids=str,
)
def test_groupby_answers_what_pandas_answers_exactly(grouping, func):
    frame, by, options = GROUPINGS[grouping]
    got = frame.exact.groupby(by, **options).agg(func)
    want = frame.groupby(by, **options).agg(func)
    outputs = [c if isinstance(c, tuple) else (c, func if isinstance(func, str) else func[c]) for c in got.columns]
    assert_groupby_exact(got, want, frame.groupby(by, **options).agg(list), outputs)


@pytest.mark.parametrize(
    "select, outputs, keywords",
    [
        (lambda g: g["x"].sum(), [("x", "sum")], {}),
        (lambda g: g[["g", "n"]].mean(), [("g", "mean"), ("n", "mean")], {}),
        (lambda g: g["u"].agg(["sum", "var"]), [("u", "sum"), ("u", "var")], {}),
        (lambda g: g.agg(total=("i", "sum"), spread=("x", "std")), [("i", "sum"), ("x", "std")], {}),
        (lambda g: g["h"].agg(m="mean"), [("h", "mean")], {}),
        (lambda g: g[["x", "a"]].var(ddof=0), [("x", "var"), ("a", "var")], {"ddof": 0}),
        (lambda g: g[["n", "g"]].sum(min_count=2), [("n", "sum"), ("g", "sum")], {"min_count": 2}),
    ],
    ids=["column", "columns", "column list", "named", "column named", "ddof", "min_count"],
)
def test_groupby_selections_and_keywords_are_pandas(select, outputs, keywords):
    got, want = select(FRAME.exact.groupby("k")), select(FRAME.groupby("k"))
    assert type(got) is type(want) and getattr(got, "name", None) == getattr(want, "name", None)
    assert_groupby_exact(got, want, FRAME.groupby("k").agg(list), outputs, **keywords)


@pytest.mark.parametrize(
    "columns, func",
    [
        (list("abcc"), {"c": "sum"}),
        (pd.MultiIndex.from_tuples([("k", ""), ("x", "p"), ("x", "q"), ("y", "p")]), ["sum", "var"]),
        (pd.Index(["k", "x", "y", "z"], dtype=object), "mean"),
    ],
    ids=["duplicates", "multiindex", "object labels"],
)
def test_groupby_keeps_the_frames_column_labels(columns, func):
    frame = pd.DataFrame(np.arange(24.0).reshape(6, 4), columns=columns)
    frame.iloc[:, 0] = [0, 1, 0, 1, 1, 1]
    key = frame.columns[0]
    got, want = frame.exact.groupby(key).agg(func), frame.groupby(key).agg(func)
    pd.testing.assert_frame_equal(got, want)
    assert got.columns.dtype == want.columns.dtype


def test_groupby_many_groups_each_exact_at_any_range():
    # 20 000 groups; those with keys below 50 span 2^±1000 (their squares leave the
    # binary64 range), two hold infinities, some miss values.
    rows, keys = 200_000, 20_000
    k = RNG.integers(0, keys, rows)
    x = RNG.standard_normal(rows) * 1e3
    wide = np.flatnonzero(k < 50)
    x[wide] = np.ldexp(RNG.standard_normal(len(wide)), RNG.integers(-1000, 1000, len(wide)))
    x[RNG.random(rows) < 0.01] = np.nan
    x[np.flatnonzero(k == 60)[0]] = np.inf
    x[np.flatnonzero(k == 61)[:2]] = [np.inf, -np.inf]
    frame = pd.DataFrame({"k": k, "x": x})
    got = frame.exact.groupby("k").agg({"x": ["sum", "mean", "var", "std"]})
    want = frame.groupby("k").agg({"x": ["sum", "mean", "var", "std"]})
    assert got.index.equals(want.index) and (got.dtypes == want.dtypes).all()
    lists = frame.groupby("k")["x"].agg(list)
    for key in [*range(62), *RNG.choice(keys, 200, replace=False).tolist()]:
        values = [v for v in lists[key] if not math.isnan(v)]
        row = got.loc[key, "x"]
        if not np.isfinite(values).all():  # pandas' conventions for infinities
            assert row.equals(want.loc[key, "x"]), key
            continue
        assert row["sum"] == math.fsum(values), key
        for how in ("mean", "var", "std"):
            assert_exact(row[how], values, how, np.dtype(np.float64))


def test_row_reductions_take_one_pass():
    rows = 1_000_000
    frame = pd.DataFrame({"x": np.full(rows, 1e16), "y": np.full(rows, 1.0), "z": np.full(rows, -1e16)})
    start = time.perf_counter()
    assert (frame.exact.sum(axis=1) == 1.0).all() and (frame.exact.mean(axis=1) == 1 / 3).all()
    assert time.perf_counter() - start < 30  # a Python loop per row takes minutes


# ---------------------------------------------------------------------------
# What is a number


NO_SKIP = None
NA3 = [False, True, False]


@pytest.mark.parametrize(
    "make, dtype, values, skip",
    [
        (lambda: np.arange(12, dtype=">i2").reshape(3, 4)[:, ::2], ">i2", [[0, 2], [4, 6], [8, 10]], NO_SKIP),
        (lambda: np.array([2**64 - 1], np.uint64), "uint64", [2**64 - 1], NO_SKIP),
        (lambda: np.float16(0.5), "float16", 0.5, NO_SKIP),
        (lambda: np.ma.masked_array([1.0, np.nan, np.inf], mask=[0, 1, 0]), "float64", [1.0, 0.0, np.inf], NA3),
        (lambda: np.ma.masked_array([1, 2**70, 3], mask=NA3, dtype=object), "int64", [1, 0, 3], NA3),
        (lambda: pd.Series([1.0, np.nan]), "float64", [1.0, np.nan], NO_SKIP),
        (lambda: pd.Series([1, None, 3], dtype="Int64"), "int64", [1, 0, 3], NA3),
        (lambda: pd.array([True, None, False], dtype="boolean"), "bool", [True, False, False], NA3),
        (lambda: pd.Index(pd.array([1.5, None, 3.0], dtype="double[pyarrow]")), "float64", [1.5, 0.0, 3.0], NA3),
        (lambda: _pa().chunked_array([[1, None], [2**63 - 1]]), "int64", [1, 0, 2**63 - 1], NA3),
        (
            lambda: _pa().array([Decimal("0.5"), None, Decimal("-2")], _pa().decimal128(3, 1)),
            "float64",
            [0.5, 0, -2],
            NA3,
        ),
        (lambda: _pl().Series([1, None, 3]), "int64", [1, 0, 3], NA3),
        (lambda: _pl().Series([True, None, False]), "bool", [True, False, False], NA3),
        (lambda: [2**64 - 1, None, 0], "uint64", [2**64 - 1, 0, 0], NA3),
        (lambda: [2**63, 1], "uint64", [2**63, 1], NO_SKIP),  # numpy alone would round them to float64
        (lambda: [2**70, 0.5], "float64", [2.0**70, 0.5], NO_SKIP),
        (lambda: [Decimal("0.25"), None, Fraction(3, 4)], "float64", [0.25, 0.0, 0.75], NA3),
        (lambda: np.array([1, np.nan, -np.inf], np.longdouble), "float64", [1.0, np.nan, -np.inf], NO_SKIP),
        (lambda: np.longdouble(0.5), "float64", 0.5, NO_SKIP),
    ],
)
def test_accept_reads_every_input_kind(make, dtype, values, skip):
    got = accept(make())
    assert got.values.dtype == np.dtype(dtype)
    assert np.array_equal(got.values, values, equal_nan=True) and np.shape(got.values) == np.shape(values)
    assert skip is None if got.skip is None else got.skip.tolist() == skip


def test_accept_reads_numpy_and_arrow_in_place():
    view = np.arange(20.0)[::3]
    assert accept(view).values is view
    pa = _pa()
    column = pa.array(np.arange(6.0))[2:]
    assert accept(column).values.ctypes.data == column.buffers()[1].address + 2 * 8


@pytest.mark.parametrize(
    "data, error, message",
    [
        (1j, TypeError, "complex128, not a real number"),
        (np.complex64([1]), TypeError, "complex64, not a real number"),
        (np.ma.masked_array([1j], mask=[1]), TypeError, "complex128"),
        (["1"], TypeError, "<U1"),
        ([b"1"], TypeError, "S1"),
        (np.array(["2020-01-01"], "M8[D]"), TypeError, "datetime64"),
        ([date(2020, 1, 1), 1], TypeError, "date"),
        ([np.timedelta64(1, "s"), None], TypeError, "timedelta64"),
        (pd.Series(["a"]), TypeError, "not a real number"),
        (pd.Series([1], dtype="category"), TypeError, "category"),
        pytest.param(np.array([1 + LONG_EPS, 2], np.longdouble), ValueError, "holds 1.00000000000000000", marks=WIDER),
        pytest.param([np.longdouble("1e4000")], ValueError, "1e\\+4000.*become inf", marks=WIDER),
        ([Decimal("0.1")], ValueError, "0.1, which no float64"),
        ([Fraction(1, 3), 1.0], ValueError, "1/3"),
        ([2**53 + 1, 0.5], ValueError, "9007199254740993"),
        ([2**1100 + 1], ValueError, "an infinity"),
    ],
)
def test_accept_refuses_what_is_not_a_real_number(data, error, message):
    with pytest.raises(error, match=message):
        accept(data)


def test_number_dtypes():
    pa = _pa()
    numbers = [np.float32, "int8", bool, pd.Int64Dtype(), "double[pyarrow]", pa.uint8(), pa.decimal128(5, 2)]
    others = [np.complex64, object, "M8[ns]", None, pd.CategoricalDtype(), pd.StringDtype(), pa.string()]
    assert [is_number_dtype(pd.api.types.pandas_dtype(d) if isinstance(d, str) else d) for d in numbers] == [True] * 7
    assert [is_number_dtype(d) for d in others] == [False] * 7


ROW = [1.0, -0.984375, 2.0**-58 + 2.0**-60]


@pytest.mark.parametrize(
    "call, want",
    [
        # a row of many whose correctly rounded sum is 0x1.0000000000001p-6
        (lambda: tnp.sum(np.array([ROW] * 100), axis=1)[37], float.fromhex("0x1.0000000000001p-6")),
        # products and squares beyond the exact range: bands, not numpy's float answer
        (lambda: tnp.corrcoef([1e-200, 2e-200, 4e-200], [1, 2, 3])[0, 1], 0.9819805060619657),
        (lambda: tnp.corrcoef([1e300, -1e300, 3e299], [1, 2, 3])[0, 1], -0.3448652473575026),
        (lambda: tnp.dot([3 * 2.0**-540] * 2, [2.0**-537] * 2), 5e-324),
        (lambda: tnp.average([1e-200, 3e-200], weights=[1e-200, 1e-200]), 2e-200),
        (lambda: tnp.var([1e160, 1e160]), 0.0),
        (lambda: tnp.std([1e-200, 3e-200], ddof=1), oracle([1e-200, 3e-200], "std", 1)),
        (
            lambda: tnp.cov([1e200, 3e200], [1e-200, -1e-200]).tolist(),
            [
                [math.inf, rounded(-Fraction(1e200) * Fraction(1e-200) * 2)],
                [rounded(-Fraction(1e200) * Fraction(1e-200) * 2), rounded(Fraction(1e-200) ** 2 * 2)],
            ],
        ),
        # masks honoured, long doubles and integers beyond 2^53 read exactly
        (lambda: tnp.sum(np.ma.array([1, 1e300, 2], mask=[0, 1, 0])), 3.0),
        (lambda: tnp.mean(np.ma.array([[1.0, 5.0], [3.0, 7.0]], mask=[[0, 1], [0, 0]]), axis=0).tolist(), [2.0, 7.0]),
        (lambda: tnp.sum(np.ones(2, np.longdouble)), 2.0),
        (lambda: tnp.sum(np.array([2**63 - 1, 2**63 - 1], dtype=np.int64)), 2**64 - 2),
        (lambda: tnp.sum(np.array([2**53 + 1, 2], dtype=np.int64)), 2**53 + 3),
        (lambda: tnp.mean(np.array([2**62 + 1, 2**62 + 2], dtype=np.int64)), float(Fraction(2**63 + 3, 2))),
        (lambda: tnp.var(np.array([2**63, 2**63 + 2], dtype=np.uint64), ddof=1), 2.0),
        (lambda: tnp.var([1.0, 2.0, 4.0], ddof=0.5), float(Fraction(14, 3) / Fraction(5, 2))),
        (lambda: tnp.sum(3, axis=0), 3),
        (lambda: tnp.mean(pd.array([1.0, None, 2.0], dtype="Float64")), 1.5),
        (
            lambda: tnp.average(np.arange(12.0).reshape(2, 2, 3), axis=(0, 1), weights=np.ones((2, 2))).tolist(),
            [4.5, 5.5, 6.5],
        ),
    ],
)
def test_exact_where_floats_fail(call, want):
    assert call() == want


def test_sums_beyond_int64_are_python_ints_not_wrapped():
    got = tnp.sum(np.array([[2**63 - 1, 1], [1, 2]], dtype=np.int64), axis=1)
    assert got.dtype == object and got.tolist() == [2**63, 3]
    assert tnp.sum(np.array([1, 2], dtype=np.uint8)).dtype == np.uint64


@pytest.mark.parametrize("how", ["var", "std", "nanvar", "nanstd"])
def test_empty_slices_with_negative_ddof_answer_as_numpy(how):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for data in ([], [np.nan]):
            got, want = getattr(tnp, how)(np.array(data), ddof=-1), getattr(np, how)(np.array(data), ddof=-1)
            assert np.array_equal(got, want, equal_nan=True)
