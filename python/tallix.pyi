# Type stubs of the tallix extension module. Parameter names are those of the
# methods' text signatures, so every argument may also be passed by keyword.
# The compiled module's docstrings are fixed texts (text signatures alone); the
# docstrings here are what editors and the docs site show instead.

"""Exact, bit-reproducible accumulators of float64 (IEEE 754 binary64) values.

Every state holds exact integers: sums in a 2176-bit fixed-point accumulator whose unit is
2**-1074 (the smallest subnormal), so that every finite float enters without rounding, and
products (squares, cross products) as their rounded value plus their exact fused-multiply-add
error. An answer is the exact value rounded once, to nearest with ties to even: the same bits
whatever the order of the values, however they were split into states and merged, on every
machine.

Rules shared by every class:

- Single values (`add`, `push`, `remove`, ...) are read as `float(x)` reads them: a float, an
  int, or anything with `__float__` or `__index__` (numpy scalars, `Fraction`, `Decimal`),
  rounded to float64 where need be. Anything else raises `TypeError` ("argument 'x': must be
  real number, not str"); an int beyond the float range raises `OverflowError`.
- Batch methods (`extend`) read any iterable (generators included, in chunks of 16384 values),
  any 1-D numeric array (float16/32/64, long double, signed and unsigned integers of every
  width, bool; any strides and byte order; anything with `__array__`, such as pandas Series and
  xarray) and Arrow data (`__arrow_c_array__` or `__arrow_c_stream__`: pyarrow, polars). They
  take a value only when float64 holds it exactly: an integer beyond 2**53 that would round, or
  a `Fraction`, `Decimal` or long double without an exact float64 value, raises `ValueError`,
  and so do missing values (`pandas.NA`, Arrow nulls); text, bytes, complex numbers, object,
  datetime and masked arrays and arrays of the wrong dimension raise `TypeError`. A batch is all
  or nothing (an error half-way, or Ctrl-C, leaves the state byte for byte as it was) and leaves
  exactly the bytes that the loop of single updates would. When every argument is an array or
  Arrow data of at least 8192 values, the values are read and added with the GIL released (the
  instance stays borrowed meanwhile); iterables, and the keys of `SumMap.extend` and
  `MomentsMap.extend`, are read with the GIL held.
  `dot`, `DotF64.extend`, `FastSumF64.extend` and the sequence arguments of `CovMatrixF64.add`
  and `HistogramF64(edges)` are single calls instead: sequences only (a generator is refused),
  every value as `float()` gives it, the GIL held.
- NaN and infinities never raise on input: they set sticky flags. A sum then answers NaN or an
  infinity; a statistic raises `ValueError("NonFinite")`.
- Statistics raise `ValueError` whose whole message is the reason: "Empty" (no values, or fewer
  than the statistic needs), "NonFinite" (a NaN or an infinity among the values, or a square or
  product that overflowed to infinity), "ExactnessLost" (below) or "Degenerate" (the statistic
  divides by zero: no spread, zero total weight, a singular system, ...).
- "ExactnessLost": a product of two non-zero factors (a square x*x, a cross product x*y, a
  weighted w*x) could not be held exactly, because its rounded value fell below 2**-1022 or its
  exact value has a bit below 2**-1074 (possible only below 2**-968). For a square that means
  0 < |x| < 2**-511 (about 1.5e-154), or 0 < |x| < 2**-485 (about 1e-146) when x uses the low
  bits of its significand. The flag is sticky and travels through merges and bytes; the queries
  that read such a product sum raise rather than answer inexactly.
- `to_bytes`/`encode` give the whole state, little-endian, with no magic number, version, class
  tag or checksum: the reader must know the class (`SumF64` and `SumF32` share one 281-byte
  form). `from_bytes`/`decode` take `bytes` only (a bytearray raises `TypeError`) and raise
  `ValueError("wrong byte length")` or `ValueError("undefined (insufficient data or invalid
  input)")`. `state_hash()`, where a class has it, is the SHA-256 digest of exactly those
  canonical bytes; two states of one class with equal hashes are equal states, so they give
  equal answers.
- Passing an instance to its own mutating method (`s.merge(s)`) raises
  `RuntimeError("Already mutably borrowed")`. While another thread's batch call holds an
  instance, changing it raises `RuntimeError("Already borrowed")` and reading it
  `RuntimeError("Already mutably borrowed")`. A call that raises leaves its instance as it was.
- The classes are final, compare by identity and carry no pickling of their own; importing
  `tallix_companion` registers picklers that move a state as its bytes.
"""

from collections.abc import Iterable, Sequence
from typing import Any, Self, SupportsFloat, SupportsIndex, TypeAlias, final

from numpy.typing import NDArray

__all__ = [
    "SumF64",
    "SumF32",
    "FastSumF64",
    "DotF64",
    "MomentsF64",
    "Moments4F64",
    "CovF64",
    "WeightedMomentsF64",
    "PnMomentsF64",
    "CovMatrixF64",
    "HistogramF64",
    "ExtremaF64",
    "SumMap",
    "MomentsMap",
    "ReplicatedSum",
    "DeltasSum",
    "dot",
]
"""The sixteen classes in the module's registration order, then `dot`."""

_Real: TypeAlias = SupportsFloat | SupportsIndex
"""A real number: a float, an int, or anything with `__float__` or `__index__` (numpy scalars, `Fraction`,
`Decimal`)."""
_Reals: TypeAlias = Iterable[_Real] | NDArray[Any]
"""What the batch methods take: any iterable of real numbers (generators included) or a numeric array; pandas and
xarray objects are both."""
_RealSequence: TypeAlias = Sequence[_Real] | NDArray[Any]
"""What `dot`, `DotF64.extend` and `FastSumF64.extend` take: sequences (not generators)."""
_Rows: TypeAlias = Iterable[Sequence[_Real] | NDArray[Any]] | NDArray[Any]
"""Feature rows of `CovMatrixF64.extend`: rows of d numbers or an (n, d) array."""

class PanicException(BaseException):
    """A broken caller contract: lengths that must agree did not.

    Raised by `dot` and `DotF64.extend` when `xs` and `ys` differ in length, and by
    `CovMatrixF64.add` when the row does not hold d values; the state is unchanged. It derives
    from `BaseException`, not `Exception`, so `except Exception` does not catch it: catch
    `tallix.PanicException` by name. Its one argument reads "assertion `left == right` failed: "
    followed by the check ("dot product requires equal-length slices", "row length must equal
    dim()"), then "\\n  left: " and the first length, "\\n right: " and the second. A one-line
    report of the failure is also written to standard error.
    """

