import math
import random
import struct
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from byte_forms import splits_inexactly
from oracles import same_float
from tallix import DeltasSum, MomentsF64, MomentsMap, ReplicatedSum, SumF64, SumMap

UNDEFINED = "undefined (insufficient data or invalid input)"
NAN, INF, MAX_U64 = math.nan, math.inf, 2**64 - 1

values = st.floats(min_value=-1e100, max_value=1e100)
keys = st.sampled_from(["", "a", "b", "ab", "á", "a\u0301", "\U0001f600", "\x00"])


def state_bytes(cls, xs):
    s = cls()
    for x in xs:
        s.add(x)
    return s.to_bytes()


def replicated(adds):
    r = ReplicatedSum()
    for replica, x in adds:
        r.add(replica, x)
    return r


def filled(cls, pairs):
    m = cls()
    for k, x in pairs:
        m.add(k, x)
    return m


def map_bytes(entries):
    out = struct.pack("<I", len(entries))
    for k, body in entries:
        raw = k.encode() if isinstance(k, str) else k
        out += struct.pack("<I", len(raw)) + raw + struct.pack("<I", len(body)) + body
    return out


def replicated_bytes(slots):
    return struct.pack("<I", len(slots)) + b"".join(struct.pack("<QI", r, len(b)) + b for r, b in slots)


# --- ReplicatedSum ----------------------------------------------------------


def test_replicated_examples():
    assert (ReplicatedSum().value(), ReplicatedSum().encode()) == (0.0, bytes(4))
    r = replicated([(7, 1.5), (7, 2.5), (3, 1.0)])
    assert r.value() == 5.0
    assert r.encode() == replicated_bytes([(3, state_bytes(SumF64, [1.0])), (7, state_bytes(SumF64, [1.5, 2.5]))])
    assert replicated([(MAX_U64, 1e308), (0, 1e308)]).value() == INF
    assert replicated([(1, 1e308), (2, -1e308)]).value() == 0.0


def test_join_rules():
    a, b = ReplicatedSum(), replicated([(9, 2.0)])
    a.join(b)
    a.add(9, 1.0)  # the joined slot is a copy
    assert (a.value(), b.value()) == (3.0, 2.0)
    a.join(replicated([(9, 5.0)]))  # fewer values: ignored
    assert a.value() == 3.0
    a.join(replicated([(9, 1.0)] * 3))  # more values: replaces
    assert a.value() == 3.0 and a.encode() == replicated([(9, 1.0)] * 3).encode()
    a.join(replicated([(9, 7.0)] * 3))  # equal counts: the receiver wins
    assert a.value() == 3.0


@pytest.mark.parametrize("replica, error", [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError)])
def test_bad_arguments_change_nothing(replica, error):
    r = replicated([(1, 1.0)])
    with pytest.raises(error):
        r.add(replica, 1.0)
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        r.join(r)
    assert r.encode() == replicated([(1, 1.0)]).encode()


@st.composite
def replica_histories(draw):
    """Per-replica value histories, and three copies holding a prefix of each."""
    ids = draw(st.lists(st.integers(0, MAX_U64), min_size=1, max_size=4, unique=True))
    history = {r: draw(st.lists(values, min_size=1, max_size=5)) for r in ids}
    copies = [{r: draw(st.integers(0, len(h))) for r, h in history.items()} for _ in range(3)]
    return history, copies


@settings(max_examples=80, deadline=None)
@given(replica_histories())
def test_join_is_commutative_associative_idempotent(case):
    history, copies = case
    a, b, c = (replicated([(r, x) for r, k in p.items() for x in history[r][:k]]) for p in copies)
    latest = {r: max(p[r] for p in copies) for r in history}
    expected = replicated([(r, x) for r, k in latest.items() for x in history[r][:k]])

    def join(*parts):
        out = ReplicatedSum.decode(parts[0].encode())
        for p in parts[1:]:
            out.join(other=p)
        return out

    for result in (join(join(a, b), c), join(a, join(b, c)), join(c, b, a), join(a, b, c, b, a, c)):
        assert result.encode() == expected.encode()
    assert same_float(expected.value(), math.fsum(x for r, k in latest.items() for x in history[r][:k]))


