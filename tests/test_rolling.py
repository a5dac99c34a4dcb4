"""Rolling, expanding and sliding windows: every window against the exact value
of that window alone (Fraction), rounded once; pandas' windows, NaN rules,
min_periods, index, name and dtype; the same answer for a window whatever
slid out before it."""

import math
from decimal import Decimal, localcontext
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallix
import tallix_companion.numpy as tnp
from oracles import same_float

pd = pytest.importorskip("pandas")
import tallix_companion.pandas  # noqa: E402,F401  (registers .exact)

RNG = np.random.default_rng(27)
HOWS = ("sum", "mean", "var", "std")


def rounded(q):
    try:
        return float(q)
    except OverflowError:
        return math.inf if q > 0 else -math.inf


def root(q, sign=1):
    with localcontext() as ctx:
        ctx.prec = 80
        r = float((Decimal(q.numerator) / Decimal(q.denominator)).sqrt())
    return -r if sign < 0 else r


def shape(values, how):
    """pandas' bias-corrected skewness and excess kurtosis, exactly."""
    n = len(values)
    if n < (3 if how == "skew" else 4) or any(math.isinf(x) for x in values):
        return math.nan
    xs = [Fraction(x) for x in values]
    mean = sum(xs, Fraction(0)) / n
    m2, m3, m4 = (sum(((x - mean) ** k for x in xs), Fraction(0)) / n for k in (2, 3, 4))
    if m2 == 0:
        return math.nan
    if how == "skew":
        return root(Fraction(n * (n - 1), (n - 2) ** 2) * m3 * m3 / m2**3, 1 if m3 >= 0 else -1)
    return rounded(((n * n - 1) * m4 / m2**2 - 3 * (n - 1) ** 2) / ((n - 2) * (n - 3)))


def exact_pair(xs, ys, how, ddof=1):
    kept = [(x, y) for x, y in zip(xs, ys, strict=True) if not (math.isnan(x) or math.isnan(y))]
    if not kept or any(math.isinf(v) for p in kept for v in p):
        return math.nan
    pairs = [(Fraction(x), Fraction(y)) for x, y in kept]
    n = len(pairs)
    sx, sy = sum((x for x, _ in pairs), Fraction(0)), sum((y for _, y in pairs), Fraction(0))
    cxy = sum((x * y for x, y in pairs), Fraction(0)) - sx * sy / n
    if how == "cov":
        return rounded(cxy / (n - Fraction(ddof))) if n > ddof else math.nan
    cxx = sum((x * x for x, _ in pairs), Fraction(0)) - sx * sx / n
    cyy = sum((y * y for _, y in pairs), Fraction(0)) - sy * sy / n
    return root(cxy * cxy / (cxx * cyy), 1 if cxy >= 0 else -1) if cxx * cyy != 0 else math.nan


def exact(window, how, ddof=1):
    if how == "count":
        return float(np.count_nonzero(~np.isnan(window)))
    xs = [Fraction(v) for v in window if not math.isnan(v)]
    n, s1 = len(xs), sum(xs, Fraction(0))
    if how in ("skew", "kurt"):
        return shape([v for v in window if not math.isnan(v)], how)
    if how == "sum":
        return rounded(s1)
    if n - (ddof if how in ("var", "std") else 0) <= 0:
        return math.nan
    if how == "mean":
        return rounded(s1 / n)
    spread = (sum((x * x for x in xs), Fraction(0)) - s1 * s1 / n) / (n - Fraction(ddof))
    return rounded(spread) if how == "var" else root(spread)


def expected(values, starts, ends, how, min_periods, ddof=1):
    out = []
    for s, e in zip(starts, ends, strict=True):
        window = values[s:e]
        present = int(np.count_nonzero(~np.isnan(window)))
        enough = (e - s if how == "count" else present) >= min_periods
        out.append(ieee_or_exact(window, how, ddof) if enough else math.nan)
    return out


def fixed_bounds(n, w, center=False):
    offset = (w - 1) // 2 if center else 0
    ends = np.arange(1 + offset, n + 1 + offset)
    return np.clip(ends - w, 0, n), np.clip(ends, 0, n)