@final
class SumF64:
    """Exact sum of float64 values, rounded once when asked for.

    Holds the sum as one exact integer in units of 2**-1074, the number of values added and
    sticky NaN, +inf and -inf flags. Merges exactly (commutative, associative) and exactly undoes
    a merge (`try_unmerge`); its 281-byte form is `to_bytes()`.
    """

    def __new__(cls) -> Self:
        """An empty sum: value 0.0, count 0."""
    def add(self, x: _Real) -> None:
        """Add one value exactly; NaN and infinities set sticky flags.

        Parameters
        ----------
        x
            Read as `float(x)` reads it (an int beyond 2**53 or a `Fraction` is rounded to float64
            first; `extend` refuses such values instead).

        Raises
        ------
        TypeError
            `x` is not a real number (str, None, complex).
        OverflowError
            `x` is an int beyond the float range.
        """
    def extend(self, xs: _Reals) -> None:
        """Add every value of `xs` exactly, all or nothing; the bytes equal those of `add` in a loop.

        Parameters
        ----------
        xs
            Any iterable of real numbers (generators included) or a 1-D numeric array of any real
            dtype, strides and byte order, pandas/xarray objects and Arrow data included. Arrays and
            Arrow data of 8192 values or more are read and added with the GIL released.

        Raises
        ------
        TypeError
            `xs` is not an iterable or is text or bytes; an item or the dtype is not a real number
            (complex, object, datetime, str); a masked array; an array of two or more dimensions.
        ValueError
            A value float64 cannot hold exactly (an integer beyond 2**53 that would round, a
            `Fraction`, `Decimal` or long double that would round) or a missing value (`pandas.NA`,
            an Arrow null). Nothing is added.
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def merge(self, other: SumF64) -> None:
        """Add `other`'s exact sum, count and flags into this one; `other` is unchanged.

        The result is the state that all the values of both would have built, in any order.

        Raises
        ------
        TypeError
            `other` is not a `SumF64` (a `SumF32` is refused too).
        RuntimeError
            "Already mutably borrowed": `other` is this instance.
        """
    def try_unmerge(self, other: SumF64) -> bool:
        """Exactly subtract a state merged in earlier (group subtraction).

        Subtracts `other`'s exact sum and count. After `a.merge(c)`, `a.try_unmerge(c)` restores
        `a`'s earlier exact sum, and its count unless the merge saturated it. This state's own flags
        stay: a NaN or infinity once added cannot be taken out.

        Returns
        -------
        bool
            False, changing nothing, when `other` carries a NaN or infinity flag or a larger count
            than this state; True otherwise.

        Raises
        ------
        TypeError
            `other` is not a `SumF64`.
        RuntimeError
            "Already mutably borrowed": `other` is this instance.
        """
    def count(self) -> int:
        """Number of values added (zeros, NaN and infinities included), saturating at 2**64 - 1."""
    def value(self) -> float:
        """The exact sum rounded once to float64 (ties to even); never raises.

        Equals `math.fsum(xs)` wherever fsum answers. An empty state gives 0.0, a NaN among the
        values NaN, +inf and -inf both added NaN, one infinity that infinity. An exact sum beyond
        the float range gives the infinity of its sign without setting a flag, and the state stays
        exact: `[1e308, 1e308, -1e308]` gives 1e308.
        """
    def to_bytes(self) -> bytes:
        """The 281-byte form of the whole state: 34 little-endian 64-bit limbs of the exact sum
        (two's complement, unit 2**-1074), one flag byte (bit 0 NaN, bit 1 +inf, bit 2 -inf) and
        the count as 8 bytes. No class tag: `SumF32` has the same layout."""
    @staticmethod
    def from_bytes(b: bytes) -> SumF64:
        """Rebuild a state from `to_bytes()`; the copy has the same bytes and the same answers.

        Raises
        ------
        TypeError
            `b` is not `bytes` (a bytearray or memoryview is refused).
        ValueError
            "wrong byte length" unless `b` has 281 bytes; "undefined (insufficient data or invalid
            input)" when the flag byte is above 7. Limbs and count are not checked.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `to_bytes()`, with nothing added.

        Parties that summed different parts of the same values, in any order, compare digests to
        prove they hold bit-identical states. It changes with any value or the count (adding 0.0
        changes it, not the value); a `SumF32` with the same bytes has the same digest.
        """

@final
class SumF32:
    """Exact sum of float32 values, rounded once to float32 when asked for.

    The `SumF64` state fed with values rounded to float32: same fields, same 281-byte form (no
    class tag tells the two apart), same receipt. No `try_unmerge`.
    """

    def __new__(cls) -> Self:
        """An empty sum: value 0.0, count 0."""
    def add(self, x: _Real) -> None:
        """Round `x` to float32 (nearest, ties to even) and add it exactly.

        A finite `x` beyond the float32 range becomes the infinity of its sign and sets that
        flag: `add(1e39)` makes `value()` +inf.

        Raises
        ------
        TypeError
            `x` is not a real number.
        OverflowError
            `x` is an int beyond the float64 range.
        """
    def extend(self, xs: _Reals) -> None:
        """Round every value of `xs` to float32 and add it exactly, all or nothing.

        `xs` is read as `SumF64.extend` reads it (each value must be exact in float64 before it is
        rounded to float32), with the GIL released over arrays and Arrow data.

        Raises
        ------
        TypeError
            `xs` or an item is not a real number (as `SumF64.extend`).
        ValueError
            A value float64 cannot hold exactly, or a missing value. Nothing is added.
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def merge(self, other: SumF32) -> None:
        """Add `other`'s exact sum, count and flags into this one; `other` is unchanged.

        Raises
        ------
        TypeError
            `other` is not a `SumF32`.
        RuntimeError
            "Already mutably borrowed": `other` is this instance.
        """
    def count(self) -> int:
        """Number of values added (zeros, NaN and infinities included), saturating at 2**64 - 1."""
    def value(self) -> float:
        """The exact sum rounded once, straight to float32 (never via float64); never raises.

        Returned as a Python float holding that float32 value. NaN and infinities as in
        `SumF64.value`; an empty state gives 0.0.
        """
    def to_bytes(self) -> bytes:
        """The 281-byte form of the whole state, laid out as `SumF64.to_bytes`."""
    @staticmethod
    def from_bytes(b: bytes) -> SumF32:
        """Rebuild a state from `to_bytes()`.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "wrong byte length" unless `b` has 281 bytes; "undefined (insufficient data or invalid
            input)" when the flag byte is above 7.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `to_bytes()`: equal digests prove equal states."""

@final
class FastSumF64:
    """The `SumF64` sum, faster for long runs of values.

    Adds values into banks of bins without carrying, folding them into the exact limbs every
    few hundred values. It has no value, merge or bytes of its own: `finish()` gives the
    `SumF64` with exactly the bytes a `SumF64` fed the same values would hold.
    """

    def __new__(cls) -> Self:
        """An empty sum, count 0."""
    def add(self, x: _Real) -> None:
        """Add one value exactly.

        Raises
        ------
        TypeError
            `x` is not a real number.
        OverflowError
            `x` is an int beyond the float range.
        """
    def extend(self, xs: _RealSequence) -> None:
        """Add every value of the sequence `xs` exactly, with the GIL held.

        Parameters
        ----------
        xs
            A list, tuple or other sequence (a numpy array, a pandas Series); not a generator, set
            or dict. Each value is read as `float()` reads it, so it may be rounded to float64, never
            refused. A float64 array is read in place; `xs` is converted whole before anything is
            added.

        Raises
        ------
        TypeError
            `xs` is a str ("Can't extract `str` to `Vec`") or not a sequence ("... cannot be
            converted to 'Sequence'"), or an item is not a real number.
        OverflowError
            An item is an int beyond the float range.
        """
    def count(self) -> int:
        """Number of values added, saturating at 2**64 - 1."""
    def finish(self) -> SumF64:
        """A new, independent `SumF64` holding the exact sum, count and flags so far.

        This state is unchanged and can go on adding; later adds do not touch the returned sum.
        """

@final
class DotF64:
    """Exact sum of products a*b, rounded once when asked for.

    Each product enters as its rounded value plus its exact fma error. A product of non-zero
    factors too small for that split to be exact sets a sticky flag, and `value()` then raises
    `ValueError("ExactnessLost")` for good. No `to_bytes`, `from_bytes` or `count`; its receipt
    covers a 282-byte canonical form (the 281-byte sum form plus the flag).
    """

    def __new__(cls) -> Self:
        """An empty sum of products: value 0.0."""
    def push(self, a: _Real, b: _Real) -> None:
        """Add the product a*b exactly.

        Raises
        ------
        TypeError
            `a` or `b` is not a real number.
        OverflowError
            `a` or `b` is an int beyond the float range.
        """
    def extend(self, xs: _RealSequence, ys: _RealSequence) -> None:
        """Add xs[i]*ys[i] for every i exactly, with the GIL held.

        Parameters
        ----------
        xs, ys
            Sequences of equal length (lists, tuples, numpy arrays; not generators), each value read
            as `float()` reads it; both are converted whole before anything is added.

        Raises
        ------
        PanicException
            `xs` and `ys` differ in length ("dot product requires equal-length slices"); nothing
            is added.
        TypeError
            `xs` or `ys` is a str or not a sequence, or an item is not a real number.
        OverflowError
            An item is an int beyond the float range.
        """
    def merge(self, other: DotF64) -> None:
        """Add `other`'s exact sum and flags into this one; `other` is unchanged.

        Raises
        ------
        TypeError
            `other` is not a `DotF64`.
        RuntimeError
            "Already mutably borrowed": `other` is this instance.
        """
    def value(self) -> float:
        """The exact sum of products rounded once to float64 (ties to even).

        An empty state gives 0.0. A NaN factor or 0*inf gives NaN, as do products that overflowed
        to both +inf and -inf; products overflowing to one infinity give it.

        Raises
        ------
        ValueError
            "ExactnessLost": some pushed product of non-zero factors could not be held exactly (its
            rounded magnitude below 2**-1022, or a bit of it below 2**-1074), here or in a merged
            state; checked before NaN and infinities.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of the 282-byte canonical form: the 281-byte sum form (as
        `SumF64.to_bytes`, the count advancing by two per product) and one byte 0 or 1 for the
        exactness flag. Equal digests prove equal states."""