def bad_replicated():
    one = state_bytes(SumF64, [1.0])
    good = replicated_bytes([(1, one), (2, one)])
    return [
        good[:-1],
        good + b"\0",
        good[:3],
        b"",
        struct.pack("<I", 3) + good[4:],
        b"\xff\xff\xff\xff",
        replicated_bytes([(2, one), (1, one)]),
        replicated_bytes([(1, one), (1, one)]),
        replicated_bytes([(1, one + b"\0")]),
        replicated_bytes([(1, one[:-1])]),
        replicated_bytes([(1, one[:272] + b"\x08" + one[273:])]),
    ]


@pytest.mark.parametrize("b", bad_replicated())
def test_replicated_decode_rejects(b):
    with pytest.raises(ValueError) as e:
        ReplicatedSum.decode(b)
    assert str(e.value) == UNDEFINED


# --- SumMap and MomentsMap ---------------------------------------------------

MAPS = [(SumMap, SumF64), (MomentsMap, MomentsF64)]


def test_sum_map_example():
    m = filled(SumMap, [("b", 1.0), ("a", 2.0), ("b", 3.0)])
    assert (m.len(), m.count(), m.value("b"), m.value(key="a")) == (2, 3, 4.0, 2.0)
    assert m.encode() == map_bytes([("a", state_bytes(SumF64, [2.0])), ("b", state_bytes(SumF64, [1.0, 3.0]))])
    full = SumF64.from_bytes(bytes(273) + struct.pack("<Q", MAX_U64)).to_bytes()
    assert SumMap.decode(map_bytes([("a", full), ("b", full)])).count() == MAX_U64


@pytest.mark.parametrize("cls, state", MAPS)
def test_keys_are_raw_utf8_in_byte_order(cls, state):
    ks = ["á", "a\u0301", "", "\U0001f600", "\uffff", "b"]
    m = filled(cls, [(k, 1.0) for k in ks])
    assert cls().encode() == bytes(4)
    assert m.encode() == map_bytes([(k, state_bytes(state, [1.0])) for k in sorted(ks, key=str.encode)])


@pytest.mark.parametrize("cls, query", [(SumMap, "value"), (MomentsMap, "mean"), (MomentsMap, "variance")])
def test_absent_key_is_undefined(cls, query):
    m = filled(cls, [("a", 1.0)])
    for k in ("b", "A", "a\x00", ""):
        with pytest.raises(ValueError) as e:
            getattr(m, query)(k)
        assert str(e.value) == UNDEFINED
    assert m.len() == 1


def test_moments_map_errors_pass_through():
    m = filled(MomentsMap, [("k", 1.0), ("k", NAN), ("tiny", 1e-300)])
    for query, k, message in [
        (m.mean, "k", "NonFinite"),
        (m.variance, "k", "NonFinite"),
        (m.variance, "tiny", "ExactnessLost"),
    ]:
        with pytest.raises(ValueError) as e:
            query(k)
        assert str(e.value) == message


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(keys, st.floats(min_value=-1e100, max_value=1e100)), min_size=1, max_size=20))
def test_moments_map_matches_exact_oracle(pairs):
    m = filled(MomentsMap, pairs)
    for k in {k for k, _ in pairs}:
        xs = [Fraction(x) for kk, x in pairs if kk == k]
        mean = sum(xs) / len(xs)
        assert m.mean(k) == float(mean)
        if any(splits_inexactly(float(x), float(x)) for x in xs):
            with pytest.raises(ValueError, match="^ExactnessLost$"):
                m.variance(k)
        else:
            assert m.variance(k) == float(sum(x * x for x in xs) / len(xs) - mean * mean)


@settings(max_examples=60, deadline=None)
@given(
    st.sampled_from([SumMap, MomentsMap]),
    st.lists(st.tuples(keys, st.floats()), max_size=25),
    st.randoms(use_true_random=False),
)
def test_any_mix_of_adds_and_merges_encodes_the_same(cls, pairs, rnd):
    parts = [cls() for _ in range(rnd.randint(1, 4))]
    for k, x in pairs:
        rnd.choice(parts).add(k, x)
    while len(parts) > 1:
        a = parts.pop(rnd.randrange(len(parts)))
        a.merge(parts.pop(rnd.randrange(len(parts))))
        parts.append(a)
    whole = filled(cls, pairs)
    assert parts[0].encode() == whole.encode()
    assert cls.decode(whole.encode()).encode() == whole.encode()
    assert whole.len() == len({k for k, _ in pairs})


