"""Seeded workloads whose receipts are pinned in receipts.txt.

The same workloads are written out in C++ in tools/repro_receipts.cpp; the two
must stay step for step identical. Each workload draws N values from a
splitmix64 stream, feeds one class through a fixed mix of add/merge calls and
yields two digests: the state receipt and the SHA-256 of a record of every
query answer (bit patterns, or the error text).

Run `python tests/golden/workloads.py` with the module importable to print the
lines of receipts.txt.
"""

import hashlib
import math
import struct
import sys

import tallix

N = 240
MASK = (1 << 64) - 1
MODES = ["plain", "mixed", "tiny", "saturated"]
KEYS = ["", "a", "b", "\u00e9", "e\u0301", "z" * 20]
REPLICAS = [0, 1, 7, 1 << 63, MASK]
EDGES = [-1e300, -1000.0, -1.0, -0.0, 0.0, 5e-324, 1.0, 1000.0, 1e300]
QUANTILES = [0.0, 0.25, 0.5, 0.75, 1.0]


class SplitMix64:
    def __init__(self, seed):
        self.state = seed & MASK

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        return z ^ (z >> 31)


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


SIGN = 1 << 63
FRAC = (1 << 52) - 1


def draw_plain(rng):
    r = rng.next()
    return (r & SIGN) | ((993 + (r >> 52) % 61) << 52) | (rng.next() & FRAC)


def draw_tiny(rng):
    r = rng.next()
    return (r & SIGN) | (((r >> 52) % 3) << 52) | (rng.next() & FRAC)


def draw_mixed(rng):
    kind = rng.next() % 8
    if kind == 0:  # quiet NaN, any sign and payload
        return (rng.next() & (SIGN | FRAC)) | 0x7FF8000000000000
    if kind == 1:
        return (rng.next() & SIGN) | 0x7FF0000000000000
    if kind == 2:
        return draw_tiny(rng)
    if kind == 3:
        return rng.next() & SIGN
    if kind == 4:
        r = rng.next()
        return (r & SIGN) | ((2043 + (r >> 52) % 4) << 52) | (rng.next() & FRAC)
    return draw_plain(rng)


def values(mode, seed):
    rng = SplitMix64(seed)
    draw = {"plain": draw_plain, "tiny": draw_tiny}.get(mode, draw_mixed)
    if mode == "saturated":
        draw = draw_plain
    xs = [from_bits(draw(rng)) for _ in range(N)]
    aux = [rng.next() for _ in range(N)]
    return xs, aux


# ---- saturated byte forms: counts at the top, limbs near the wrap ----

def sat_sum():
    limbs = [MASK] * 33 + [MASK >> 1]
    return b"".join(struct.pack("<Q", v) for v in limbs) + b"\x00" + struct.pack("<Q", MASK - 1)


def sat_dot():
    return sat_sum() + b"\x00"


def sat_form(name):
    s, d = sat_sum(), sat_dot()
    if name in ("SumF64", "SumF32"):
        return s
    if name == "MomentsF64":
        return s + d
    if name == "Moments4F64":
        return s + d * 3 + b"\x00"
    if name == "CovF64":
        return s * 2 + d * 3
    if name == "WeightedMomentsF64":
        return s + d * 2 + b"\x00"
    if name == "PnMomentsF64":
        return (s + d) * 2
    if name == "CovMatrixF64":
        return struct.pack("<IB", 3, 0) + s * 4 + d * 9
    if name == "HistogramF64":
        edges = [-1.0, 0.0, 1.0]
        counts = [MASK, 5, MASK - 1, 0]
        return (struct.pack("<IB", 3, 0) + b"".join(struct.pack("<d", e) for e in edges)
                + b"".join(struct.pack("<Q", c) for c in counts) + struct.pack("<Q", MASK))
    if name == "ExtremaF64":
        return struct.pack("<ddBQ", -1.0, 2.0, 2, MASK)
    return None


# ---- the record of query answers ----

class Record:
    def __init__(self):
        self.items = []

    def ask(self, name, query):
        try:
            self.items.append(f"{name}={fmt(query())}")
        except ValueError as e:
            self.items.append(f"{name}!{e}")

    def put(self, name, value):
        self.items.append(f"{name}={fmt(value)}")

    def digest(self):
        return hashlib.sha256(";".join(self.items).encode()).hexdigest()


def fmt(v):
    if isinstance(v, bool):
        return "1" if v else "0"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return "nan" if math.isnan(v) else f"{bits(v):016x}"
    if isinstance(v, (list, tuple)):
        return ",".join(fmt(x) for x in v)
    return str(v)


def sha(b):
    return hashlib.sha256(b).hexdigest()


# ---- one function per class: (receipt hex, record) ----

def split_feed(a, b, items, feed):
    for i, item in enumerate(items):
        feed(a if i % 2 == 0 else b, item)


def start(cls, name, mode, *args):
    if mode == "saturated":
        form = sat_form(name)
        if form is None:
            return None
        return cls.decode(form) if hasattr(cls, "decode") else cls.from_bytes(form)
    return cls(*args)


def run_sum(cls, name, mode, xs, aux, rec):
    a, b = start(cls, name, mode), cls()
    split_feed(a, b, xs, lambda s, x: s.add(x))
    a.merge(b)
    if cls is tallix.SumF64:
        rec.put("unmerge", a.try_unmerge(b))
        a.merge(b)
    rec.put("count", a.count())
    rec.put("value", a.value())
    return a.state_hash().hex()


def run_fast(cls, name, mode, xs, aux, rec):
    a = cls()
    third = N // 3
    for x in xs[:third]:
        a.add(x)
    a.extend(xs[third:])
    a.extend(xs * 20)  # long enough for the chunked path
    rec.put("count", a.count())
    f = a.finish()
    rec.put("value", f.value())
    return f.state_hash().hex()