@final
class MomentsF64:
    """Exact count, mean and variance of float64 values.

    Holds the exact sum of the values and the exact sum of their squares; each answer is the
    exact value rounded once. `variance()` is the population variance (ddof=0, `numpy.var(x)`);
    `sample_variance()` divides by n - 1 (ddof=1), the default of pandas (`Series.var()`), Dask
    dataframes and Spark. Its 563-byte form is `to_bytes()`.
    """

    def __new__(cls) -> Self:
        """An empty state: count 0; every query raises `ValueError("Empty")`."""
    def add(self, x: _Real) -> None:
        """Add one observation exactly: to the sum of values and, as x*x, to the sum of squares.

        NaN and infinities set sticky flags (the statistics then raise "NonFinite"); so does a
        square that overflows (|x| above about 1.34e154); a tiny square sets the ExactnessLost
        flag (0 < |x| < 2**-511, or < 2**-485 with low significand bits).

        Raises
        ------
        TypeError
            `x` is not a real number.
        OverflowError
            `x` is an int beyond the float range.
        """
    def extend(self, xs: _Reals) -> None:
        """Add every value of `xs` as `add` would, all or nothing.

        `xs` is read as `SumF64.extend` reads it: any iterable or 1-D numeric array, exact values
        only, the GIL released over arrays and Arrow data.

        Raises
        ------
        TypeError
            `xs` or an item is not a real number (as `SumF64.extend`).
        ValueError
            A value float64 cannot hold exactly, or a missing value. Nothing is added.
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def merge(self, o: MomentsF64) -> None:
        """Add `o`'s exact sums, counts and flags into this state; `o` is unchanged.

        Raises
        ------
        TypeError
            `o` is not a `MomentsF64`.
        RuntimeError
            "Already mutably borrowed": `o` is this instance.
        """
    def count(self) -> int:
        """Number of observations n (NaN and infinities included), saturating at 2**64 - 1."""
    def mean(self) -> float:
        """The mean, exact sum / n rounded once (`numpy.mean(x)`, `Series.mean()`, computed exactly).

        Reads only the sum of values, so it answers when the squares overflowed or lost exactness.

        Raises
        ------
        ValueError
            "Empty": no observations. "NonFinite": a NaN or an infinity among them.
        """
    def variance(self) -> float:
        """The population variance, sum((x - mean)**2) / n (ddof=0), exact and rounded once.

        What `numpy.var(x)` and `statistics.pvariance(x)` compute (the latter bit for bit); pandas'
        `Series.var()` is `sample_variance()`. One observation gives 0.0.

        Raises
        ------
        ValueError
            "Empty": no observations. "NonFinite": a NaN or an infinity among them, or a square
            that overflowed (|x| above about 1.34e154). "ExactnessLost": a square of a non-zero
            value too small to be held exactly.
        """
    def sample_variance(self) -> float:
        """The sample variance, sum((x - mean)**2) / (n - 1) (ddof=1), exact and rounded once.

        The default of pandas (`Series.var()`), Dask dataframes and Spark (`var_samp`), and
        `numpy.var(x, ddof=1)`; equal bit for bit to `statistics.variance(x)`.

        Raises
        ------
        ValueError
            "NonFinite" or "ExactnessLost" as for `variance` (checked first), then "Empty" when
            there are fewer than two observations.
        """
    def stddev(self) -> float:
        """The population standard deviation (ddof=0): the IEEE square root of `variance()`.

        What `numpy.std(x)` computes; pandas' `Series.std()` uses ddof=1 instead. It is the
        correctly rounded root of the once-rounded variance, not always the correctly rounded
        standard deviation (`tallix_companion.numpy.std` gives that, with any ddof).

        Raises
        ------
        ValueError
            As `variance`.
        """
    def to_bytes(self) -> bytes:
        """The 563-byte form: the 281-byte `SumF64` form of the sum of values (its count is n),
        then the 282-byte `DotF64` form of the sum of squares (count 2n, then the ExactnessLost
        byte). No class tag."""
    @staticmethod
    def from_bytes(b: bytes) -> MomentsF64:
        """Rebuild a state from `to_bytes()`; the copy has the same bytes and answers.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "wrong byte length" unless `b` has 563 bytes; "undefined (insufficient data or invalid
            input)" when a flag byte (offsets 272, 553) is above 7 or the byte at 562 above 1.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `to_bytes()`: equal digests prove equal states."""

@final
class Moments4F64:
    """Exact mean, variance, skewness and kurtosis of float64 values.

    Holds exact sums of x, x**2, x**3 and x**4 (each power split exactly into float64 pieces).
    All answers are population (biased) forms, each rounded once: `variance()` divides by n
    (`numpy.var(x)`); `skewness()` is m3 / m2**1.5 and `kurtosis()` m4 / m2**2, with mk the k-th
    central moment sum((x - mean)**k) / n, as `scipy.stats.skew(x)` and
    `scipy.stats.kurtosis(x, fisher=False)` define them. pandas' `Series.skew()` and
    `Series.kurt()` are bias-corrected and differ. Its 1128-byte form is `to_bytes()`.

    Powers leave the exact range far sooner than squares: |x| of about 2**256 (1.2e77) or more
    makes x**4 overflow ("NonFinite"), and a non-zero |x| below about 1e-65 (below about 1e-77
    at the latest) loses exactness ("ExactnessLost"), for every query but `mean()`.
    """

    def __new__(cls) -> Self:
        """An empty state: count 0; every query raises `ValueError("Empty")`."""
    def add(self, x: _Real) -> None:
        """Add one observation exactly to the sums of x, x**2, x**3 and x**4.

        Raises
        ------
        TypeError
            `x` is not a real number.
        OverflowError
            `x` is an int beyond the float range.
        """
    def extend(self, xs: _Reals) -> None:
        """Add every value of `xs` as `add` would, all or nothing.

        `xs` is read as `SumF64.extend` reads it (exact values only; the GIL released over arrays
        and Arrow data).

        Raises
        ------
        TypeError
            `xs` or an item is not a real number (as `SumF64.extend`).
        ValueError
            A value float64 cannot hold exactly, or a missing value. Nothing is added.
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def merge(self, o: Moments4F64) -> None:
        """Add `o`'s exact sums, counts and flags into this state; `o` is unchanged.

        Raises
        ------
        TypeError
            `o` is not a `Moments4F64`.
        RuntimeError
            "Already mutably borrowed": `o` is this instance.
        """
    def count(self) -> int:
        """Number of observations n (NaN and infinities included), saturating at 2**64 - 1."""
    def mean(self) -> float:
        """The mean, exact sum / n rounded once; reads only the sum of values.

        Raises
        ------
        ValueError
            "Empty": no observations. "NonFinite": a NaN or an infinity among them.
        """
    def variance(self) -> float:
        """The population variance m2 (ddof=0, `numpy.var(x)`), exact and rounded once.

        Reads all four power sums, so it fails where x**3 or x**4 overflowed or lost exactness
        even if the squares did not.

        Raises
        ------
        ValueError
            "Empty": no observations. "ExactnessLost": a power of a tiny non-zero value could not
            be held exactly. "NonFinite": a NaN or an infinity among the values, or an overflowed
            power.
        """
    def kurtosis(self) -> float:
        """The kurtosis m4 / m2**2 (Pearson's, 3.0 for a normal distribution), exact and rounded once.

        `scipy.stats.kurtosis(x, fisher=False)`; no small-sample correction.

        Raises
        ------
        ValueError
            As `variance`, then "Degenerate" when m2 is 0 (all values equal, or one value).
        """
    def excess_kurtosis(self) -> float:
        """The excess kurtosis m4 / m2**2 - 3 (0.0 for a normal distribution), exact and rounded once.

        `scipy.stats.kurtosis(x)`; pandas' `Series.kurt()` is the bias-corrected estimate instead.

        Raises
        ------
        ValueError
            As `variance`, then "Degenerate" when m2 is 0.
        """
    def skewness(self) -> float:
        """The skewness m3 / m2**1.5 (population form, `scipy.stats.skew(x)`).

        The signed IEEE square root of `skewness_squared()`: rounded twice, so it may differ from
        the correctly rounded skewness in the last place, but it is bit-reproducible. pandas'
        `Series.skew()` is the bias-corrected estimate instead.

        Raises
        ------
        ValueError
            As `variance`, then "Degenerate" when m2 is 0.
        """
    def skewness_squared(self) -> float:
        """m3**2 / m2**3, exact and rounded once, carrying the sign of m3 (+0.0 when m3 is 0).

        Raises
        ------
        ValueError
            As `variance`, then "Degenerate" when m2 is 0.
        """
    def to_bytes(self) -> bytes:
        """The 1128-byte form: the 281-byte `SumF64` form of the sum of x (count n), the 282-byte
        `DotF64` forms of the sums of x**2, x**3 and x**4 (counts 2n, 4n, 8n), then one byte
        0 or 1 telling whether some square underflowed. No class tag."""
    @staticmethod
    def from_bytes(b: bytes) -> Moments4F64:
        """Rebuild a state from `to_bytes()`.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "wrong byte length" unless `b` has 1128 bytes; "undefined (insufficient data or invalid
            input)" when a flag byte is above 7 or an exactness byte above 1.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `to_bytes()`: equal digests prove equal states."""

