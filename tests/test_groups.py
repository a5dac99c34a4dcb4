"""The grouped feed (tallix._Groups) at its own surface: exact answers per group,
integer sums at any width, and every refused call leaving the groups as they were."""

import math
import statistics
from fractions import Fraction

import numpy as np
import pytest

import tallix


def answers(groups, what, ddof=1):
    out = np.empty(groups.count)
    groups.answer(what, ddof, out)
    return out


def counts(groups):
    n, missing = np.empty(groups.count, np.int64), np.empty(groups.count, np.int64)
    groups.counts(n, missing)
    return n, missing


def oracle(values, what, ddof=1):
    fractions = [Fraction(v) for v in values]
    if what == "sum":
        return math.fsum(values)
    if not values or (what != "mean" and len(values) - ddof <= 0):
        return math.nan
    mean = sum(fractions) / len(fractions)
    if what == "mean":
        return float(mean)
    var = sum((f - mean) ** 2 for f in fractions) / (len(fractions) - ddof)
    return float(var) if what == "var" else statistics.stdev(values) if ddof == 1 else math.sqrt(var)


# spread in binades: 600 sends groups to banded states
@pytest.mark.parametrize("dtype, spread", [(np.float64, 10), (np.float64, 600), (np.float32, 10)])
def test_every_group_is_its_exact_answer(dtype, spread):
    rng = np.random.default_rng(spread)
    values = (rng.standard_normal(4000) * np.exp2(rng.integers(-spread // 2, spread // 2, 4000))).astype(dtype)
    values[::37] = np.nan
    codes = rng.integers(-1, 40, 4000)
    skip = rng.random(4000) < 0.05
    groups = tallix._Groups(40)
    groups.feed(codes.astype(np.int32), values, skip, True)
    n, missing = counts(groups)
    kept = [values[(codes == k) & ~skip & ~np.isnan(values)].astype(np.float64).tolist() for k in range(40)]
    assert n.tolist() == [len(v) for v in kept]
    assert missing.tolist() == [int(((codes == k) & (skip | np.isnan(values))).sum()) for k in range(40)]
    for what in ("sum", "mean", "var", "std"):
        got = answers(groups, what)
        want = [oracle(v, what) for v in kept]
        np.testing.assert_array_equal(got, want, err_msg=what)


def test_integer_groups_are_exact_at_any_width():
    big = np.array([2**63 - 1, 2**63 - 1, -(2**63), 5, 7], dtype=np.int64)
    groups = tallix._Groups(2, kind="int")
    groups.feed(np.array([0, 0, 1, 1, 0]), big, None, True)
    s1, s2 = groups.int_sums()
    assert s1 == [2 * (2**63 - 1) + 7, -(2**63) + 5]
    assert s2 == [2 * (2**63 - 1) ** 2 + 49, 2**126 + 25]
    unsigned = tallix._Groups(1, kind="int")
    unsigned.feed(np.zeros(2, np.int64), np.array([2**64 - 1, 1], np.uint64), None, True)
    assert unsigned.int_sums()[0] == [2**64]
    got = answers(groups, "var")
    assert got[1] == float(statistics.variance([Fraction(-(2**63)), Fraction(5)]))


def test_merged_records_answer_as_one_feed():
    rng = np.random.default_rng(3)
    values = rng.standard_normal(3000) * np.exp2(rng.integers(-600, 600, 3000))
    codes = rng.integers(0, 7, 3000)
    whole = tallix._Groups(7)
    whole.feed(codes, values, None, True)
    parts = [tallix._Groups(7) for _ in range(3)]
    for part, rows in zip(parts, np.array_split(rng.permutation(3000), 3), strict=True):
        part.feed(codes[rows], values[rows], None, True)
    merged = tallix._Groups(7)
    merged.merge_records(np.arange(7)[::-1], parts[0].records()[::-1])
    merged.merge(parts[1], np.arange(7))
    merged.merge_records(np.arange(7), parts[2].records())
    for what in ("sum", "mean", "var"):
        np.testing.assert_array_equal(answers(merged, what), answers(whole, what))


def refused_calls():
    other_kind = tallix._Groups(3, kind="int")
    return [
        ("feed", (np.array([0, 3]), np.ones(2), None, True), ValueError),
        ("feed", (np.array([0, 1]), np.ones(3), None, True), ValueError),
        ("feed", (np.array([0.0, 1.0]), np.ones(2), None, True), TypeError),
        ("feed", (np.array([0, 1]), np.array(["a", "b"]), None, True), TypeError),
        ("merge_records", (np.array([0, 1]), [tallix._Groups(1).records()[0], b"\x00"]), ValueError),
        ("merge", (other_kind, np.arange(3)), ValueError),
        ("answer", ("median", 1, np.empty(3)), ValueError),
        ("answer", ("var", 1, np.empty(2)), ValueError),
    ]


@pytest.mark.parametrize("method, args, error", refused_calls())
def test_refused_calls_change_nothing(method, args, error):
    groups = tallix._Groups(3)
    groups.feed(np.array([0, 1, 2, 2]), np.array([1.5, 2.0, 3.0, 4.0]), None, True)
    before = groups.records()
    with pytest.raises(error):
        getattr(groups, method)(*args)
    assert groups.records() == before


def test_sums_only_groups_refuse_spreads():
    groups = tallix._Groups(1, squares=False)
    groups.feed(np.zeros(3, np.int64), np.array([1.0, 2.0, 4.0]), None, True)
    assert answers(groups, "mean")[0] == 7 / 3
    with pytest.raises(ValueError, match="do not answer"):
        answers(groups, "var")
