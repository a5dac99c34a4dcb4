// The fixed-width query path of narrow.hpp. A sum is read as ±m·2^(64·limb)
// with m a few words; the numerator is built in a 384-bit integer, its top
// 128 bits (192 for a square root) are divided by the 64-bit divisor, and
// the quotient's top 128 bits, with a sticky bit for everything below, are
// rounded once the way round_rational rounds (the same exponent choice,
// ties to even, subnormals, overflow to infinity).
#include "narrow.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "../binary64.hpp"

namespace tallix {

namespace {

__extension__ using u128 = unsigned __int128;
__extension__ using i128 = __int128;

constexpr int kWideWords = 6;
// A little-endian magnitude; aligned so that clearing and copying it stay
// a few vector stores.
struct Wide : std::array<uint64_t, kWideWords> {};

// Bits [pos, pos + 64) of a little-endian magnitude, zero outside it.
uint64_t word_at(const uint64_t* w, int words, int pos) {
  auto get = [&](int i) { return i >= 0 && i < words ? w[i] : 0; };
  const int i = pos >= 0 ? pos / 64 : -((63 - pos) / 64);
  const int b = pos - 64 * i;
  return b == 0 ? get(i) : (get(i) >> b) | (get(i + 1) << (64 - b));
}

// Whether any of the bits below `pos` is set.
bool any_below(const uint64_t* w, int words, int pos) {
  for (int i = 0; i < words && 64 * i < pos; ++i) {
    const int keep = pos - 64 * i;
    if ((keep >= 64 ? w[i] : w[i] & ((uint64_t{1} << keep) - 1)) != 0) return true;
  }
  return false;
}

int bit_length(const uint64_t* w, int words) {
  for (int i = words - 1; i >= 0; --i)
    if (w[i] != 0) return 64 * i + 64 - std::countl_zero(w[i]);
  return 0;
}

// (hi·2^64 + lo) / d with hi < d, and the remainder.
uint64_t divide_step(uint64_t hi, uint64_t lo, uint64_t d, uint64_t& rem) {
#if defined(__x86_64__)
  uint64_t q;
  asm("divq %4" : "=a"(q), "=d"(rem) : "a"(lo), "d"(hi), "rm"(d));
  return q;
#else
  const u128 c = (static_cast<u128>(hi) << 64) | lo;
  rem = static_cast<uint64_t>(c % d);
  return static_cast<uint64_t>(c / d);
#endif
}

// A sum's value in units of 2^-1074: ±mag·2^(64·limb), mag of `words` words
// (zero when words is 0).
struct NarrowSum {
  std::array<uint64_t, 3> mag;
  int words;
  int limb;
  bool negative;
};

// False when the sum's significant words (below the sign extension, above
// the zero words) are more than max_words. The sum is `count` two's-
// complement words whose first sits at limb `at`.
bool read_narrow(const uint64_t* l, int count, int at, int max_words, NarrowSum& out) {
  const uint64_t sign = l[count - 1] >> 63 != 0 ? ~uint64_t{0} : 0;
  out.mag = {0, 0, 0};
  out.negative = sign != 0;
  int hi = count - 1;
  while (hi >= 0 && l[hi] == sign) --hi;
  int lo = 0;
  while (lo <= hi && l[lo] == 0) ++lo;
  if (lo > hi) {  // zero, or -2^(64·(hi + 1)) when negative
    out.words = out.negative ? 1 : 0;
    out.mag[0] = out.negative ? 1 : 0;
    out.limb = at + hi + 1;
    return true;
  }
  const int words = hi - lo + 1;
  if (words > max_words) return false;
  out.words = words;
  out.limb = at + lo;
  for (int k = 0; k < words; ++k) out.mag[k] = l[lo + k];
  if (out.negative) {  // 2^(64·words) − the words; l[lo] != 0, so no carry
    out.mag[0] = ~out.mag[0] + 1;
    for (int k = 1; k < words; ++k) out.mag[k] = ~out.mag[k];
  }
  return true;
}

bool read_narrow(const Limbs& l, int max_words, NarrowSum& out) {
  return read_narrow(l.data(), kLimbs, 0, max_words, out);
}

bool read_narrow(PlacedWords w, int max_words, NarrowSum& out) {
  return read_narrow(w.words, w.count, w.at, max_words, out);
}

// The exact quotient (q + f)·2^exp, 0 <= f < 1, f > 0 exactly when sticky,
// with q >= 2^63 (so over the 55 bits rounding needs), or q >= 2^127 when
// a square root is to be taken from it.
struct Quotient {
  u128 q;
  bool sticky;
  long exp;
};

// num·2^exp / den for num != 0, den != 0, from num's top 64·words bits
// (2 or 3 words).
// `step` divides two words by den, as divide_step does.
template <class Step>
Quotient divide_by(const Wide& num, long exp, int words, Step step) {
  const int j = bit_length(num.data(), kWideWords) - 64 * words;  // where the top bits start
  bool sticky = j > 0 && any_below(num.data(), kWideWords, j);
  std::array<uint64_t, 3> q = {0, 0, 0};
  uint64_t rem = 0;
  for (int k = words - 1; k >= 0; --k)
    q[k] = step(rem, word_at(num.data(), kWideWords, j + 64 * k), rem);
  sticky |= rem != 0;
  // The top word's high bit is set and den < 2^64: q >= 2^(64·words − 65);
  // its top 128 bits are kept.
  const int drop = std::max(0, bit_length(q.data(), 3) - 128);
  sticky |= any_below(q.data(), 3, drop);
  const u128 kept =
      (static_cast<u128>(word_at(q.data(), 3, drop + 64)) << 64) | word_at(q.data(), 3, drop);
  return {kept, sticky, exp + j + drop};
}

Quotient divide(const Wide& num, long exp, uint64_t den, int words) {
  return divide_by(num, exp, words, [den](uint64_t hi, uint64_t lo, uint64_t& rem) {
    return divide_step(hi, lo, den, rem);
  });
}

// num·2^exp / den for num != 0 from num's top bits(den) + 63 bits: one word
// division, whose quotient has 63 bits or more (enough for rounding, not
// for a square root).
Quotient divide_once(const Wide& num, long exp, uint64_t den) {
  const int width = std::bit_width(den) + 63;
  const int j = bit_length(num.data(), kWideWords) - width;
  const bool sticky = j > 0 && any_below(num.data(), kWideWords, j);
  const uint64_t hi = word_at(num.data(), kWideWords, j + 64),
                 lo = word_at(num.data(), kWideWords, j);
  uint64_t rem = 0;
  const uint64_t q = divide_step(hi, lo, den, rem);  // hi < den: the top bits are below den·2^64
  return {q, sticky || rem != 0, exp + j};
}

// (q + f)·2^exp rounded to nearest, ties to even, as round_rational (or
// round_rational32) does; q has at least 56 bits.
double round_quotient(u128 q, bool sticky, long exp, bool negative, bool binary32) {
  if (!binary32) {
    // Most answers are normal binary64 values: the top 64 bits with the
    // rest folded into their lowest bit (three or more bits beyond the 53
    // kept, so the fold decides only ties) convert once to binary64, and a
    // power of two scales them exactly.
    uint64_t top = static_cast<uint64_t>(q);
    long e = exp;
    bool rest = sticky;
    if (const auto hi = static_cast<uint64_t>(q >> 64); hi != 0) {
      const int lz = std::countl_zero(hi);
      const u128 t = q << lz;
      top = static_cast<uint64_t>(t >> 64);
      rest |= static_cast<uint64_t>(t) != 0;
      e += 64 - lz;
    }
    if ((top >> 55) != 0 && e >= -1022 && e <= 1023 - 64) {
      const double v = static_cast<double>(top | (rest ? 1 : 0)) *
                       std::bit_cast<double>(static_cast<uint64_t>(e + 1023) << 52);
      return negative ? -v : v;
    }
  }
  const int digits = binary32 ? 24 : 53;
  const long lowest = binary32 ? -149 : -1074;
  const int len =
      128 - (static_cast<uint64_t>(q >> 64) != 0 ? std::countl_zero(static_cast<uint64_t>(q >> 64))
                                                 : 64 + std::countl_zero(static_cast<uint64_t>(q)));
  const long p = std::max<long>(len - digits, lowest - exp);  // q's bit of the last place
  uint64_t m = 0;
  bool half = false, rest = true;
  if (p < 128) {
    m = static_cast<uint64_t>(q >> p);
    half = ((q >> (p - 1)) & 1) != 0;
    rest = sticky || (q & ((static_cast<u128>(1) << (p - 1)) - 1)) != 0;
  } else if (p == 128) {
    half = (q >> 127) != 0;
    rest = sticky || (q << 1) != 0;
  }
  if (half && (rest || (m & 1) != 0)) ++m;
  long s = exp + p;
  if (m >> digits != 0) {  // rounding carried to 2^digits
    m >>= 1;
    ++s;
  }
  if (binary32) {
    const double v = s + 23 >= 128 ? std::numeric_limits<double>::infinity()
                                   : std::ldexp(static_cast<double>(m), static_cast<int>(s));
    return negative ? -v : v;
  }
  uint64_t bits;
  if (m < kHiddenBit)
    bits = m;
  else if (s + 52 >= 1024)
    bits = kInfBits;
  else
    bits = (static_cast<uint64_t>(s + 1075) << 52) | (m - kHiddenBit);
  return std::bit_cast<double>(negative ? bits | kSignBit : bits);
}

// ±num·2^exp rounded once from its top 128 bits and a sticky bit for the
// rest: a sum needs no division.
double round_top(const Wide& num, long exp, bool negative, bool binary32) {
  const int drop = bit_length(num.data(), kWideWords) - 128;
  const u128 q = (static_cast<u128>(word_at(num.data(), kWideWords, drop + 64)) << 64) |
                 word_at(num.data(), kWideWords, drop);
  return round_quotient(q, any_below(num.data(), kWideWords, drop), exp + drop, negative, binary32);
}

// floor(sqrt(v)) for v >= 2^126. The long double estimate carries at least
// 64 bits of v (a quad where long double is wider), so it lands within a
// unit or two of the root; the loops step to it with products alone.
uint64_t isqrt(u128 v) {
  // From v's top 64 bits (a hardware conversion, unlike all 128): the
  // estimate is as close, since v >= 2^126 leaves them 63 bits or more.
  const long double estimate =
      std::sqrt(static_cast<long double>(static_cast<uint64_t>(v >> 64)) * 0x1p64L);
  uint64_t r =
      estimate >= 0x1p64L ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(estimate);
  while (static_cast<u128>(r) * r > v) --r;
  while (r != std::numeric_limits<uint64_t>::max() && static_cast<u128>(r + 1) * (r + 1) <= v) ++r;
  return r;
}

// sqrt((q + f)·2^exp) rounded once. The root r of the integer part has
// 63 bits or more (q >= 2^127 here), so no rounding boundary lies strictly between r and
// r + 1, and an inexact root can stand in as r + 1/2.
double round_root(Quotient v, bool binary32) {
  if ((v.exp & 1) != 0) {
    v.sticky |= (v.q & 1) != 0;
    v.q >>= 1;
    ++v.exp;
  }
  const uint64_t r = isqrt(v.q);
  if (!v.sticky && static_cast<u128>(r) * r == v.q)
    return round_quotient(r, false, v.exp / 2, false, binary32);
  return round_quotient(2 * static_cast<u128>(r) + 1, false, v.exp / 2 - 1, false, binary32);
}

Wide widen(const NarrowSum& s) {
  Wide out{};
  std::copy_n(s.mag.begin(), s.words, out.begin());
  return out;
}

using Product = std::array<uint64_t, 4>;

// m·n for m of N words.
template <size_t N>
std::array<uint64_t, N + 1> times_word(const std::array<uint64_t, N>& m, uint64_t n) {
  std::array<uint64_t, N + 1> out;
  uint64_t carry = 0;
  for (size_t i = 0; i < N; ++i) {
    const u128 t = static_cast<u128>(m[i]) * n + carry;
    out[i] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
  out[N] = carry;
  return out;
}

// m·k for m and k of up to 2 words.
Product times(const std::array<uint64_t, 3>& m, const std::array<uint64_t, 3>& k) {
  Product out = {0, 0, 0, 0};
  for (int i = 0; i < 2; ++i) {
    uint64_t carry = 0;
    for (int j = 0; j < 2; ++j) {
      const u128 t = static_cast<u128>(m[i]) * k[j] + out[i + j] + carry;
      out[i + j] = static_cast<uint64_t>(t);
      carry = static_cast<uint64_t>(t >> 64);
    }
    out[i + 2] = carry;
  }
  return out;
}

// n·Σxy·2^1074 − Σx·Σy in units of 2^(e − 2148), as a magnitude and its
// sign: false when it does not fit.
// The first term's factor n may itself be scaled: n·2^(n_exp − 1074) (a
// weight sum); a count has n_exp = 1074.
bool centred(const NarrowSum& x, const NarrowSum& y, const NarrowSum& xy, uint64_t n, Wide& num,
             long& e, bool& negative, long n_exp = 1074) {
  const Product t1 = times_word(xy.mag, n), t2 = times(x.mag, y.mag);  // zero for zero sums
  const bool has1 = xy.words != 0, has2 = x.words != 0 && y.words != 0;
  const long e1 = 64L * xy.limb + n_exp, e2 = 64L * (x.limb + y.limb);
  e = has1 && has2 ? std::min(e1, e2) : has1 ? e1 : e2;
  const long room = 64L * kWideWords - 2;  // a carry may add one bit
  if ((has1 && bit_length(t1.data(), 4) + (e1 - e) > room) ||
      (has2 && bit_length(t2.data(), 4) + (e2 - e) > room))
    return false;
  // Both terms at exponent e: the first with xy's sign, the second with
  // the opposite of x·y's.
  const int s1 = has1 ? static_cast<int>(e1 - e) : 0, s2 = has2 ? static_cast<int>(e2 - e) : 0;
  const bool first_negative = xy.negative, second_negative = x.negative == y.negative;
  uint64_t carry = 0;
  for (int i = 0; i < kWideWords; ++i) {
    const uint64_t u = word_at(t1.data(), 4, 64 * i - s1), v = word_at(t2.data(), 4, 64 * i - s2);
    if (first_negative == second_negative) {
      const uint64_t w = u + v;
      num[i] = w + carry;
      carry = (w < u) || (num[i] < w) ? 1 : 0;
    } else {
      const uint64_t d = u - v;
      num[i] = d - carry;
      carry = (u < v) || (d < carry) ? 1 : 0;
    }
  }
  negative = first_negative;
  if (first_negative != second_negative && carry != 0) {  // the second term is larger
    negative = second_negative;
    uint64_t borrow = 1;  // two's complement: ~num + 1
    for (uint64_t& w : num) {
      w = ~w + borrow;
      borrow = borrow != 0 && w == 0 ? 1 : 0;
    }
  }
  return true;
}

// Σx / n from a sum read narrow.
std::optional<double> mean_of(const NarrowSum& s, uint64_t n, bool binary32) {
  if (s.words == 0) return 0.0;
  const Quotient q = divide(widen(s), 64L * s.limb - 1074, n, 2);
  return round_quotient(q.q, q.sticky, q.exp, s.negative, binary32);
}

// The centred answer from sums read narrow (x and y may be the same).
// n·(n − ddof) for an integral ddof, when it is positive and fits 64 bits.
std::optional<uint64_t> spread_divisor(uint64_t n, double ddof) {
  if (ddof != std::trunc(ddof) || std::fabs(ddof) > 0x1p62) return std::nullopt;
  const i128 dof = static_cast<i128>(n) - static_cast<int64_t>(ddof);
  if (dof <= 0) return std::nullopt;
  const u128 den = static_cast<u128>(n) * static_cast<u128>(dof);
  if ((den >> 64) != 0) return std::nullopt;
  return static_cast<uint64_t>(den);
}

// ±num·2^exp / den rounded once, or its root.
std::optional<double> spread_of(const Wide& num, long exp, bool negative, uint64_t den, bool root,
                                bool binary32) {
  if (bit_length(num.data(), kWideWords) == 0) return 0.0;
  if (negative && root) return std::nullopt;  // NaN, which the big-integer path says
  const Quotient q = root ? divide(num, exp, den, 3) : divide_once(num, exp, den);
  if (root) return round_root(q, binary32);
  return round_quotient(q.q, q.sticky, q.exp, negative, binary32);
}

std::optional<double> centred_of(const NarrowSum& a, const NarrowSum& b, const NarrowSum& c,
                                 uint64_t n, double ddof, bool root, bool binary32) {
  const auto den = spread_divisor(n, ddof);
  Wide num;
  long e = 0;
  bool negative = false;
  if (!den || !centred(a, b, c, n, num, e, negative)) return std::nullopt;
  return spread_of(num, e - 2148, negative, *den, root, binary32);
}

// num·2^exp / den rounded once for num of at most five words (a window's
// n·Σx² − (Σx)²): divide_once with its bits read straight from the words.
template <class Divide>
[[gnu::always_inline]] inline double window_quotient(const Wide& num, long exp, uint64_t den,
                                                     Divide divide, bool binary32) {
  int top = 5;
  while (top > 0 && num[top - 1] == 0) --top;
  if (top == 0) return 0.0;
  const int length = 64 * (top - 1) + std::bit_width(num[top - 1]);
  const int j = length - (std::bit_width(den) + 63);  // the lowest bit kept
  u128 part = 0;
  bool sticky = false;
  if (j <= 0) {
    part = ((static_cast<u128>(num[1]) << 64) | num[0]) << -j;
  } else {
    // j <= 320 − 64: the words read stay inside num, num[w + 2] only when r > 0.
    const int w = j / 64, r = j % 64;
    // Two word shifts rather than one of 128 bits: a variable 128-bit shift
    // costs several branches.
    uint64_t hi = num[w + 1], lo = num[w];
    if (r != 0) {
      lo = (lo >> r) | (hi << (64 - r));
      hi = (hi >> r) | (num[w + 2] << (64 - r));
    }
    part = (static_cast<u128>(hi) << 64) | lo;
    sticky = (num[w] & ((uint64_t{1} << r) - 1)) != 0;
    for (int k = 0; k < w; ++k) sticky |= num[k] != 0;
  }
  uint64_t rem = 0;
  const uint64_t q = divide(static_cast<uint64_t>(part >> 64), static_cast<uint64_t>(part), rem);
  return round_quotient(q, sticky || rem != 0, exp + j, false, binary32);
}

// n·Σx² − (Σx)² of a window, five words, never negative for sums of the
// same values; false otherwise. Written out word by word: it runs once a
// window.
[[gnu::always_inline]] inline bool window_numerator(u128 sum,
                                                    const std::array<uint64_t, 4>& squares,
                                                    uint64_t n, Wide& num) {
  // n·Σx², five words.
  uint64_t w[5];
  u128 t = 0;
  for (int i = 0; i < 4; ++i) {
    t = static_cast<u128>(squares[i]) * n + static_cast<uint64_t>(t >> 64);
    w[i] = static_cast<uint64_t>(t);
  }
  w[4] = static_cast<uint64_t>(t >> 64);
  // (Σx)² = s0² + 2·s0·s1·2^64 + s1²·2^128, four words.
  const auto s0 = static_cast<uint64_t>(sum), s1 = static_cast<uint64_t>(sum >> 64);
  const u128 a = static_cast<u128>(s0) * s0, b = static_cast<u128>(s0) * s1,
             c = static_cast<u128>(s1) * s1;
  const u128 b2 = b << 1;
  const u128 m1 = static_cast<u128>(static_cast<uint64_t>(a >> 64)) + static_cast<uint64_t>(b2);
  const u128 m2 = static_cast<u128>(static_cast<uint64_t>(c)) + static_cast<uint64_t>(b2 >> 64) +
                  static_cast<uint64_t>(m1 >> 64);
  const uint64_t sq[5] = {static_cast<uint64_t>(a), static_cast<uint64_t>(m1),
                          static_cast<uint64_t>(m2),
                          static_cast<uint64_t>(c >> 64) + static_cast<uint64_t>(b >> 127) +
                              static_cast<uint64_t>(m2 >> 64),
                          0};
  uint64_t borrow = 0;  // one borrow chain, without comparisons
  for (int i = 0; i < 5; ++i) {
    const u128 d = static_cast<u128>(w[i]) - sq[i] - borrow;
    num[i] = static_cast<uint64_t>(d);
    borrow = static_cast<uint64_t>(d >> 127);
  }
  num[5] = 0;
  return borrow == 0;
}

}  // namespace

std::optional<double> narrow_mean(const SumF64& sum, uint64_t n, bool binary32) {
  NarrowSum s;
  if (n == 0 || !sum.finite() || !read_narrow(sum.limbs, 3, s)) return std::nullopt;
  return mean_of(s, n, binary32);
}

std::optional<double> narrow_centred(const SumF64& x, const SumF64& y, const DotF64& xy, uint64_t n,
                                     double ddof, bool root, bool binary32) {
  if (n == 0 || !x.finite() || !y.finite() || xy.exactness_lost || !xy.sum.finite())
    return std::nullopt;
  NarrowSum a, b, c;
  if (!read_narrow(x.limbs, 2, a) || !read_narrow(xy.sum.limbs, 3, c)) return std::nullopt;
  if (&x != &y && !read_narrow(y.limbs, 2, b)) return std::nullopt;
  return centred_of(a, &x == &y ? a : b, c, n, ddof, root, binary32);
}

std::optional<double> narrow_spread(const SumF64& sum, const DotF64& squares, uint64_t n,
                                    double ddof, bool root, bool binary32) {
  return narrow_centred(sum, sum, squares, n, ddof, root, binary32);
}

double narrow_ratio(u128 magnitude, bool negative, long exp, uint64_t den, bool binary32) {
  if (magnitude == 0) return 0.0;
  // The magnitude moved to the top of 128 bits: a sum is then rounded as
  // it is, and a mean is two word divisions with a quotient of at least 2^63.
  const uint64_t hi = static_cast<uint64_t>(magnitude >> 64);
  const int shift =
      hi != 0 ? std::countl_zero(hi) : 64 + std::countl_zero(static_cast<uint64_t>(magnitude));
  const u128 top = magnitude << shift;
  if (den == 1) return round_quotient(top, false, exp - shift, negative, binary32);
  // One word division of the top bits(den) + 63 bits: a quotient of 63 bits
  // or more, the bits below it sticky.
  const int drop = 65 - std::bit_width(den);
  const u128 part = top >> drop;
  const bool below = (top << (128 - drop)) != 0;
  uint64_t rem = 0;
  const uint64_t q =
      divide_step(static_cast<uint64_t>(part >> 64), static_cast<uint64_t>(part), den, rem);
  return round_quotient(q, below || rem != 0, exp - shift + drop, negative, binary32);
}

std::optional<double> narrow_window_spread(Magnitude128 sum, const std::array<uint64_t, 4>& squares,
                                           long exp, uint64_t n, double ddof, bool root,
                                           bool binary32) {
  const auto den = spread_divisor(n, ddof);
  Wide num;
  if (!den || !window_numerator(sum, squares, n, num)) return std::nullopt;
  if (root) return spread_of(num, exp, false, *den, root, binary32);
  auto divide = [d = *den](uint64_t hi, uint64_t lo, uint64_t& rem) {
    return divide_step(hi, lo, d, rem);
  };
  return window_quotient(num, exp, *den, divide, binary32);
}

double narrow_quotient(const std::array<uint64_t, 5>& magnitude, bool negative, long exp,
                       uint64_t den) {
  Wide num{};
  std::copy(magnitude.begin(), magnitude.end(), num.begin());
  auto divide = [den](uint64_t hi, uint64_t lo, uint64_t& rem) {
    return divide_step(hi, lo, den, rem);
  };
  const double v = window_quotient(num, exp, den, divide, false);
  return negative ? -v : v;
}

double narrow_window_variance(Magnitude128 sum, const std::array<uint64_t, 4>& squares, long exp,
                              uint64_t n, uint64_t den, bool binary32) {
  Wide num;
  if (!window_numerator(sum, squares, n, num)) return std::numeric_limits<double>::quiet_NaN();
  auto divide = [den](uint64_t hi, uint64_t lo, uint64_t& rem) {
    return divide_step(hi, lo, den, rem);
  };
  return window_quotient(num, exp, den, divide, binary32);
}

double narrow_window_deviation(Magnitude128 sum, const std::array<uint64_t, 4>& squares, long exp,
                               uint64_t n, const WordDivisor& den, bool binary32) {
  Wide num;
  if (!window_numerator(sum, squares, n, num)) return std::numeric_limits<double>::quiet_NaN();
  if (bit_length(num.data(), kWideWords) == 0) return 0.0;
  auto step = [&den](uint64_t hi, uint64_t lo, uint64_t& rem) { return den.divide(hi, lo, rem); };
  return round_root(divide_by(num, exp, 3, step), binary32);
}

double narrow_window_variance(Magnitude128 sum, const std::array<uint64_t, 4>& squares, long exp,
                              uint64_t n, const WordDivisor& den, bool binary32) {
  Wide num;
  if (!window_numerator(sum, squares, n, num)) return std::numeric_limits<double>::quiet_NaN();
  auto divide = [&den](uint64_t hi, uint64_t lo, uint64_t& rem) { return den.divide(hi, lo, rem); };
  return window_quotient(num, exp, den.value(), divide, binary32);
}

WordDivisor::WordDivisor(uint64_t d)
    : d_(d), normal_(d << std::countl_zero(d)), shift_(std::countl_zero(d)) {
  uint64_t rem = 0;
  reciprocal_ = divide_step(~normal_, ~uint64_t{0}, normal_, rem);  // ⌊(2^128 − 1)/d⌋ − 2^64
}

uint64_t WordDivisor::divide(uint64_t hi, uint64_t lo, uint64_t& rem) const {
  if (shift_ != 0) {
    hi = (hi << shift_) | (lo >> (64 - shift_));
    lo <<= shift_;
  }
  const u128 q = static_cast<u128>(reciprocal_) * hi + ((static_cast<u128>(hi + 1) << 64) | lo);
  uint64_t q1 = static_cast<uint64_t>(q >> 64);
  const auto q0 = static_cast<uint64_t>(q);
  uint64_t r = lo - q1 * normal_;
  const uint64_t over = r > q0 ? ~uint64_t{0} : 0;  // about half the time: no branch
  q1 += over;
  r += over & normal_;
  if (r >= normal_) [[unlikely]] {
    ++q1;
    r -= normal_;
  }
  rem = r >> shift_;
  return q1;
}

double narrow_ratio(u128 magnitude, bool negative, long exp, const WordDivisor& den,
                    bool binary32) {
  if (magnitude == 0) return 0.0;
  const uint64_t hi = static_cast<uint64_t>(magnitude >> 64);
  const int shift =
      hi != 0 ? std::countl_zero(hi) : 64 + std::countl_zero(static_cast<uint64_t>(magnitude));
  const u128 top = magnitude << shift;
  const int drop = 65 - std::bit_width(den.value());
  const u128 part = top >> drop;
  const bool below = (top << (128 - drop)) != 0;
  uint64_t rem = 0;
  const uint64_t q =
      den.divide(static_cast<uint64_t>(part >> 64), static_cast<uint64_t>(part), rem);
  return round_quotient(q, below || rem != 0, exp - shift + drop, negative, binary32);
}

std::optional<double> narrow_sum(PlacedWords sum, bool binary32) {
  NarrowSum s;
  if (!read_narrow(sum, 3, s)) return std::nullopt;
  if (s.words == 0) return 0.0;
  return round_top(widen(s), 64L * s.limb - 1074, s.negative, binary32);
}

namespace {

// A positive weight sum as W·2^(e − 1074) with W odd and below 2^bits.
bool odd_weight(const SumF64& w, int bits, uint64_t& odd, long& e) {
  NarrowSum s;
  if (!w.finite() || !read_narrow(w.limbs, 3, s) || s.negative || s.words == 0) return false;
  const Wide m = widen(s);
  const int zeros =
      m[0] != 0 ? std::countr_zero(m[0]) : 64 + std::countr_zero(m[1] != 0 ? m[1] : m[2]);
  if (bit_length(m.data(), kWideWords) - zeros > bits) return false;
  odd = word_at(m.data(), kWideWords, zeros);
  e = 64L * s.limb + zeros;
  return true;
}

}  // namespace

std::optional<double> narrow_weighted_mean(const SumF64& w, const DotF64& wx, const DotF64& wxx) {
  uint64_t odd = 0;
  long we = 0;
  NarrowSum x;
  // Every sum must be readable, as the big-integer query asks of all three.
  if (wx.exactness_lost || wxx.exactness_lost || !wx.sum.finite() || !wxx.sum.finite() ||
      !odd_weight(w, 64, odd, we) || !read_narrow(wx.sum.limbs, 3, x))
    return std::nullopt;
  if (x.words == 0) return 0.0;
  const Quotient q = divide(widen(x), 64L * x.limb - we, odd, 2);
  return round_quotient(q.q, q.sticky, q.exp, x.negative, false);
}

std::optional<double> narrow_weighted_variance(const SumF64& w, const DotF64& wx,
                                               const DotF64& wxx) {
  uint64_t odd = 0;
  long we = 0;
  NarrowSum x, xx;
  if (wx.exactness_lost || wxx.exactness_lost || !wx.sum.finite() || !wxx.sum.finite() ||
      !odd_weight(w, 32, odd, we) || !read_narrow(wx.sum.limbs, 2, x) ||
      !read_narrow(wxx.sum.limbs, 3, xx))
    return std::nullopt;
  // (Σw·Σwx² − (Σwx)²) / (Σw)², with Σw = odd·2^(we − 1074).
  Wide num;
  long e = 0;
  bool negative = false;
  if (!centred(x, x, xx, odd, num, e, negative, we)) return std::nullopt;
  return spread_of(num, e - 2 * we, negative, odd * odd, false, false);
}

std::optional<double> narrow_mean(PlacedWords sum, uint64_t n, bool binary32) {
  NarrowSum s;
  if (n == 0 || !read_narrow(sum, 3, s)) return std::nullopt;
  return mean_of(s, n, binary32);
}

std::optional<double> narrow_spread(PlacedWords sum, PlacedWords squares, uint64_t n, double ddof,
                                    bool root, bool binary32) {
  NarrowSum a, c;
  if (n == 0 || !read_narrow(sum, 2, a) || !read_narrow(squares, 3, c)) return std::nullopt;
  return centred_of(a, a, c, n, ddof, root, binary32);
}

}  // namespace tallix