def assert_windows(got, want):
    bad = [i for i, (g, w) in enumerate(zip(got, want, strict=True)) if not same_float(g, w)]
    assert not bad, f"{len(bad)} windows differ, first {bad[0]}: {got[bad[0]]!r} != {want[bad[0]]!r}"


def wide_runs(n):
    """Values over many binades, both signs, with constant runs and NaNs."""
    xs = np.ldexp(RNG.random(n), RNG.integers(-600, 600, n)) * RNG.choice([-1.0, 1.0], n)
    for start in RNG.integers(0, n - 12, n // 30):
        xs[start : start + 12] = xs[start]
    xs[RNG.integers(0, n, n // 25)] = np.nan
    return xs


# Cases pandas users reported (pandas GH 52407, 46049, 9420, 42064, 28244,
# 54518, 53289), rebuilt from their descriptions.
REPORTED = {
    "negative variance after large values": np.array([1e8, 1e8 + 1, 1e8 + 2] + [0.1, 0.2, 0.3, 0.1, 0.2] * 4),
    "equal values after a spike": np.array([1234.5678, 5e9, 7.0] + [0.3] * 12),
    "equal values, short series": np.array([0.3] * 5),
    "a large value poisons later windows": np.array([1.0, 2.0, 1e17, 3.0] + [4.5, 4.6, 4.7] * 6),
    "ten binades": np.array([1.0, 3e-10, 7e5, 2e-4, 1.1, 9e9, 5e-11, 0.5, 3.3e3, 1e-5] * 3),
    "offset with small noise": 1e9 + 1e-3 * RNG.standard_normal(60),
    "two-decimal prices": np.round(100 + RNG.standard_normal(60), 2),
}


@pytest.mark.parametrize("case", sorted(REPORTED))
@pytest.mark.parametrize("how", HOWS)
def test_reported_cases_exact_in_every_window(case, how):
    xs = REPORTED[case]
    w = 5
    got = getattr(pd.Series(xs).exact.rolling(w), how)().to_numpy()
    starts, ends = fixed_bounds(len(xs), w)
    assert_windows(got, expected(xs, starts, ends, how, w))


@settings(max_examples=150, deadline=None)
@given(
    xs=st.lists(st.floats(allow_infinity=True, allow_nan=True), min_size=1, max_size=40),
    w=st.integers(1, 12),
    min_periods=st.integers(0, 12),
    center=st.booleans(),
    how=st.sampled_from(HOWS + ("count",)),
)
def test_any_floats_any_windows(xs, w, min_periods, center, how):
    values = np.array(xs)
    got = getattr(pd.Series(values).exact.rolling(w, min_periods=min(min_periods, w), center=center), how)()
    starts, ends = fixed_bounds(len(values), w, center)
    want = [ieee_or_exact(values[s:e], how) for s, e in zip(starts, ends, strict=True)]
    counts = [
        e - s if how == "count" else np.count_nonzero(~np.isnan(values[s:e])) for s, e in zip(starts, ends, strict=True)
    ]
    want = [v if c >= min(min_periods, w) else math.nan for v, c in zip(want, counts, strict=True)]
    assert_windows(got.to_numpy(), want)


def ieee_or_exact(window, how, ddof=1):
    """The exact answer, or IEEE's where a window holds an infinity."""
    present = window[~np.isnan(window)]
    if np.isinf(present).any() and how != "count":
        if how not in ("sum", "mean") or (np.inf in present and -np.inf in present):
            return math.nan
        return math.inf if np.inf in present else -math.inf
    return exact(window, how, ddof)


def test_centred_window_wider_than_the_column_drops_its_first_values():
    got = pd.Series([1.0, 0.0, 0.0, 0.0]).exact.rolling(4, min_periods=0, center=True).sum()
    assert got.tolist() == [1.0, 1.0, 1.0, 0.0]


def test_constant_stretch_after_spike_has_zero_std():
    s = pd.Series([0.1] * 5 + [1e16] + [0.1] * 30)
    got = s.exact.rolling(5).std()
    assert (got.iloc[11:] == 0.0).all()


@pytest.mark.parametrize("how", HOWS + ("count",))
@pytest.mark.parametrize(("w", "min_periods", "center"), [(7, None, False), (20, 3, True), (1, None, False)])
def test_random_wide_series_every_window(how, w, min_periods, center):
    xs = wide_runs(300)
    got = getattr(pd.Series(xs).exact.rolling(w, min_periods=min_periods, center=center), how)().to_numpy()
    starts, ends = fixed_bounds(len(xs), w, center)
    assert_windows(got, expected(xs, starts, ends, how, w if min_periods is None else min_periods))


@pytest.mark.parametrize("how", HOWS + ("count",))
def test_expanding_every_window(how):
    xs = np.concatenate([wide_runs(80), 1e9 + RNG.random(80)])
    got = getattr(pd.Series(xs).exact.expanding(min_periods=2), how)().to_numpy()
    n = len(xs)
    assert_windows(got, expected(xs, np.zeros(n, int), np.arange(1, n + 1), how, 2))


@pytest.mark.parametrize("how", ("skew", "kurt"))
@pytest.mark.parametrize("data", ["wide", "offset", "prices"])
def test_shapes_every_window(how, data):
    xs = {
        "wide": wide_runs(150),
        "offset": REPORTED["offset with small noise"],
        "prices": REPORTED["two-decimal prices"],
    }[data]
    got = getattr(pd.Series(xs).exact.rolling(8, min_periods=4), how)().to_numpy()
    starts, ends = fixed_bounds(len(xs), 8)
    assert_windows(got, expected(xs, starts, ends, how, 4))


@pytest.mark.parametrize("how", ("cov", "corr"))
@pytest.mark.parametrize("narrow", [False, True], ids=["wide", "narrow"])
def test_pairs_every_window(how, narrow):
    x = pd.Series(np.round(RNG.standard_normal(120) * 50, 2) if narrow else wide_runs(120))
    y = pd.Series(np.concatenate([REPORTED["offset with small noise"], wide_runs(61)]), index=range(3, 124))
    got = getattr(x.exact.rolling(9, min_periods=2), how)(y)
    xa, ya = x.align(y, join="outer")
    assert got.index.equals(xa.index)
    want = [
        exact_pair(xa.to_numpy()[s:e], ya.to_numpy()[s:e], how)
        if np.count_nonzero(~(np.isnan(xa.to_numpy()[s:e]) | np.isnan(ya.to_numpy()[s:e]))) >= 2
        else math.nan
        for s, e in zip(*fixed_bounds(len(xa), 9), strict=True)
    ]
    assert_windows(got.to_numpy(), want)
    named = getattr(x.rename("v").exact.rolling(9, min_periods=2), how)
    assert named(y.rename("v")).name == "v" and named(y.rename("w")).name is None
    frame = pd.DataFrame({"a": x, "b": -x})
    assert_windows(getattr(frame.exact.rolling(9, min_periods=2), how)(y)["a"].to_numpy(), want)


def prices_with_gaps(n):
    """Two-decimal prices, a few NaNs, spikes and infinities: mostly one placement."""
    xs = np.round(100 + RNG.standard_normal(n).cumsum(), 2)
    xs[RNG.integers(0, n, n // 20)] = np.nan
    xs[RNG.integers(0, n, n // 40)] = 1e300
    xs[RNG.integers(0, n, 2)] = np.inf
    return xs


@pytest.mark.parametrize("ddof", [0, 0.5, 2.25, 3])
def test_covariance_takes_any_ddof(ddof):
    x, y = np.array([1.0, 2.0, 4.0, 7.0, 11.0, 1e300]), np.array([3.0, 1.0, 4.0, 1.0, 5.0, 9.0])
    out = np.empty(6)
    tallix._slide("cov", (x, y), out, (3, 0, None, None, 1, ddof))
    want = [exact_pair(x[max(0, i - 2) : i + 1], y[max(0, i - 2) : i + 1], "cov", ddof) for i in range(6)]
    assert_windows(out, want)


@pytest.mark.parametrize("data", [wide_runs, prices_with_gaps])
@pytest.mark.parametrize("how", HOWS)
def test_time_based_windows(how, data):
    stamps = pd.to_datetime("2024-01-01") + pd.to_timedelta(np.cumsum(RNG.integers(0, 4, 120)), unit="s")
    xs = data(120)
    got = getattr(pd.Series(xs, index=stamps).exact.rolling("5s"), how)().to_numpy()
    t = stamps.to_numpy().astype("datetime64[ns]").astype(np.int64)
    starts = np.searchsorted(t, t - 5 * 10**9, side="right")  # (t - 5s, t]
    ends = np.arange(1, len(t) + 1)  # equal stamps: each window ends at its own row
    assert_windows(got, expected(xs, starts, ends, how, 1))


@pytest.mark.parametrize(
    ("kw", "min_periods"),
    [
        ({"window": 4, "closed": "both", "step": 3}, 4),
        ({"window": 5, "closed": "neither", "center": True}, 5),
        ({"window": 3, "step": 2, "min_periods": 1}, 1),
        ({"window": pd.api.indexers.FixedForwardWindowIndexer(window_size=6)}, 6),
    ],
    ids=["closed both, step", "closed neither, center", "step", "forward indexer"],
)
@pytest.mark.parametrize("how", ("sum", "var"))
def test_pandas_window_options(kw, min_periods, how):
    s = pd.Series(wide_runs(90))
    got = getattr(s.exact.rolling(**kw), how)()
    windows = [w.to_numpy() for w in s.rolling(**kw)]  # pandas' own windows
    want = [exact(w, how) if np.count_nonzero(~np.isnan(w)) >= min_periods else math.nan for w in windows]
    assert got.index.equals(getattr(s.rolling(**kw), how)().index)
    assert_windows(got.to_numpy(), want)


@pytest.mark.parametrize("how", HOWS + ("skew", "kurt"))
def test_window_independent_of_what_slid_out(how):
    tail = REPORTED["offset with small noise"][:20]
    prefixes = [np.zeros(0), np.array([1e300, -3.0]), wide_runs(50), np.full(7, 1e-200)]
    answers = []
    for prefix in prefixes:
        xs = np.concatenate([prefix, tail])
        answers.append(getattr(pd.Series(xs).exact.rolling(10), how)().to_numpy()[len(prefix) + 9 :])
    for a in answers[1:]:
        assert_windows(a, answers[0])


def test_pandas_shapes_and_errors():
    s = pd.Series([1.0, np.nan, 3.0, 4.0], index=list("abcd"), name="x", dtype="float32")
    got = s.exact.rolling(2, min_periods=1).mean()
    pd.testing.assert_series_equal(got, s.rolling(2, min_periods=1).mean())
    frame = pd.DataFrame({"a": [1.0, 2.0, 4.0], "b": [1, 2, 5]}, index=[3, 1, 2])
    pd.testing.assert_frame_equal(frame.exact.rolling(2).var(), frame.rolling(2).var())
    nullable = pd.Series([1, None, 3, 5], dtype="Int64")
    assert_windows(nullable.exact.rolling(2, min_periods=1).sum(), [1.0, 1.0, 3.0, 8.0])
    with pytest.raises(ValueError, match="min_periods 3 must be <= window 2"):
        s.exact.rolling(2, min_periods=3)
    with pytest.raises(TypeError, match="ddof"):
        s.exact.rolling(2).var(ddof=0.5)


@pytest.mark.parametrize(("how", "ddof"), [(h, 0) for h in HOWS] + [("var", 1.5), ("std", 1.5), ("var", 1)])
@pytest.mark.parametrize("data", [wide_runs, prices_with_gaps])
def test_sliding_numpy_style(how, ddof, data):
    xs = data(150).reshape(3, 50)
    kw = {"ddof": ddof} if how in ("var", "std") else {}
    got = getattr(tnp, f"sliding_{how}")(xs, 6, axis=1, **kw)
    assert got.shape == (3, 45)
    for r in range(3):
        row = xs[r]
        want = [
            math.nan if np.isnan(row[i : i + 6]).any() else ieee_or_exact(row[i : i + 6], how, ddof) for i in range(45)
        ]
        assert_windows(got[r], want)
    assert getattr(tnp, f"sliding_{how}")(np.ones(5, np.float32), 3).dtype == np.float64
    assert_windows(getattr(tnp, f"sliding_{how}")(xs.T, 6, axis=0, **kw).T.ravel(), got.ravel())


@pytest.mark.parametrize(("w", "error"), [(0, ValueError), (51, ValueError), (2.0, TypeError)])
def test_sliding_refuses_bad_windows(w, error):
    with pytest.raises(error):
        tnp.sliding_mean(np.ones(50), w)


def test_readme_rolling_example_prints_what_its_comments_say(capsys):
    import re
    from pathlib import Path

    text = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    code = re.search(r"```python\n(.*?)```", text.split("## Rolling windows\n", 1)[1], re.S).group(1)
    exec(compile(code, "README.md", "exec"), {})
    claimed = [line.split("# ", 1)[1].split(",")[0].split(";")[0] for line in code.splitlines() if "print(" in line]
    assert capsys.readouterr().out.splitlines() == claimed


GOOD = (3, 0, None, None, 1, 1)
BEYOND = (0, 0, np.array([0, 0, 0]), np.array([1, 2, 4]), 1, 1)


@pytest.mark.parametrize(
    ("what", "values", "out", "windows", "error", "message"),
    [
        ("median", np.ones(3), np.empty(3), GOOD, ValueError, "unknown answer"),
        ("mean", np.ones(3), np.empty(3), (3, 0), TypeError, "windows must be the tuple"),
        ("mean", np.ones(3), np.empty(3), (-1, 0, None, None, 1, 1), ValueError, "must not be negative"),
        ("mean", np.ones(3), np.empty(3, np.float32), GOOD, ValueError, "contiguous float64"),
        ("mean", np.ones(3), np.empty(2), BEYOND, ValueError, "one entry per window"),
        ("mean", np.ones(3), np.empty(3), BEYOND, ValueError, "within the values"),
        ("mean", np.array(["a", "b"]), np.empty(2), GOOD, TypeError, "expected real numbers"),
        ("mean", np.array([1, 2**53 + 1]), np.empty(2), GOOD, ValueError, "no exact float64 value"),
        ("cov", np.ones(3), np.empty(3), GOOD, TypeError, "the tuple"),
        ("corr", (np.ones(3), np.ones(4)), np.empty(3), GOOD, ValueError, "equal lengths"),
    ],
)
def test_slide_refuses_bad_calls_writing_nothing(what, values, out, windows, error, message):
    out[:] = 7.0
    with pytest.raises(error, match=message):
        tallix._slide(what, values, out, windows)
    assert (out == 7.0).all()


def test_non_numeric_columns_as_pandas_treats_them():
    frame = pd.DataFrame({"a": [1.0, 2.0, 4.0], "b": ["x", "y", "z"], "o": pd.Series([1, 2, 5], dtype=object)})
    with pytest.raises(pd.errors.DataError, match="non-numeric type: str"):
        frame.exact.rolling(2).sum()
    pd.testing.assert_frame_equal(
        frame.exact.rolling(2).var(numeric_only=True), frame.rolling(2).var(numeric_only=True)
    )
    pd.testing.assert_frame_equal(frame.exact.rolling(2).count(), frame.rolling(2).count())


def test_companion_refusals():
    s = pd.Series([1.0, 2.0, 3.0])
    with pytest.raises(TypeError, match="ddof"):
        s.exact.rolling(2).std(ddof=True)
    with pytest.raises(TypeError, match="other must be a Series"):
        s.exact.rolling(2).cov(pd.DataFrame({"a": s}))
    with pytest.raises(ValueError, match="beyond 2\\*\\*53"):
        pd.Series([2**60, None, 1], dtype="Int64").exact.rolling(2).sum()
    with pytest.raises(np.exceptions.AxisError):
        tnp.sliding_sum(np.ones((2, 3)), 2, axis=2)


def test_a_signal_stops_a_long_pass():
    import os
    import signal
    import threading
    import time

    xs = np.ldexp(RNG.random(2 * 10**6), RNG.integers(-900, 900, 2 * 10**6))  # big integers every window
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        tallix._slide("skew", xs, np.empty(len(xs)), (50, 0, None, None, 3, 1))
    timer.join()
    assert time.perf_counter() - start < 5
