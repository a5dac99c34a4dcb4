"""States travel through pickle, copy, process pools and dask.delayed as their
documented bytes once the companion is imported: every copy has the bytes and
the receipt of its original, and the states without a loadable byte form
refuse with a message that says what to send instead."""

import copy
import multiprocessing
import pickle
import re
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

import tallix as T

try:
    import tallix_companion  # noqa: F401  registers the picklers
except ImportError:  # running from the source tree; spawned workers inherit sys.path
    sys.path.append(str(Path(__file__).resolve().parents[1] / "python"))
    import tallix_companion  # noqa: F401

XS = [1e16, 1.0, -1e16, 0.1, -0.0, 2.0**-1074, 3.5, -7.25]
EDGES = [-1.0, 0.0, 1.0, 1e10]

# name: (empty state, add the i-th value x)
TRAVELLING = {
    "SumF64": (T.SumF64, lambda s, i, x: s.add(x)),
    "SumF32": (T.SumF32, lambda s, i, x: s.add(x)),
    "MomentsF64": (T.MomentsF64, lambda s, i, x: s.add(x)),
    "Moments4F64": (T.Moments4F64, lambda s, i, x: s.add(x)),
    "CovF64": (T.CovF64, lambda s, i, x: s.add(x, float(i))),
    "WeightedMomentsF64": (T.WeightedMomentsF64, lambda s, i, x: s.add(x, i + 1.0)),
    "PnMomentsF64": (T.PnMomentsF64, lambda s, i, x: s.remove(x) if i == 3 else s.add(x)),
    "CovMatrixF64": (lambda: T.CovMatrixF64(2), lambda s, i, x: s.add([x, float(i)], 2.0 * i)),
    "HistogramF64": (lambda: T.HistogramF64(EDGES), lambda s, i, x: s.add(x)),
    "ExtremaF64": (T.ExtremaF64, lambda s, i, x: s.add(x)),
    "SumMap": (T.SumMap, lambda s, i, x: s.add(f"k{i % 3}", x)),
    "MomentsMap": (T.MomentsMap, lambda s, i, x: s.add(f"ké{i % 2}", x)),
    # Each half of XS is its own replica, so that joining the halves adds them.
    "ReplicatedSum": (T.ReplicatedSum, lambda s, i, x: s.add(2 * i // len(XS), x)),
}

# name: (a new state, the advice its refusal must give)
STAYING = {
    "FastSumF64": (lambda: T.FastSumF64(), "finish()"),
    "DotF64": (lambda: T.DotF64(), "value()"),
    "DeltasSum": (lambda: T.DeltasSum(), "value()"),
}


def build(name, xs=XS, start=0):
    factory, add = TRAVELLING[name]
    s = factory()
    for i, x in enumerate(xs, start):
        add(s, i, x)
    return s


def form(s):
    """The documented bytes and, where the class has one, the receipt."""
    blob = s.to_bytes() if hasattr(s, "to_bytes") else s.encode()
    return blob, s.state_hash() if hasattr(s, "state_hash") else None


def by_pickle(protocol):
    return lambda s: pickle.loads(pickle.dumps(s, protocol=protocol))


COPIERS = {f"pickle{p}": by_pickle(p) for p in range(pickle.HIGHEST_PROTOCOL + 1)}
COPIERS.update(copy=copy.copy, deepcopy=copy.deepcopy)


def test_every_class_is_covered():
    classes = {n for n in T.__all__ if isinstance(getattr(T, n), type)}
    assert set(TRAVELLING) | set(STAYING) == classes
    assert not set(TRAVELLING) & set(STAYING)


@pytest.mark.parametrize("how", list(COPIERS))
@pytest.mark.parametrize("name", list(TRAVELLING))
def test_copies_keep_bytes_and_receipt(name, how):
    for original in (TRAVELLING[name][0](), build(name)):
        clone = COPIERS[how](original)
        assert type(clone) is type(original) and clone is not original
        assert form(clone) == form(original)


@pytest.mark.parametrize("how", list(COPIERS))
@pytest.mark.parametrize("name", list(STAYING))
def test_states_without_a_byte_form_refuse_and_say_what_travels(name, how):
    factory, advice = STAYING[name]
    expected = f"{name} has no byte form to pickle; .*{re.escape(advice)}"
    with pytest.raises(TypeError, match=expected):
        COPIERS[how](factory())


@pytest.mark.parametrize("name", ["FastSumF64", "Replica", "KINDS", "__class__"])
def test_pickles_naming_no_loadable_class_are_refused(name):
    from tallix_companion.pickling import restore

    with pytest.raises(pickle.UnpicklingError, match=f"no class '{name}' with a byte form"):
        restore(name, b"")


def combined(states):
    """Run in another process: merge the received states and send the result back."""
    acc = states[0]
    for other in states[1:]:
        (acc.join if isinstance(acc, T.ReplicatedSum) else acc.merge)(other)
    return acc


def halves(name):
    cut = len(XS) // 2
    return [build(name, XS[:cut]), build(name, XS[cut:], start=cut)]


def test_states_cross_a_spawned_process_pool():
    spawn = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=spawn) as pool:
        results = {n: pool.submit(combined, halves(n)) for n in TRAVELLING}
        for name, future in results.items():
            assert form(future.result(timeout=120)) == form(build(name)), name


def test_states_cross_dask_delayed_on_worker_processes():
    dask = pytest.importorskip("dask")
    tasks = [dask.delayed(combined)(halves(n)) for n in TRAVELLING]
    results = dask.compute(*tasks, scheduler="processes", num_workers=2)
    assert [form(r) for r in results] == [form(build(n)) for n in TRAVELLING]
