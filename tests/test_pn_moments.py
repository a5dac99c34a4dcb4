"""PnMomentsF64: moments of what was added minus what was removed."""

import math
import statistics
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallix
from byte_forms import MomentsModel
from oracles import bits, outcome

NAN = math.nan
UNDEFINED = r"^undefined \(insufficient data or invalid input\)$"


def fed(added, removed=()):
    m = tallix.PnMomentsF64()
    for x in added:
        m.add(x)
    for x in removed:
        m.remove(x)
    return m


def test_empty_state():
    m = tallix.PnMomentsF64()
    assert (outcome(m, "mean"), outcome(m, "variance")) == ("Empty", "Empty")
    assert m.live_count() == 0
    assert m.to_bytes() == bytes(1126)


def test_worked_example_in_any_order_or_merged():
    expected = fed([1.0, 2.0, 3.0], [2.0])
    removal_first = tallix.PnMomentsF64()
    removal_first.remove(2.0)
    for x in (3.0, 1.0, 2.0):
        removal_first.add(x)
    merged = fed([1.0, 3.0])
    merged.merge(fed([2.0], [2.0]))
    for m in (expected, removal_first, merged):
        assert (m.live_count(), m.mean(), m.variance()) == (2, 2.0, 1.0)
        assert m.to_bytes() == expected.to_bytes()
        assert m.state_hash() == expected.state_hash()


@pytest.mark.parametrize(
    "added, removed, mean, variance",
    [
        ([5.0], [5.0], "Empty", "Empty"),
        ([], [1.0], "Degenerate", "Degenerate"),
        ([0.0, 0.0], [10.0], -10.0, -200.0),  # removals need not have been added
        ([NAN, 1.0], [NAN], "NonFinite", "NonFinite"),
        ([1e-200], [], "ExactnessLost", "ExactnessLost"),  # the mean reads the squares too
        ([1.0, 2.0], [1e-200], "ExactnessLost", "ExactnessLost"),
        ([1e200, 1.0], [1e200], "NonFinite", "NonFinite"),  # flags stay after removal
        ([NAN, 1.0, 1e-200], [], "NonFinite", "NonFinite"),  # sums are read before squares
    ],
)
def test_queries_and_their_first_failure(added, removed, mean, variance):
    m = fed(added, removed)
    want = [bits(v) if isinstance(v, float) else v for v in (mean, variance)]
    assert [outcome(m, "mean"), outcome(m, "variance")] == want


def test_live_count_with_more_removals_is_undefined():
    m = fed([], [1.0])
    with pytest.raises(ValueError, match=UNDEFINED):
        m.live_count()
    assert fed([5.0], [5.0]).live_count() == 0
    assert fed([NAN, 1.0], [NAN]).live_count() == 1


def test_removal_keeps_both_halves_in_bytes():
    b = fed([5.0], [5.0]).to_bytes()
    assert b[:563] == b[563:] == fed([5.0]).to_bytes()[:563]
    assert b[:563] != bytes(563)


finite = st.floats(min_value=-1e100, max_value=1e100).filter(lambda v: v == 0 or abs(v) > 1e-100)


@settings(max_examples=100, deadline=None)
@given(st.lists(finite, min_size=1, max_size=15), st.data())
def test_live_multiset_matches_statistics_module(values, data):
    extra = data.draw(st.lists(finite, min_size=1, max_size=8))
    removed = data.draw(st.permutations(values)).copy()[: data.draw(st.integers(0, len(values) - 1))]
    live = list((Counter(values) + Counter(extra) - Counter(removed)).elements())
    m = fed(values + extra, removed)
    assert m.live_count() == len(live)
    assert bits(m.mean()) == bits(statistics.mean(live))
    assert bits(m.variance()) == bits(statistics.pvariance(live))


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(), max_size=8), st.lists(st.floats(), max_size=8))
def test_bytes_are_two_moment_forms(added, removed):
    pos, neg = MomentsModel(), MomentsModel()
    for x in added:
        pos.add(x)
    for x in removed:
        neg.add(x)
    m = fed(added, removed)
    assert m.to_bytes() == pos.form() + neg.form()
    assert tallix.PnMomentsF64.from_bytes(m.to_bytes()).state_hash() == m.state_hash()


def test_from_bytes_accepts_more_removals():
    m = tallix.PnMomentsF64.from_bytes(fed([], [1.0, 2.0]).to_bytes())
    assert outcome(m, "mean") == "Degenerate"