@pytest.mark.parametrize("cls, state", MAPS)
def test_merging_twice_counts_twice(cls, state):
    a, b = filled(cls, [("x", 1.0), ("y", 2.0)]), filled(cls, [("y", 3.0), ("z", 4.0)])
    a.merge(b)
    a.merge(b)
    assert a.encode() == filled(cls, [("x", 1.0), ("y", 2.0)] + [("y", 3.0), ("z", 4.0)] * 2).encode()
    assert b.encode() == filled(cls, [("y", 3.0), ("z", 4.0)]).encode()


@pytest.mark.parametrize("cls, state", MAPS)
def test_failed_calls_change_nothing(cls, state):
    m = filled(cls, [("a", 1.0)])
    before = m.encode()
    with pytest.raises(TypeError) as e:
        m.add(5, 1.0)
    assert str(e.value) == "argument 'key': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError, match="argument 'x'"):
        m.add("new", "1.0")
    with pytest.raises(UnicodeEncodeError):
        m.add("\ud800", 1.0)
    with pytest.raises(TypeError, match="argument 'other'"):
        m.merge(SumMap() if cls is MomentsMap else MomentsMap())
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        m.merge(m)
    assert m.encode() == before


def bad_maps(state):
    one = state_bytes(state, [1.0])
    good = map_bytes([("a", one), ("b", one)])
    yield from [
        good[:-1],
        good + b"\0",
        good[:2],
        b"",
        struct.pack("<I", 3) + good[4:],
        b"\xff\xff\xff\xff",
    ]
    yield from [
        map_bytes([("b", one), ("a", one)]),
        map_bytes([("a", one), ("a", one)]),
        map_bytes([("ab", one), ("a", one)]),
    ]
    for raw in (b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\x80", b"\xff"):
        yield map_bytes([(raw, one)])  # overlong, surrogate, beyond U+10FFFF, cut, stray, invalid
    yield from [
        map_bytes([("a", one + b"\0")]),
        map_bytes([("a", one[:-1])]),
        struct.pack("<II", 1, 2**32 - 1) + b"a",
    ]
    yield map_bytes([("a", one[:272] + b"\x08" + one[273:])])
    if state is MomentsF64:
        yield map_bytes([("a", one[:-1] + b"\x02")])  # exactness byte of the sum of squares


@pytest.mark.parametrize("cls, state", MAPS)
def test_map_decode_rejects(cls, state):
    for b in bad_maps(state):
        with pytest.raises(ValueError) as e:
            cls.decode(b)
        assert str(e.value) == UNDEFINED, b


@pytest.mark.parametrize("cls", [SumMap, MomentsMap, ReplicatedSum])
def test_decode_of_damaged_bytes(cls):
    rnd = random.Random(11)
    good = (
        replicated([(1, 1.0), (5, 2.0)]) if cls is ReplicatedSum else filled(cls, [("a", 1.0), ("é", 2.0)])
    ).encode()
    for _ in range(400):
        b = bytearray(good)
        for _ in range(rnd.randint(1, 4)):
            b[rnd.randrange(len(b))] = rnd.getrandbits(8)
        b = bytes(b[: rnd.randrange(len(b))] if rnd.random() < 0.3 else b)
        try:
            assert cls.decode(b).encode() == b
        except ValueError as e:
            assert str(e) == UNDEFINED


# --- DeltasSum ----------------------------------------------------------------


@settings(max_examples=60, deadline=None)
@given(st.lists(values, max_size=30))
def test_deltas_sum_is_exact(xs):
    d = DeltasSum()
    for x in xs + [1e16, 1.0, -1e16]:
        d.add(x)
    assert d.value() == math.fsum(xs + [1.0])


def test_deltas_sum_special_values():
    d = DeltasSum()
    assert d.value() == 0.0
    d.add(INF)
    assert d.value() == INF
    d.add(-INF)
    assert math.isnan(d.value())


@pytest.mark.parametrize("values", [[], [1e16, 1.0, -1e16], [math.inf, 2.0]])
def test_replica_from_a_slot_is_the_add_loop(values):
    import tallix

    slot, looped = SumF64(), ReplicatedSum()
    slot.extend(values)
    for x in values:
        looped.add(2**63 + 5, x)
    assert tallix._replica(2**63 + 5, slot).encode() == looped.encode()
