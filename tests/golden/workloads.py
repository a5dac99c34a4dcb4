"""Seeded workloads whose receipts are pinned in receipts.txt.

What each workload does is written in workloads.txt, which this module and
tools/repro_receipts.cpp both interpret; this side runs it through the module.
Each workload draws N values from a splitmix64 stream, feeds one class through
the statements of its block and yields two digests: the state receipt and the
SHA-256 of a record of every query answer (bit patterns, or the error text).

Run `python tests/golden/workloads.py` with the module importable to print the
lines of receipts.txt.
"""

import hashlib
import math
import pathlib
import struct
import sys

import tallix

PLAN_FILE = pathlib.Path(__file__).with_name("workloads.txt")
MASK = (1 << 64) - 1
SIGN = 1 << 63
FRAC = (1 << 52) - 1


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


DRAWS = {"plain": draw_plain, "mixed": draw_mixed, "tiny": draw_tiny, "saturated": draw_plain}


def values(n, mode, seed):
    rng = SplitMix64(seed)
    xs = [from_bits(DRAWS[mode](rng)) for _ in range(n)]
    aux = [rng.next() for _ in range(n)]
    return xs, aux


# ---- the plan file ----


def unquote(token):
    """A quoted string whose \\xNN escapes spell the bytes of its UTF-8 form."""
    raw, out = token[1:-1], bytearray()
    i = 0
    while i < len(raw):
        if raw.startswith("\\x", i):
            out.append(int(raw[i + 2 : i + 4], 16))
            i += 4
        else:
            out += raw[i].encode()
            i += 1
    return out.decode()


LIST_ITEM = {"str": unquote, "u64": lambda t: int(t, 0), "f64": float}
PACK = {"u8": "<B", "u32": "<I", "u64": "<Q", "f64": "<d"}


class Workload:
    def __init__(self, name, args):
        self.name, self.args = name, args
        self.saturated, self.steps = [], []


class Plan:
    def __init__(self, text):
        self.lists, self.parts, self.workloads = {}, {}, {}
        current = None
        for line in text.splitlines():
            tokens = line.split("#", 1)[0].split()
            if not tokens:
                continue
            verb, rest = tokens[0], tokens[1:]
            if verb == "values":
                self.n = int(rest[0])
            elif verb == "modes":
                self.modes = rest
            elif verb == "list":
                self.lists[rest[0]] = [LIST_ITEM[rest[1]](t) for t in rest[2:]]
            elif verb == "part":
                self.parts[rest[0]] = rest[1:]
            elif verb == "class":
                current = self.workloads[rest[0]] = Workload(rest[0], rest[1:])
            elif verb == "saturated":
                current.saturated += rest
            else:
                current.steps.append((verb, rest))

    def form(self, pieces):
        out = b""
        for piece in pieces:
            token, _, times = piece.partition("*")
            kind, _, v = token.partition(":")
            one = (
                struct.pack(PACK[kind], float(v) if kind == "f64" else int(v, 0))
                if v
                else (self.form(self.parts[kind]))
            )
            out += one * int(times or 1)
        return out

    def arg(self, token, b=None):
        if token == "b":
            return b
        if token in self.lists:
            return self.lists[token]
        name, bracket, index = token.partition("[")
        if bracket:
            return self.lists[name][int(index.rstrip("]"))]
        try:
            return int(token, 0)
        except ValueError:
            return float(token)

    def items(self, wanted, xs, aux):
        """The argument tuples of ITEMS, one per call."""
        wanted, _, times = wanted.partition("*")
        shape, _, cut = wanted.partition("[")
        if shape == "x":
            out = [(x,) for x in xs]
        elif shape == "pair":
            out = [(xs[2 * i], xs[2 * i + 1]) for i in range(len(xs) // 2)]
        elif shape.startswith("row"):
            d = int(shape[3:])
            out = [(xs[(d + 1) * i : (d + 1) * i + d], xs[(d + 1) * i + d]) for i in range(len(xs) // (d + 1))]
        else:
            picks = self.lists[shape.removesuffix(".x")]
            out = [(picks[a % len(picks)], x) for x, a in zip(xs, aux, strict=True)]
        if cut:
            out = out[slice(*[int(p) if p else None for p in cut.rstrip("]").split(":")])]
        return out * int(times or 1)


PLAN = Plan(PLAN_FILE.read_text())
MODES = PLAN.modes
CLASSES = list(PLAN.workloads)


# ---- the record of query answers ----


class Record:
    def __init__(self):
        self.items = []

    def ask(self, name, query):
        try:
            self.items.append(f"{name}={fmt(query())}")
        except ValueError as e:
            self.items.append(f"{name}!{e}")

    def digest(self):
        return hashlib.sha256(";".join(self.items).encode()).hexdigest()


def fmt(v):
    if v is None:  # a call that answers nothing succeeded
        return "ok"
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


# ---- the interpreter ----


def start(cls, workload, mode):
    if mode == "saturated":
        form = PLAN.form(workload.saturated)
        return cls.decode(form) if hasattr(cls, "decode") else cls.from_bytes(form)
    return cls(*[PLAN.arg(t) for t in workload.args])


def ask(rec, a, b, query):
    label, eq, call = query.partition("=")
    method, _, args = (call if eq else label).partition("(")
    args = [PLAN.arg(t, b) for t in args.rstrip(")").split(",")] if args else []
    rec.ask(label, lambda: getattr(a, method)(*args))


def receipt(a, what):
    if what == "state_hash":
        return a.state_hash().hex()
    v = getattr(a, what)()
    return sha(v if isinstance(v, bytes) else struct.pack("<d", v))


def run_steps(a, b, steps, xs, aux, rec):
    for verb, rest in steps:
        if verb == "feed":
            target, wanted, methods = rest[0], rest[1], rest[2:]
            for i, item in enumerate(PLAN.items(wanted, xs, aux)):
                s = {"a": a, "b": b, "split": a if i % 2 == 0 else b}[target]
                getattr(s, methods[i % len(methods)])(*item)
        elif verb == "extend":
            columns = zip(*PLAN.items(rest[1], xs, aux), strict=True)
            {"a": a, "b": b}[rest[0]].extend(*[list(c) for c in columns])
        elif verb in ("merge", "join"):
            getattr(a, verb)(b)
        elif verb == "finish":
            a = a.finish()
        elif verb == "ask":
            for query in rest:
                ask(rec, a, b, query)
        elif verb == "receipt":
            return receipt(a, rest[0])
        else:
            raise ValueError(f"unknown statement {verb!r}")
    raise ValueError("a workload ends with its receipt")


def has_mode(name, mode):
    return mode != "saturated" or bool(PLAN.workloads[name].saturated)


def run(name, mode):
    """(receipt, results digest, record text), or None where the class has no
    saturated form."""
    if not has_mode(name, mode):
        return None
    workload, cls = PLAN.workloads[name], getattr(tallix, name)
    xs, aux = values(PLAN.n, mode, 1000 * CLASSES.index(name) + MODES.index(mode))
    rec = Record()
    a = start(cls, workload, mode)
    b = cls(*[PLAN.arg(t) for t in workload.args])
    digest = run_steps(a, b, workload.steps, xs, aux, rec)
    return digest, rec.digest(), ";".join(rec.items)


def workloads():
    return [(c, m) for c in CLASSES for m in MODES if has_mode(c, m)]


def lines():
    out = []
    for c, m in workloads():
        receipt_hex, results, _ = run(c, m)
        out.append(f"{c}/{m} {receipt_hex} {results}")
    return out


if __name__ == "__main__":
    sys.stdout.write("\n".join(lines()) + "\n")