def pairs(xs):
    return [(xs[2 * i], xs[2 * i + 1]) for i in range(len(xs) // 2)]


def run_dot(cls, name, mode, xs, aux, rec):
    a, b = cls(), cls()
    ps = pairs(xs)
    for p, q in ps[0::2]:
        a.push(p, q)
    b.extend([p for p, _ in ps[1::2]], [q for _, q in ps[1::2]])
    a.merge(b)
    rec.ask("value", a.value)
    return a.state_hash().hex()


STATS_QUERIES = {
    "MomentsF64": ["count", "mean", "variance", "sample_variance", "stddev"],
    "Moments4F64": ["count", "mean", "variance", "kurtosis", "excess_kurtosis", "skewness",
                    "skewness_squared"],
    "CovF64": ["count", "covariance", "slope", "intercept", "r_squared", "correlation"],
    "WeightedMomentsF64": ["count", "mean", "variance"],
    "PnMomentsF64": ["live_count", "mean", "variance"],
}


def run_stats(cls, name, mode, xs, aux, rec):
    a, b = start(cls, name, mode), cls()
    if name in ("CovF64", "WeightedMomentsF64"):
        split_feed(a, b, pairs(xs), lambda s, p: s.add(*p))
    elif name == "PnMomentsF64":
        for i, x in enumerate(xs):
            s = a if i % 2 == 0 else b
            (s.remove if i % 3 == 2 else s.add)(x)
    else:
        split_feed(a, b, xs, lambda s, x: s.add(x))
    a.merge(b)
    for q in STATS_QUERIES[name]:
        rec.ask(q, getattr(a, q))
    return a.state_hash().hex()


def run_covmat(cls, name, mode, xs, aux, rec):
    d = 3
    a, b = start(cls, name, mode, d), cls(d)
    rows = [(xs[4 * i:4 * i + 3], xs[4 * i + 3]) for i in range(N // 4)]
    split_feed(a, b, rows, lambda s, r: s.add(list(r[0]), r[1]))
    a.merge(b)
    rec.ask("sub", lambda: a.sub(b) or "ok")
    rec.put("count", a.count())
    for i in range(d):
        for j in range(i, d):
            rec.ask(f"cov{i}{j}", lambda: a.covariance(i, j))
    rec.ask("regression", a.regression)
    rec.ask("regression_exact", a.regression_exact)
    return a.state_hash().hex()


def run_hist(cls, name, mode, xs, aux, rec):
    a = start(cls, name, mode, EDGES)
    for x in xs:
        a.add(x)
    rec.ask("counts", a.counts)
    rec.put("total", a.total())
    for k, q in enumerate(QUANTILES):
        rec.ask(f"q{k}", lambda: a.quantile_bounds(q))
    return a.state_hash().hex()


def run_extrema(cls, name, mode, xs, aux, rec):
    a = start(cls, name, mode)
    for x in xs:
        a.add(x)
    for q in ("min", "max", "range"):
        rec.ask(q, getattr(a, q))
    return a.state_hash().hex()


def run_map(cls, name, mode, xs, aux, rec):
    a, b = cls(), cls()
    split_feed(a, b, list(zip(xs, aux)), lambda s, p: s.add(KEYS[p[1] % len(KEYS)], p[0]))
    a.merge(b)
    rec.put("len", a.len())
    if cls is tallix.SumMap:
        rec.put("count", a.count())
        for k, key in enumerate(KEYS):
            rec.ask(f"value{k}", lambda: a.value(key))
    else:
        for k, key in enumerate(KEYS):
            rec.ask(f"mean{k}", lambda: a.mean(key))
            rec.ask(f"variance{k}", lambda: a.variance(key))
    return sha(a.encode())


def run_replicated(cls, name, mode, xs, aux, rec):
    a, b = cls(), cls()
    split_feed(a, b, list(zip(xs, aux)), lambda s, p: s.add(REPLICAS[p[1] % len(REPLICAS)], p[0]))
    a.join(b)
    rec.put("value", a.value())
    return sha(a.encode())


def run_deltas(cls, name, mode, xs, aux, rec):
    a = cls()
    for x in xs:
        a.add(x)
    rec.put("value", a.value())
    return sha(struct.pack("<d", a.value()))


RUNNERS = {
    "SumF64": run_sum, "SumF32": run_sum, "FastSumF64": run_fast, "DotF64": run_dot,
    "MomentsF64": run_stats, "Moments4F64": run_stats, "CovF64": run_stats,
    "WeightedMomentsF64": run_stats, "PnMomentsF64": run_stats, "CovMatrixF64": run_covmat,
    "HistogramF64": run_hist, "ExtremaF64": run_extrema, "SumMap": run_map,
    "MomentsMap": run_map, "ReplicatedSum": run_replicated, "DeltasSum": run_deltas,
}
CLASSES = list(RUNNERS)


def run(name, mode):
    """(receipt, results digest, record text), or None where the class has no
    saturated form."""
    if mode == "saturated" and sat_form(name) is None:
        return None
    seed = 1000 * CLASSES.index(name) + MODES.index(mode)
    xs, aux = values(mode, seed)
    rec = Record()
    receipt = RUNNERS[name](getattr(tallix, name), name, mode, xs, aux, rec)
    return receipt, rec.digest(), ";".join(rec.items)


def workloads():
    return [(c, m) for c in CLASSES for m in MODES if m != "saturated" or sat_form(c)]


def lines():
    out = []
    for c, m in workloads():
        receipt, results, _ = run(c, m)
        out.append(f"{c}/{m} {receipt} {results}")
    return out


if __name__ == "__main__":
    sys.stdout.write("\n".join(lines()) + "\n")
