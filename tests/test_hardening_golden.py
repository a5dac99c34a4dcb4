"""Pinned receipts: fixed, seeded workloads for every class (NaN, infinities,
subnormals, saturated states loaded from bytes) must reproduce the receipts
and query answers in golden/receipts.txt bit for bit. Any change to a byte
form, to rounding or to a query shows up here; scripts/repro_matrix.sh checks
the same file against builds of the core made with other compilers and
options."""

import pathlib

import pytest

from golden import workloads

GOLDEN = pathlib.Path(__file__).parent / "golden" / "receipts.txt"


def pinned():
    out = {}
    for line in GOLDEN.read_text().splitlines():
        name, receipt, results = line.split()
        out[name] = (receipt, results)
    return out


PINNED = pinned()


def test_every_class_and_mode_is_pinned():
    names = [f"{c}/{m}" for c, m in workloads.workloads()]
    assert sorted(names) == sorted(PINNED)
    assert {n.split("/")[0] for n in names} == set(workloads.CLASSES)
    assert len(workloads.CLASSES) == 16


@pytest.mark.parametrize("name", sorted(PINNED))
def test_workload_reproduces_pinned_receipts(name):
    cls, mode = name.split("/")
    receipt, results, record = workloads.run(cls, mode)
    assert (receipt, results) == PINNED[name], record


def test_splitmix64_reference_values():
    # First outputs for seed 0 of the published generator; the C++ driver
    # shares this stream, so a slip here would silently change every workload.
    g = workloads.SplitMix64(0)
    assert [g.next() for _ in range(3)] == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F]