@final
class CovF64:
    """Exact covariance, correlation and least-squares line of pairs (x, y).

    Holds exact sums of x, y, x*x, y*y and x*y. `covariance()` is the population covariance
    (divisor n, `numpy.cov(x, y, bias=True)[0, 1]`); pandas' `Series.cov()` and numpy's default
    divide by n - 1. The slope and intercept are those of the least-squares line
    y = intercept + slope * x. Every answer is the exact value rounded once, except
    `correlation()`, rounded twice. Every query reads all five sums: a NaN, infinity,
    overflowed product or lost product anywhere fails them all. Its 1408-byte form is
    `to_bytes()`.
    """

    def __new__(cls) -> Self:
        """An empty state: count 0; every query raises `ValueError("Empty")`."""
    def add(self, x: _Real, y: _Real) -> None:
        """Add one pair exactly.

        Raises
        ------
        TypeError
            `x` or `y` is not a real number.
        OverflowError
            `x` or `y` is an int beyond the float range.
        """
    def extend(self, xs: _Reals, ys: _Reals) -> None:
        """Add the pairs (xs[i], ys[i]) as `add` would, all or nothing.

        Each of `xs` and `ys` is read as `SumF64.extend` reads its argument (any iterable or 1-D
        numeric array, exact values only); the GIL is released when both are arrays or Arrow data.

        Raises
        ------
        ValueError
            "xs and ys must have the same length"; a value float64 cannot hold exactly; a missing
            value. Nothing is added.
        TypeError
            `xs`, `ys` or an item is not a real number (as `SumF64.extend`).
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def merge(self, o: CovF64) -> None:
        """Add `o`'s exact sums, counts and flags into this state; `o` is unchanged.

        Raises
        ------
        TypeError
            `o` is not a `CovF64`.
        RuntimeError
            "Already mutably borrowed": `o` is this instance.
        """
    def count(self) -> int:
        """Number of pairs n, saturating at 2**64 - 1."""
    def covariance(self) -> float:
        """The population covariance (sum(x*y) - sum(x)*sum(y)/n) / n, exact and rounded once.

        Divisor n (ddof=0), as `numpy.cov(x, y, bias=True)[0, 1]`; `Series.cov()` divides by
        n - 1. One pair gives 0.0.

        Raises
        ------
        ValueError
            "Empty": no pairs. "NonFinite": a NaN or an infinity in x or y, or an overflowed
            product (x*x, y*y, x*y). "ExactnessLost": a product of non-zero factors too small to be
            held exactly, in any of the three product sums. The sums are checked in the order x,
            y, x*x, y*y, x*y and the first failure is raised.
        """
    def slope(self) -> float:
        """The least-squares slope cov(x, y) / var(x), exact and rounded once.

        Raises
        ------
        ValueError
            As `covariance`, then "Degenerate" when all x are equal (one pair included).
        """
    def intercept(self) -> float:
        """The least-squares intercept mean(y) - slope * mean(x), evaluated exactly and rounded once.

        Raises
        ------
        ValueError
            As `covariance`, then "Degenerate" when all x are equal.
        """
    def r_squared(self) -> float:
        """The coefficient of determination cov(x, y)**2 / (var(x) * var(y)), exact and rounded once.

        Raises
        ------
        ValueError
            As `covariance`, then "Degenerate" when all x or all y are equal.
        """
    def correlation(self) -> float:
        """Pearson's correlation (`numpy.corrcoef(x, y)[0, 1]`, `Series.corr()`).

        The IEEE square root of `r_squared()`, negated when the covariance is negative (+0.0 when
        it is 0): rounded twice, so it may differ from the correctly rounded correlation in the
        last place, but it is bit-reproducible.

        Raises
        ------
        ValueError
            As `r_squared`.
        """
    def to_bytes(self) -> bytes:
        """The 1408-byte form: the 281-byte `SumF64` forms of the sums of x and y (counts n), then
        the 282-byte `DotF64` forms of the sums of x*x, y*y and x*y (counts 2n). No class tag."""
    @staticmethod
    def from_bytes(b: bytes) -> CovF64:
        """Rebuild a state from `to_bytes()`.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "wrong byte length" unless `b` has 1408 bytes; "undefined (insufficient data or invalid
            input)" when a flag byte is above 7 or an exactness byte above 1.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `to_bytes()`: equal digests prove equal states."""

@final
class WeightedMomentsF64:
    """Exact weighted mean and variance of values x with weights w.

    Holds exact sums of w, w*x and w*x**2 (x**2 split exactly into two float64 parts). The mean is
    sum(w*x) / sum(w), as `numpy.average(x, weights=w)`; the variance is the population form
    normalised by sum(w) (frequency weights, no small-sample correction):
    `numpy.average((x - mean)**2, weights=w)`. Both are exact and rounded once. Weights may be
    negative; the sum of weights must be positive. Its 846-byte form is `to_bytes()`.
    """

    def __new__(cls) -> Self:
        """An empty state: count 0; both queries raise `ValueError("Empty")`."""
    def add(self, x: _Real, w: _Real) -> None:
        """Add the value `x` with weight `w` exactly.

        Raises
        ------
        TypeError
            `x` or `w` is not a real number.
        OverflowError
            `x` or `w` is an int beyond the float range.
        """
    def extend(self, xs: _Reals, ws: _Reals) -> None:
        """Add the pairs (xs[i], ws[i]) as `add` would, all or nothing.

        Each of `xs` and `ws` is read as `SumF64.extend` reads its argument (exact values only);
        the GIL is released when both are arrays or Arrow data.

        Raises
        ------
        ValueError
            "xs and ws must have the same length"; a value float64 cannot hold exactly; a missing
            value. Nothing is added.
        TypeError
            `xs`, `ws` or an item is not a real number (as `SumF64.extend`).
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def merge(self, o: WeightedMomentsF64) -> None:
        """Add `o`'s exact sums, counts and flags into this state; `o` is unchanged.

        Raises
        ------
        TypeError
            `o` is not a `WeightedMomentsF64`.
        RuntimeError
            "Already mutably borrowed": `o` is this instance.
        """
    def count(self) -> int:
        """Number of (x, w) pairs added, zero weights included, saturating at 2**64 - 1."""
    def mean(self) -> float:
        """The weighted mean sum(w*x) / sum(w), exact and rounded once (`numpy.average(x, weights=w)`).

        Raises
        ------
        ValueError
            "Empty": no pairs. "ExactnessLost": a product w*x or w*x**2, or a square x*x, of
            non-zero factors too small to be held exactly (x = 1e-150 with w = 1 is enough).
            "NonFinite": a NaN or an infinity in x or w, or an overflowed product (x = 1e200
            overflows x**2). "Degenerate": the exact sum of weights is 0 or negative. All three
            sums are read, so a failure of w*x**2 fails the mean too.
        """
    def variance(self) -> float:
        """The weighted population variance sum(w*x**2)/sum(w) - mean**2, exact and rounded once.

        Normalised by sum(w), without correction for sample size. With negative weights the
        result can be negative.

        Raises
        ------
        ValueError
            As `mean`.
        """
    def to_bytes(self) -> bytes:
        """The 846-byte form: the 281-byte `SumF64` form of the sum of w (count: pairs added), the
        282-byte `DotF64` forms of the sums of w*x and w*x**2, then one byte 0 or 1 telling whether
        some square underflowed. No class tag."""
    @staticmethod
    def from_bytes(b: bytes) -> WeightedMomentsF64:
        """Rebuild a state from `to_bytes()`.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "wrong byte length" unless `b` has 846 bytes; "undefined (insufficient data or invalid
            input)" when a flag byte is above 7 or an exactness byte above 1.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `to_bytes()`: equal digests prove equal states."""

