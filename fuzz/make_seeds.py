"""Writes the seed corpus of the fuzz harnesses into fuzz/corpus/.

Decoder seeds are valid encodings of every state (and a few with hostile
length fields), framed as the decode harness reads them: one selector byte,
an 8-byte little-endian length, the encoding, then argument bytes. The other
harnesses start from short fixed byte strings. Deterministic; needs only the
standard library.
"""

import pathlib
import random
import struct

ROOT = pathlib.Path(__file__).parent / "corpus"
MASK = (1 << 64) - 1
rng = random.Random(8)


def sum_form(flags=0, count=None, limbs=None):
    limbs = limbs or [rng.getrandbits(64) if rng.random() < 0.3 else 0 for _ in range(34)]
    count = rng.getrandbits(64) if count is None else count
    return b"".join(struct.pack("<Q", v) for v in limbs) + bytes([flags]) + struct.pack("<Q", count)


def dot_form(lost=0, **kw):
    return sum_form(**kw) + bytes([lost])


def moments():
    return sum_form() + dot_form()


def covmat(d, mismatched=0):
    m = d * (d + 1) // 2 + d
    return (
        struct.pack("<IB", d, mismatched)
        + b"".join(sum_form() for _ in range(d + 1))
        + b"".join(dot_form(lost=rng.randint(0, 1)) for _ in range(m))
    )


def histogram(edges, undefined=0):
    n = len(edges)
    return (
        struct.pack("<IB", n, undefined)
        + b"".join(struct.pack("<d", e) for e in edges)
        + b"".join(struct.pack("<Q", rng.getrandbits(8)) for _ in range(n + 1))
        + struct.pack("<Q", 3)
    )


def keyed(entries, body):
    out = struct.pack("<I", len(entries))
    for key in entries:
        k = key.encode()
        b = body()
        out += struct.pack("<I", len(k)) + k + struct.pack("<I", len(b)) + b
    return out


def replicated(ids):
    out = struct.pack("<I", len(ids))
    for r in ids:
        out += struct.pack("<QI", r, 281) + sum_form()
    return out


DECODE = [
    (0, sum_form(flags=5)),
    (0, sum_form(count=MASK, limbs=[MASK] * 34)),
    (1, sum_form(flags=2)),
    (2, dot_form(lost=1)),
    (2, dot_form()),
    (3, moments()),
    (4, sum_form() + dot_form() * 3 + b"\x01"),
    (5, sum_form() * 2 + dot_form() * 3),
    (6, sum_form() + dot_form() * 2 + b"\x00"),
    (7, moments() + moments()),
    (8, covmat(0)),
    (8, covmat(1)),
    (8, covmat(2, mismatched=1)),
    (8, covmat(3)),
    (8, struct.pack("<IB", 0xFFFFFFFF, 0) + sum_form()),
    (9, histogram([0.0, 1.0])),
    (9, histogram([3.0, -1.0, float("nan")], undefined=1)),
    (9, histogram([-0.0, 0.0, 5e-324, 1e308])),
    (9, struct.pack("<IB", 0xFFFFFFFF, 0) + bytes(64)),
    (10, struct.pack("<ddBQ", -1.0, 2.0, 2, 7)),
    (10, struct.pack("<ddBQ", 0.0, 0.0, 1, 1)),
    (11, keyed(["", "a", "\u00e9"], sum_form)),
    (11, struct.pack("<II", 0xFFFFFFFF, 0xFFFFFFFF)),
    (12, keyed(["k", "z" * 20], moments)),
    (13, replicated([0, 7, MASK])),
    (13, struct.pack("<I", 0xFFFFFFFF)),
]


def framed(selector, encoding):
    return (
        bytes([selector]) + struct.pack("<Q", len(encoding)) + encoding + bytes(rng.getrandbits(8) for _ in range(48))
    )


def main():
    for name in ("decode", "sums", "stats"):
        (ROOT / name).mkdir(parents=True, exist_ok=True)
        for old in (ROOT / name).glob("seed-*"):
            old.unlink()
    for i, (selector, encoding) in enumerate(DECODE):
        (ROOT / "decode" / f"seed-{i:02d}").write_bytes(framed(selector, encoding))
    for name in ("sums", "stats"):
        for i in range(6):
            (ROOT / name / f"seed-{i:02d}").write_bytes(bytes(rng.getrandbits(8) for _ in range(64 + 64 * i)))


if __name__ == "__main__":
    main()