@final
class PnMomentsF64:
    """Exact mean and variance of values added and later removed (sliding windows, retractions).

    Keeps two `MomentsF64` halves, one of everything added and one of everything removed, and
    answers for their exact difference, so additions, removals and merges commute: a removal may
    arrive before its addition or in another merged part. Nothing checks that a removed value was
    added. NaN and infinities stay recorded after their removal. `variance()` is the population
    variance (ddof=0, `numpy.var`) of the live values. Its 1126-byte form is `to_bytes()`.
    """

    def __new__(cls) -> Self:
        """An empty state: live count 0; both queries raise `ValueError("Empty")`."""
    def add(self, x: _Real) -> None:
        """Add one value exactly (to the added half).

        Raises
        ------
        TypeError
            `x` is not a real number.
        OverflowError
            `x` is an int beyond the float range.
        """
    def extend(self, xs: _Reals) -> None:
        """Add every value of `xs` as `add` would (additions, not removals), all or nothing.

        `xs` is read as `SumF64.extend` reads it (exact values only; the GIL released over arrays
        and Arrow data).

        Raises
        ------
        TypeError
            `xs` or an item is not a real number (as `SumF64.extend`).
        ValueError
            A value float64 cannot hold exactly, or a missing value. Nothing is added.
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def remove(self, x: _Real) -> None:
        """Withdraw one value exactly (added to the removed half).

        Raises
        ------
        TypeError
            `x` is not a real number.
        OverflowError
            `x` is an int beyond the float range.
        """
    def merge(self, o: PnMomentsF64) -> None:
        """Merge `o`'s additions and removals into this state's; `o` is unchanged.

        Raises
        ------
        TypeError
            `o` is not a `PnMomentsF64`.
        RuntimeError
            "Already mutably borrowed": `o` is this instance.
        """
    def live_count(self) -> int:
        """Values added minus values removed (0 when they are equal).

        Raises
        ------
        ValueError
            "undefined (insufficient data or invalid input)": more values were removed than added.
        """
    def mean(self) -> float:
        """The mean of the live values, exact net sum / live count, rounded once.

        Raises
        ------
        ValueError
            "Degenerate": more removals than additions. "Empty": as many removals as additions.
            "NonFinite": a NaN or an infinity was ever added or removed, or a square overflowed.
            "ExactnessLost": a square of a non-zero value too small to be held exactly (unlike
            `MomentsF64.mean`, the squares are read too).
        """
    def variance(self) -> float:
        """The population variance (ddof=0) of the live values, exact and rounded once.

        Not clamped: when the removals were never added, the result can be negative.

        Raises
        ------
        ValueError
            As `mean`.
        """
    def to_bytes(self) -> bytes:
        """The 1126-byte form: the 563-byte `MomentsF64.to_bytes` form of the added values, then
        that of the removed values. No class tag."""
    @staticmethod
    def from_bytes(b: bytes) -> PnMomentsF64:
        """Rebuild a state from `to_bytes()`; more removals than additions are accepted.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "wrong byte length" unless `b` has 1126 bytes; "undefined (insufficient data or invalid
            input)" when a flag byte is above 7 or an exactness byte above 1.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `to_bytes()`: equal digests prove equal states."""

@final
class CovMatrixF64:
    """Exact covariances and least-squares regression of y on d features, with an intercept.

    Holds exact sums of every feature, of y, of every product x_i*x_j (i <= j) and of every
    x_i*y (no y*y). Covariances are population covariances (divisor n), each rounded once.
    `regression_exact()` returns the correctly rounded solution of the normal equations;
    `regression()` a faster, reproducible but not correctly rounded one. States of one dimension
    merge and subtract (`sub`) exactly. Merging a state of another dimension does not raise: it
    marks this state mismatched for good, and every query and `sub` then raise
    `ValueError("Degenerate")`. Its byte form is `encode()`.
    """

    def __new__(cls, d: SupportsIndex) -> Self:
        """An empty state of dimension `d` (0 allowed: then only y is summed).

        Memory and the cost of `add` grow as d**2 / 2.

        Raises
        ------
        TypeError
            `d` is not an integer.
        OverflowError
            `d` is negative or 2**64 or more.
        ValueError
            "dimension too large for the byte encoding": the `encode()` length would not fit 64
            bits (d above 361701493).
        MemoryError
            The state's storage cannot be allocated.
        """
    def count(self) -> int:
        """Number of observations n (rows added), saturating at 2**64 - 1; answers even when mismatched."""
    def add(self, x: _RealSequence, y: _Real) -> None:
        """Add one observation: the feature row `x` and the response `y`, exactly.

        A mismatched state still accumulates.

        Parameters
        ----------
        x
            A sequence of d numbers (list, tuple, numpy array; not a generator), each read as
            `float()` reads it.
        y
            Read as `float(y)` reads it.

        Raises
        ------
        PanicException
            `x` does not hold d values ("row length must equal dim()"); nothing changes.
        TypeError
            `x` is a str or not a sequence, or it or `y` holds something that is not a real number.
        OverflowError
            An int beyond the float range.
        """
    def extend(self, rows: _Rows, ys: _Reals) -> None:
        """Add one observation per row, as `add` would, all or nothing.

        The GIL is released when both arguments are arrays or Arrow data holding at least 8192
        values (n times d) in all.

        Parameters
        ----------
        rows
            A 2-D (n, d) numeric array of any real dtype and layout, an Arrow table or pandas
            DataFrame, or any iterable of rows, each read like `SumF64.extend`'s argument. Values
            must be exact in float64.
        ys
            n real numbers, read as `SumF64.extend` reads its argument.

        Raises
        ------
        ValueError
            "rows and ys must have the same length", "each row must hold d values", "rows must all
            have the same length"; a value float64 cannot hold exactly; a missing value. Nothing is
            added.
        TypeError
            `rows` is a 1-D array or not an iterable; a row or `ys` is text or not an iterable; an
            item is not a real number.
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def merge(self, o: CovMatrixF64) -> None:
        """Add `o`'s exact sums and flags into this state; `o` is unchanged.

        A state of another dimension raises nothing: this state is marked mismatched instead (as it
        is when `o` is mismatched), for good, and its queries and `sub` raise "Degenerate".

        Raises
        ------
        TypeError
            `o` is not a `CovMatrixF64`.
        RuntimeError
            "Already mutably borrowed": `o` is this instance.
        """
    def covariance(self, i: SupportsIndex, j: SupportsIndex) -> float:
        """The population covariance of features i and j, exact and rounded once.

        Divisor n (ddof=0), as `numpy.cov(x_i, x_j, bias=True)[0, 1]`; i == j gives the population
        variance of feature i; (i, j) and (j, i) agree. y cannot be addressed.

        Raises
        ------
        ValueError
            "Degenerate": the state is mismatched, or i or j is not below d (checked after
            "Empty"). "Empty": no observations. "NonFinite": a NaN or an infinity in feature i or
            j, or an overflowed x_i*x_j. "ExactnessLost": a product x_i*x_j of non-zero factors too
            small to be held exactly. Other features do not matter.
        OverflowError
            `i` or `j` is negative or 2**64 or more.
        TypeError
            `i` or `j` is not an integer.
        """
    def regression(self) -> list[float]:
        """Least-squares coefficients, fast tier: [intercept, coefficient of x_0, ..., of x_{d-1}].

        Solves the normal equations (the solution `numpy.linalg.lstsq` gives for the columns
        [1, x_0, ..., x_{d-1}]) by Gauss-Jordan elimination with partial pivoting in float64,
        starting from correctly rounded means of the exact sums. Every step is one IEEE operation
        in a fixed order, so the result is the same on every machine, but it is not correctly
        rounded and may answer for a system that is singular in exact arithmetic.

        Raises
        ------
        ValueError
            "Degenerate": the state is mismatched, or a pivot is exactly zero. "Empty": no
            observations. "NonFinite": a NaN or an infinity among the features or y, or an
            overflowed product. "ExactnessLost": a product of non-zero factors too small to be
            held exactly. Every sum and product is read.
        """
    def regression_exact(self) -> list[float]:
        """Least-squares coefficients, exact tier: [intercept, coefficient of x_0, ..., of x_{d-1}].

        The normal equations are solved in exact integer arithmetic (Cramer's rule, fraction-free
        determinants) and each coefficient is the exact solution rounded once: bit-identical on any
        machine. Costs O(d**4) big-integer products: meant for small d.

        Raises
        ------
        ValueError
            "Degenerate": the state is mismatched, or the system is singular (a constant feature,
            features linearly dependent over the rows, fewer distinct rows than d + 1; a single
            row whenever d >= 1). "Empty", "NonFinite", "ExactnessLost": as `regression`.
        """
    def sub(self, o: CovMatrixF64) -> None:
        """Exactly subtract a state merged in earlier (downdating, unlearning), all or nothing.

        After `a.merge(b)`, `a.sub(b)` restores `a` bit for bit when `b` carries no flag and no
        count saturated. This state's own NaN, infinity and ExactnessLost flags stay.

        Raises
        ------
        ValueError
            "Degenerate", changing nothing: dimensions differ, either state is mismatched, `o` holds
            a NaN, an infinity or a lost product, or one of `o`'s counts exceeds this state's.
        TypeError
            `o` is not a `CovMatrixF64`.
        RuntimeError
            "Already mutably borrowed": `o` is this instance.
        """
    def encode(self) -> bytes:
        """The whole state as 5 + 281*(d+1) + 282*m bytes, m = d*(d+1)/2 + d.

        d as a little-endian u32, one byte 0 or 1 (mismatched), the 281-byte `SumF64` forms of the
        d feature sums and of y, then the 282-byte `DotF64` forms of the products x_i*x_j (i <= j,
        row by row) and x_i*y. No class tag.
        """
    @staticmethod
    def decode(b: bytes) -> CovMatrixF64:
        """Rebuild a state from `encode()`; the copy has the same bytes and answers.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "undefined (insufficient data or invalid input)": fewer than 5 bytes, a mismatched byte
            above 1, a length other than the one d implies, a flag byte above 7 or an exactness
            byte above 1.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `encode()`: equal digests prove equal states."""

@final
class HistogramF64:
    """Exact counts of float64 values in bins between fixed edges, with quantile bounds.

    With n edges there are n + 1 bins: bin 0 below edges[0], bin i holding edges[i-1] <= x <
    edges[i], bin n at or above edges[-1]. Values are placed in IEEE 754 total order (-0.0 below
    +0.0): -inf goes to bin 0, +inf to bin n, NaN is counted apart. Counts are exact integers,
    saturating at 2**64 - 1, so they depend only on the values seen. Its byte form is `encode()`.
    """

    def __new__(cls, edges: _RealSequence) -> Self:
        """A histogram with these edges and all counts 0.

        Parameters
        ----------
        edges
            A sequence (list, tuple, numpy array; not a generator) of 2 to 2**32 - 1 finite numbers,
            strictly increasing in total order (-0.0 then +0.0 is allowed), each read as `float()`
            reads it.

        Raises
        ------
        ValueError
            "edges must be sorted, finite, len>=2".
        TypeError
            `edges` is a str or not a sequence, or an item is not a real number.
        """
    def add(self, x: _Real) -> None:
        """Count one value in its bin (NaN apart).

        Raises
        ------
        TypeError
            `x` is not a real number.
        OverflowError
            `x` is an int beyond the float range.
        """
    def extend(self, xs: _Reals) -> None:
        """Count every value of `xs` as `add` would, all or nothing.

        `xs` is read as `SumF64.extend` reads it (exact values only; the GIL released over arrays
        and Arrow data).

        Raises
        ------
        TypeError
            `xs` or an item is not a real number (as `SumF64.extend`).
        ValueError
            A value float64 cannot hold exactly, or a missing value. Nothing is counted.
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def merge(self, other: HistogramF64) -> None:
        """Add `other`'s counts (NaN count included), as if its values had been added here.

        Exact and commutative; `other` is unchanged. The result is undefined (see `counts`) when
        either side is.

        Raises
        ------
        ValueError
            "histogram edges differ": the edges are not bit-identical; nothing changes.
        TypeError
            `other` is not a `HistogramF64`.
        RuntimeError
            "Already mutably borrowed": `other` is this instance.
        """
    def edges(self) -> list[float]:
        """A copy of the edges, as given (or as decoded)."""
    def counts(self) -> list[int]:
        """A copy of the n + 1 bin counts; NaN is not among them.

        Raises
        ------
        ValueError
            "undefined (insufficient data or invalid input)": the histogram was decoded from bytes
            marking it undefined (or merged with such a one).
        """
    def total(self) -> int:
        """The sum of the bin counts (NaN excluded), saturating at 2**64 - 1; answers even when undefined."""
    def quantile_bounds(self, q: _Real) -> tuple[float, float]:
        """The edges (lo, hi) of the bin holding the value of rank ceil(q * total()).

        The rank is computed in float64 and kept between 1 and `total()`, so q = 0 names the bin
        of the smallest counted value and q = 1 that of the largest. The true quantile lies in
        [lo, hi).

        Raises
        ------
        ValueError
            "undefined (insufficient data or invalid input)": q is not within [0, 1] (NaN
            included), nothing is counted, the histogram is undefined, or the rank falls in bin 0 or
            bin n (outside the edges).
        TypeError
            `q` is not a real number.
        """
    def encode(self) -> bytes:
        """The whole state as 16n + 21 bytes: n as a little-endian u32, one byte 0 or 1
        (undefined), the n edges as float64 bit patterns, the n + 1 counts and the NaN count as
        u64. No class tag."""
    @staticmethod
    def decode(b: bytes) -> HistogramF64:
        """Rebuild a histogram from `encode()`; the copy has the same bytes and answers.

        The edges are taken as stored, unchecked (unsorted, repeated, NaN or a single edge are
        accepted); a value's bin is then the number of edges at or below it in total order.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "undefined (insufficient data or invalid input)": fewer than 5 bytes, an undefined byte
            above 1, n = 0, or a length other than 16n + 21.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `encode()`: equal digests prove equal states."""

@final
class ExtremaF64:
    """Minimum, maximum and range of float64 values, in IEEE 754 total order.

    -0.0 counts as below +0.0, so the answer does not depend on the order of the values. A NaN
    poisons the state for good (numpy's `min` and `max` return NaN instead; here the queries
    raise). Its 25-byte form is `to_bytes()`.
    """

    def __new__(cls) -> Self:
        """An empty state; the queries raise until a value is added."""
    def add(self, x: _Real) -> None:
        """Take one value into the minimum and maximum; a NaN is recorded instead.

        Raises
        ------
        TypeError
            `x` is not a real number.
        OverflowError
            `x` is an int beyond the float range.
        """
    def extend(self, xs: _Reals) -> None:
        """Take every value of `xs` as `add` would, all or nothing.

        `xs` is read as `SumF64.extend` reads it (exact values only; the GIL released over arrays
        and Arrow data).

        Raises
        ------
        TypeError
            `xs` or an item is not a real number (as `SumF64.extend`).
        ValueError
            A value float64 cannot hold exactly, or a missing value. Nothing changes.
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def merge(self, other: ExtremaF64) -> None:
        """Combine with `other` as if its values had been added here; `other` is unchanged.

        Minimum and maximum in total order, counts added (saturating), a NaN on either side kept.

        Raises
        ------
        TypeError
            `other` is not an `ExtremaF64`.
        RuntimeError
            "Already mutably borrowed": `other` is this instance.
        """
    def min(self) -> float:
        """The smallest value in total order (-0.0 below +0.0).

        Raises
        ------
        ValueError
            "undefined (insufficient data or invalid input)": no value other than NaN was added, or
            a NaN was.
        """
    def max(self) -> float:
        """The largest value in total order (+0.0 above -0.0).

        Raises
        ------
        ValueError
            As `min`.
        """
    def range(self) -> float:
        """max - min as one float64 subtraction (the exact difference rounded once, `numpy.ptp`).

        One infinity alone gives NaN (inf - inf); -inf and +inf give +inf.

        Raises
        ------
        ValueError
            As `min`.
        """
    def to_bytes(self) -> bytes:
        """The 25-byte form: min and max as float64 bit patterns, a flag byte (bit 0 NaN seen,
        bit 1 a value seen) and the count of values added (NaN included) as a little-endian u64.
        No class tag."""
    @staticmethod
    def from_bytes(b: bytes) -> ExtremaF64:
        """Rebuild a state from `to_bytes()`.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "wrong byte length" unless `b` has 25 bytes; "undefined (insufficient data or invalid
            input)" when the flag byte is above 3, or no value is marked seen and min or max is not
            all zero bits.
        """
    def state_hash(self) -> bytes:
        """SHA-256 digest (32 bytes) of `to_bytes()`: equal digests prove equal states."""

@final
class SumMap:
    """Exact sums keyed by str, merged additively (a `SumF64` per key).

    Maps that absorbed the same (key, value) pairs, through any mix of `add`, `extend` and
    `merge`, encode identically. Keys are compared as UTF-8 bytes, without normalisation; the
    empty str is a key. Merging the same map twice counts its values twice. Its byte form is
    `encode()`.
    """

    def __new__(cls) -> Self:
        """An empty map."""
    def add(self, key: str, x: _Real) -> None:
        """Add `x` exactly to the sum under `key`, creating it if new.

        Raises
        ------
        TypeError
            `key` is not a str; `x` is not a real number.
        UnicodeEncodeError
            `key` cannot be encoded as UTF-8 (a lone surrogate).
        OverflowError
            `x` is an int beyond the float range.
        ValueError
            "undefined (insufficient data or invalid input)": a new key would make 2**32 keys, or
            the key is 2**32 bytes or longer.
        """
    def extend(self, keys: Iterable[str], xs: _Reals) -> None:
        """Add xs[i] under keys[i] for every i, as `add` would, all or nothing; the GIL is held.

        Parameters
        ----------
        keys
            Any iterable of str (a pandas Series of str included); not a str itself.
        xs
            Real numbers, read as `SumF64.extend` reads its argument (exact values only).

        Raises
        ------
        ValueError
            "keys and xs must have the same length"; a value float64 cannot hold exactly; a missing
            value; too many keys (as `add`). Nothing is added.
        TypeError
            `keys` is a str or not an iterable, or holds something that is not a str; `xs` or an
            item is not a real number.
        RuntimeError
            "Already borrowed": the instance is in use by another thread.
        """
    def value(self, key: str) -> float:
        """The exact sum under `key` rounded once, as `SumF64.value` (NaN and infinities included).

        Raises
        ------
        ValueError
            "undefined (insufficient data or invalid input)": `key` was never added.
        TypeError
            `key` is not a str.
        """
    def merge(self, other: SumMap) -> None:
        """Unite the keys and merge the sums of shared keys exactly; `other` is unchanged.

        Raises
        ------
        TypeError
            `other` is not a `SumMap`.
        RuntimeError
            "Already mutably borrowed": `other` is this instance.
        ValueError
            "undefined (insufficient data or invalid input)": the union would hold 2**32 keys.
        """
    def len(self) -> int:
        """The number of keys (a method: `len(m)` is not supported)."""
    def count(self) -> int:
        """The number of values added under all keys, saturating at 2**64 - 1."""
    def encode(self) -> bytes:
        """The whole map: the number of keys as a little-endian u32, then per key in ascending
        UTF-8 byte order its length (u32), its UTF-8 bytes, 281 as a u32 and the 281-byte
        `SumF64.to_bytes` form. No class tag."""
    @staticmethod
    def decode(b: bytes) -> SumMap:
        """Rebuild a map from `encode()`; accepts exactly the byte strings `encode()` produces.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "undefined (insufficient data or invalid input)": truncated or trailing bytes, a key
            that is not UTF-8, keys out of order or repeated, a state that is not a valid `SumF64`
            form.
        """

@final
class MomentsMap:
    """Exact moments keyed by str, merged additively (a `MomentsF64` per key).

    Keys behave as in `SumMap`. `variance(key)` is the population variance (ddof=0,
    `numpy.var`); there is no sample variance here. Its byte form is `encode()`.
    """

    def __new__(cls) -> Self:
        """An empty map."""
    def add(self, key: str, x: _Real) -> None:
        """Add the observation `x` under `key`, creating it if new (as `MomentsF64.add`).

        Raises
        ------
        TypeError
            `key` is not a str; `x` is not a real number.
        UnicodeEncodeError
            `key` cannot be encoded as UTF-8 (a lone surrogate).
        OverflowError
            `x` is an int beyond the float range.
        ValueError
            "undefined (insufficient data or invalid input)": a new key would make 2**32 keys, or
            the key is 2**32 bytes or longer.
        """
    def extend(self, keys: Iterable[str], xs: _Reals) -> None:
        """Add xs[i] under keys[i] for every i, as `add` would, all or nothing; the GIL is held.

        `keys` and `xs` are read as in `SumMap.extend`.

        Raises
        ------
        ValueError
            "keys and xs must have the same length"; a value float64 cannot hold exactly; a missing
            value; too many keys. Nothing is added.
        TypeError
            `keys` is a str or not an iterable, or holds something that is not a str; `xs` or an
            item is not a real number.
        RuntimeError
            "Already borrowed": the instance is in use by another thread.
        """
    def mean(self, key: str) -> float:
        """The mean under `key`, exact and rounded once, as `MomentsF64.mean`.

        Raises
        ------
        ValueError
            "undefined (insufficient data or invalid input)": `key` was never added. "NonFinite":
            a NaN or an infinity under `key`.
        TypeError
            `key` is not a str.
        """
    def variance(self, key: str) -> float:
        """The population variance (ddof=0) under `key`, exact and rounded once, as `MomentsF64.variance`.

        Raises
        ------
        ValueError
            "undefined (insufficient data or invalid input)": `key` was never added; "NonFinite"
            or "ExactnessLost" as `MomentsF64.variance`.
        TypeError
            `key` is not a str.
        """
    def merge(self, other: MomentsMap) -> None:
        """Unite the keys and merge the states of shared keys exactly; `other` is unchanged.

        Raises
        ------
        TypeError
            `other` is not a `MomentsMap`.
        RuntimeError
            "Already mutably borrowed": `other` is this instance.
        ValueError
            "undefined (insufficient data or invalid input)": the union would hold 2**32 keys.
        """
    def len(self) -> int:
        """The number of keys (a method: `len(m)` is not supported)."""
    def encode(self) -> bytes:
        """The whole map, laid out as `SumMap.encode` with 563 and the 563-byte
        `MomentsF64.to_bytes` form per key. No class tag."""
    @staticmethod
    def decode(b: bytes) -> MomentsMap:
        """Rebuild a map from `encode()`; accepts exactly the byte strings `encode()` produces.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "undefined (insufficient data or invalid input)": as `SumMap.decode`, with valid
            `MomentsF64` forms required.
        """

@final
class ReplicatedSum:
    """One exact sum per replica id, reconciled by an idempotent `join`.

    Each replica (a process, a node) adds only under its own id; copies are reconciled with
    `join`, which keeps for each replica the slot that absorbed more values. Joining the same copy
    twice, or an older copy, changes nothing, so copies that joined each other hold identical
    slots and encode identically. `value()` is the exact total of all slots rounded once. Its byte
    form is `encode()`. No `extend`.
    """

    def __new__(cls) -> Self:
        """An empty structure: value 0.0."""
    def add(self, replica: SupportsIndex, x: _Real) -> None:
        """Add `x` exactly to the sum of `replica`, creating its slot if new.

        Raises
        ------
        TypeError
            `replica` is not an integer (a float is refused); `x` is not a real number.
        OverflowError
            `replica` is negative or 2**64 or more; `x` is an int beyond the float range.
        ValueError
            "undefined (insufficient data or invalid input)": a new slot would make 2**32 slots.
        """
    def join(self, other: ReplicatedSum) -> None:
        """Take `other`'s slot for every replica where it absorbed more values (or is missing here).

        On equal counts this structure keeps its own slot; slots are replaced, never added, and
        `other` is unchanged.

        Raises
        ------
        TypeError
            `other` is not a `ReplicatedSum`.
        RuntimeError
            "Already mutably borrowed": `other` is this instance.
        ValueError
            "undefined (insufficient data or invalid input)": the union would hold 2**32 slots.
        """
    def value(self) -> float:
        """The exact sum of all slots rounded once, as `SumF64.value` (0.0 when empty; never raises)."""
    def encode(self) -> bytes:
        """The whole structure as 4 + 293n bytes: the number of slots n as a little-endian u32,
        then per replica in ascending id its id (u64), 281 (u32) and the 281-byte `SumF64.to_bytes`
        form. No class tag."""
    @staticmethod
    def decode(b: bytes) -> ReplicatedSum:
        """Rebuild a structure from `encode()`; accepts exactly the byte strings `encode()` produces.

        Raises
        ------
        TypeError
            `b` is not `bytes`.
        ValueError
            "undefined (insufficient data or invalid input)": anything `encode()` does not produce.
        """

@final
class DeltasSum:
    """A plain exact running sum: `add`, `extend` and `value`; no merge, bytes or receipt."""

    def __new__(cls) -> Self:
        """An empty sum: value 0.0."""
    def add(self, x: _Real) -> None:
        """Add one value exactly; NaN and infinities set sticky flags.

        Raises
        ------
        TypeError
            `x` is not a real number.
        OverflowError
            `x` is an int beyond the float range.
        """
    def extend(self, xs: _Reals) -> None:
        """Add every value of `xs` exactly, all or nothing.

        `xs` is read as `SumF64.extend` reads it (exact values only; the GIL released over arrays
        and Arrow data).

        Raises
        ------
        TypeError
            `xs` or an item is not a real number (as `SumF64.extend`).
        ValueError
            A value float64 cannot hold exactly, or a missing value. Nothing is added.
        RuntimeError
            "Already borrowed": the instance is in use by another thread's batch call.
        """
    def value(self) -> float:
        """The exact sum rounded once, as `SumF64.value` (0.0 when empty; never raises)."""

def dot(xs: _RealSequence, ys: _RealSequence) -> float:
    """The exact dot product sum(xs[i] * ys[i]) rounded once (ties to even).

    `DotF64().extend(xs, ys)` followed by `value()`. An empty pair of sequences gives 0.0; a NaN
    or 0*inf gives NaN, as do products overflowing to both infinities.

    Parameters
    ----------
    xs, ys
        Sequences of equal length (lists, tuples, numpy arrays; not generators), each value read as
        `float()` reads it; both are converted before anything is computed, with the GIL held.

    Raises
    ------
    ValueError
        "ExactnessLost": a product of non-zero factors too small to be held exactly (its rounded
        magnitude below 2**-1022, or a bit below 2**-1074; `dot([1e-200], [1e-200])`).
    PanicException
        `xs` and `ys` differ in length ("dot product requires equal-length slices").
    TypeError
        `xs` or `ys` is a str or not a sequence, or an item is not a real number.
    OverflowError
        An item is an int beyond the float range.
    """

# The row feed of tallix_companion's axis reductions: states[i] takes row i
# of every block, as states[i].extend(*rows) would. Not public surface.
_RowState: TypeAlias = (
    SumF64
    | SumF32
    | MomentsF64
    | Moments4F64
    | PnMomentsF64
    | ExtremaF64
    | HistogramF64
    | DeltasSum
    | CovF64
    | WeightedMomentsF64
)
"""A state that `_extend_rows` can feed: a class whose `extend` takes columns of numbers."""

def _extend_rows(states: Sequence[_RowState], /, *blocks: NDArray[Any]) -> None:
    """Feed `states[i]` with row i of every block, as `states[i].extend(*rows)` would; all or nothing.

    Not public surface: the row feed of `tallix_companion`'s axis reductions.
    """

# The companion's exact answers, rounded once from the core's exact sums. Not
# public surface. A part is a state or (state, scale...) whose values were fed
# multiplied by 2**scale; None means a square or product left the exact range.
_MomentPart: TypeAlias = MomentsF64 | SumF64 | tuple[MomentsF64 | SumF64, int]
"""A state, or (state, scale) for a state fed its values multiplied by 2**scale."""
_PairPart: TypeAlias = CovF64 | tuple[CovF64, int, int]
"""A `CovF64`, or (state, x scale, y scale) for one fed x * 2**scale_x and y * 2**scale_y."""

def _moments(what: str, parts: _MomentPart | Sequence[_MomentPart], ddof: float, missing: int) -> float | None:
    """Mean, var or std of the values held in `parts`, rounded once; None when a square left the exact range.

    Not public surface: an exact answer of `tallix_companion`.
    """

def _cov(what: str, parts: _PairPart | Sequence[_PairPart], ddof: float) -> float | None:
    """cov, var_x, var_y, corr, ratio, sum_x or sum_xy of `CovF64` parts, rounded once; None when a product left the
    exact range.

    Not public surface: an exact answer of `tallix_companion`.
    """

def _int_sums(block: NDArray[Any]) -> tuple[list[int], list[int]]:
    """Exact sum(x) and sum(x**2) of each row of a 2-D integer array, as Python ints.

    Not public surface: used by `tallix_companion` for integer data.
    """

def _int_answer(what: str, sums: tuple[int, int, int], ddof: float) -> float:
    """Mean, var or std of n integers from their exact sums (sum(x), sum(x**2), n), rounded once.

    Not public surface: an exact answer of `tallix_companion`.
    """

def _replica(number: SupportsIndex, slot: SumF64) -> ReplicatedSum:
    """The `ReplicatedSum` in which replica `number` has added the values `slot` holds (empty if none).

    Not public surface: lets an engine fill one partition's slot through the batch sum.
    """

def _exact_float(x: object, /) -> float:
    """`x` as a float when float64 holds it exactly, as the batch methods read an item; else ValueError.

    Not public surface: the companion's one reader of single items.
    """

def _row_answers(what: str, block: NDArray[Any], ddof: float, out: NDArray[Any]) -> None:
    """out[i] = sum, mean, var or std of row i of `block` (nan...: NaNs skipped; ...32: in float32), rounded once;
    NaN where the core has no number.

    Not public surface: the axis reductions of `tallix_companion`.
    """

def _row_average(block: NDArray[Any], weights: NDArray[Any], out: NDArray[Any], weight_out: NDArray[Any]) -> None:
    """out[i] = sum(w*x) / sum(w) of row i and weight_out[i] = sum(w), rounded once; NaN where the core has no
    number.

    Not public surface: `tallix_companion`'s weighted average.
    """

def _slide(
    what: str,
    values: object,
    out: NDArray[Any],
    windows: tuple[int, int, NDArray[Any] | None, NDArray[Any] | None, int, float],
) -> None:
    """out[i] = one statistic of the values in window i, rounded once.

    sum, mean, var, std or count (nan...: NaNs skipped; ...32: in float32), skew or kurt of
    values[start:end], or cov or corr of the pairs (values = (xs, ys)). end = i + 1 + offset and
    start = end - window, clipped to the values, or starts[i] and ends[i] when given; `windows` is
    (window, offset, starts, ends, min_periods, ddof).

    Not public surface: the rolling and expanding windows of `tallix_companion`.
    """

@final
class _Groups:
    """Exact states of many groups, fed from integer codes.

    Not public surface: the one groupby of `tallix_companion` (pandas and Dask).
    """

    def __new__(cls, count: SupportsIndex, kind: str = "float", squares: bool = True) -> _Groups:
        """`count` empty groups for `kind` "float" or "int" values, with or without sums of squares."""
    @property
    def count(self) -> int:
        """The number of groups."""
    def feed(self, codes: NDArray[Any], values: NDArray[Any], skip: NDArray[Any] | None, skip_nans: bool) -> None:
        """Row i into group codes[i]; a negative code drops the row."""
    def counts(self, n_out: NDArray[Any], missing_out: NDArray[Any]) -> None:
        """Each group's number of values and of missing rows, into int64 arrays."""
    def answer(self, what: str, ddof: float, out: NDArray[Any]) -> None:
        """Each group's sum, mean, var or std, rounded once, into `out`."""
    def int_sums(self) -> tuple[list[int], list[int]]:
        """Exact sum(x) and sum(x**2) of each integer group."""
    def records(self) -> list[bytes]:
        """Each group as bytes, for `merge_records`."""
    def merge_records(self, codes: NDArray[Any], records: Sequence[bytes]) -> None:
        """Record i merges into group codes[i]."""
    def merge(self, other: _Groups, positions: NDArray[Any]) -> None:
        """Group k of `other` merges into group positions[k]."""
