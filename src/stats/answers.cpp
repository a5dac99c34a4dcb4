// The answers of answers.hpp: the parts read back as one exact rational per
// sum (notes 1 to 3 there), every answer rounded once.
#include "answers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "../big_memory.hpp"
#include "narrow.hpp"

namespace tallix {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Scaled parts hold wider integers than one state's query: shifts of up to
// 2·2·kMaxPartScale bits widen every value about fourfold (below 2^15 bits
// before the square root's shift), so allocations and GMP's scratch grow
// fourfold.
inline constexpr size_t kScaledQueryBytes = 64 * 2 * 8192 + 4 * 2 * 65536;

long bits(const BigInt& v) {
  return sgn(v) == 0 ? 0 : static_cast<long>(mpz_sizeinbase(v.get_mpz_t(), 2));
}

BigInt shifted(const BigInt& v, long by) {
  return by >= 0 ? BigInt(v << static_cast<mp_bitcnt_t>(by))
                 : BigInt(v >> static_cast<mp_bitcnt_t>(-by));
}

// num/den · 2^exp rounded once: the power of two joins whichever side keeps
// both integers.
double round_scaled(const BigInt& num, const BigInt& den, long exp,
                    Precision precision = Precision::Binary64) {
  auto round = precision == Precision::Binary32 ? &round_rational32 : &round_rational;
  if (exp >= 0) return round(shifted(num, exp), den);
  return round(num, shifted(den, -exp));
}

// The sum IEEE arithmetic gives for values with these flags.
double ieee_sum(bool nan, bool pos_inf, bool neg_inf) {
  if (nan || (pos_inf && neg_inf)) return kNaN;
  return pos_inf ? kInf : -kInf;
}

struct Flags {
  bool nan = false, pos_inf = false, neg_inf = false;
  void add(const SumF64& s) {
    nan |= s.nan;
    pos_inf |= s.pos_inf;
    neg_inf |= s.neg_inf;
  }
  bool any() const { return nan || pos_inf || neg_inf; }
  double sum() const { return ieee_sum(nan, pos_inf, neg_inf); }
};

// A product sum read for a part: a finite sum of finite data that is not
// exact any more (overflow or underflow of a product) asks for bands.
Result<BigInt> product_int(const DotF64& acc) {
  if (acc.exactness_lost || !acc.sum.finite()) return StatsError::ExactnessLost;
  return twos_complement(acc.sum.limbs);
}

// Σ S_i·2^(top − scale_i) over the parts: note 1 of the header.
template <class Part, class Read, class Scale>
Result<BigInt> aligned(std::span<const Part> parts, Read read, Scale scale, int64_t top) {
  BigInt total;
  for (const Part& p : parts) {
    Result<BigInt> s = read(p);
    if (!s.ok()) return s.failure();
    total += shifted(s.value(), static_cast<long>(top - scale(p)));
  }
  return total;
}

// n·(n − ddof) for a spread. ddof is any binary64 (numpy takes 0.5 as
// readily as 1), so it is m·2^e exactly: the divisor is value·2^-shift with
// value an integer. False where numpy would divide by n − ddof <= 0.
struct Divisor {
  BigInt value;
  long shift = 0;
};

bool spread_divisor(const BigInt& n, double ddof, Divisor& out) {
  int e = 0;
  const double m = std::frexp(ddof, &e);
  const BigInt mantissa(static_cast<long>(std::ldexp(m, 53)));  // ddof = mantissa·2^(e − 53)
  e -= 53;
  const BigInt dof = e >= 0 ? BigInt(n - shifted(mantissa, e)) : BigInt(shifted(n, -e) - mantissa);
  if (sgn(n) <= 0 || sgn(dof) <= 0) return false;
  out.value = n * dof;
  out.shift = e >= 0 ? 0 : -e;
  return true;
}

// num / divisor · 2^exp, or its root (exp is even).
double spread(const BigInt& num, const Divisor& d, long exp, bool root,
              Precision precision = Precision::Binary64) {
  if (!root) return round_scaled(num, d.value, exp + d.shift, precision);
  if (d.shift % 2 == 0) return round_sqrt_rational(num, d.value, (exp + d.shift) / 2, precision);
  return round_sqrt_rational(num << 1, d.value, (exp + d.shift - 1) / 2, precision);
}

bool plain(std::span<const ScaledMoments> parts) {
  return parts.size() == 1 && parts[0].scale == 0;
}

// A single unscaled part whose sums span a few words: the fixed-width path.
std::optional<double> narrow_moment(const ScaledMoments& part, MomentAnswer what, double ddof,
                                    uint64_t missing, Precision precision) {
  const bool binary32 = precision == Precision::Binary32;
  if (what == MomentAnswer::Sum)
    return binary32 ? static_cast<double>(SumF32{*part.sum}.value()) : part.sum->value();
  const uint64_t n = part.sum->count;
  if (missing >= n) return std::nullopt;
  if (what == MomentAnswer::Mean) return narrow_mean(*part.sum, n - missing, binary32);
  if (part.squares == nullptr) return std::nullopt;
  return narrow_spread(*part.sum, *part.squares, n - missing, ddof, what == MomentAnswer::Std,
                       binary32);
}

// A single unscaled covariance state, for the centred answers: the
// fixed-width path (the other answers are rare per query).
std::optional<double> narrow_pair(const CovF64& s, PairAnswer what, double ddof) {
  const uint64_t n = s.sum_x.count;
  if (!s.sum_x.finite() || !s.sum_y.finite()) return std::nullopt;  // NaN, said below
  switch (what) {
    case PairAnswer::Cov:
      return narrow_centred(s.sum_x, s.sum_y, s.sum_xy, n, ddof, false);
    case PairAnswer::VarX:
      return narrow_centred(s.sum_x, s.sum_x, s.sum_xx, n, ddof, false);
    case PairAnswer::VarY:
      return narrow_centred(s.sum_y, s.sum_y, s.sum_yy, n, ddof, false);
    default:
      return std::nullopt;
  }
}

Result<double> moments_of(std::span<const ScaledMoments> parts, MomentAnswer what, double ddof,
                          uint64_t missing, Precision precision) {
  uint64_t n = 0;
  Flags flags;
  int64_t top = std::numeric_limits<int64_t>::min();
  for (const ScaledMoments& p : parts) {
    n += p.sum->count;
    flags.add(*p.sum);
    top = std::max(top, p.scale);
  }
  n = missing > n ? 0 : n - missing;
  if (what == MomentAnswer::Sum && flags.any()) return flags.sum();
  if (what == MomentAnswer::Mean) {
    if (n == 0) return kNaN;
    if (flags.any()) return flags.sum();
  }
  if (flags.any()) return kNaN;
  Divisor divisor;
  const bool spread_asked = what == MomentAnswer::Var || what == MomentAnswer::Std;
  if (spread_asked && !spread_divisor(from_u64(n), ddof, divisor)) return kNaN;

  auto s1 = aligned(
      parts, [](const ScaledMoments& p) { return sum_int(*p.sum); },
      [](const ScaledMoments& p) { return p.scale; }, top);
  if (!s1.ok()) return s1.failure();
  const BigInt& a = s1.value();
  if (what == MomentAnswer::Sum)
    return round_scaled(a, BigInt(1), -(1074 + static_cast<long>(top)), precision);
  if (what == MomentAnswer::Mean)
    return round_scaled(a, from_u64(n), -(1074 + static_cast<long>(top)), precision);

  auto s2 = aligned(
      parts, [](const ScaledMoments& p) { return product_int(*p.squares); },
      [](const ScaledMoments& p) { return 2 * p.scale; }, 2 * top);
  if (!s2.ok()) return s2.failure();
  // n·Σx² − (Σx)², in units of 2^-(2148 + 2K): never negative.
  BigInt num = ((from_u64(n) * s2.value()) << 1074) - a * a;
  return spread(num, divisor, -(2148 + 2 * static_cast<long>(top)), what == MomentAnswer::Std,
                precision);
}

struct PairSums {
  BigInt x, y, xx, yy, xy;
  int64_t kx, ky;
};

// The sums an answer needs, aligned as note 2 of the header says.
Result<PairSums> pair_sums(std::span<const ScaledCov> parts, PairAnswer what) {
  PairSums s;
  s.kx = s.ky = std::numeric_limits<int64_t>::min();
  for (const ScaledCov& p : parts) {
    s.kx = std::max(s.kx, p.scale_x);
    s.ky = std::max(s.ky, p.scale_y);
  }
  auto sx = [](const ScaledCov& p) { return p.scale_x; };
  auto sy = [](const ScaledCov& p) { return p.scale_y; };
  auto read = [&](auto acc, auto scale, int64_t top, BigInt& out) -> Result<void> {
    auto r = aligned(parts, acc, scale, top);
    if (!r.ok()) return r.failure();
    out = std::move(r).value();
    return {};
  };
  const bool centred = what == PairAnswer::Cov || what == PairAnswer::VarX ||
                       what == PairAnswer::VarY || what == PairAnswer::Corr;
  const bool needs_x = what != PairAnswer::SumXY && what != PairAnswer::VarY;
  const bool needs_y = centred && what != PairAnswer::VarX;
  const bool needs_xy = what == PairAnswer::Cov || what == PairAnswer::Corr ||
                        what == PairAnswer::Ratio || what == PairAnswer::SumXY;
  Result<void> r;
  if (needs_x) r = read([](const ScaledCov& p) { return sum_int(p.state->sum_x); }, sx, s.kx, s.x);
  if (r.ok() && needs_y)
    r = read([](const ScaledCov& p) { return sum_int(p.state->sum_y); }, sy, s.ky, s.y);
  if (r.ok() && centred && what != PairAnswer::VarY)
    r = read([](const ScaledCov& p) { return product_int(p.state->sum_xx); },
             [](const ScaledCov& p) { return 2 * p.scale_x; }, 2 * s.kx, s.xx);
  if (r.ok() && centred && what != PairAnswer::VarX)
    r = read([](const ScaledCov& p) { return product_int(p.state->sum_yy); },
             [](const ScaledCov& p) { return 2 * p.scale_y; }, 2 * s.ky, s.yy);
  if (r.ok() && needs_xy)
    r = read([](const ScaledCov& p) { return product_int(p.state->sum_xy); },
             [](const ScaledCov& p) { return p.scale_x + p.scale_y; }, s.kx + s.ky, s.xy);
  if (!r.ok()) return r.failure();
  return s;
}

Result<double> pair_of(std::span<const ScaledCov> parts, PairAnswer what, double ddof) {
  uint64_t n = 0;
  Flags fx, fy, fxy;
  for (const ScaledCov& p : parts) {
    n += p.state->sum_x.count;
    fx.add(p.state->sum_x);
    fy.add(p.state->sum_y);
    fxy.add(p.state->sum_xy.sum);
  }
  if (what == PairAnswer::SumX && fx.any()) return fx.sum();
  if (what == PairAnswer::SumXY && (fx.any() || fy.any())) return fxy.sum();
  if (fx.any() || fy.any()) return kNaN;
  Divisor divisor;
  const bool centred = what == PairAnswer::Cov || what == PairAnswer::VarX ||
                       what == PairAnswer::VarY || what == PairAnswer::Corr;
  if (centred && what != PairAnswer::Corr && !spread_divisor(from_u64(n), ddof, divisor))
    return kNaN;
  if (what == PairAnswer::Corr && n == 0) return kNaN;

  Result<PairSums> sums = pair_sums(parts, what);
  if (!sums.ok()) return sums.failure();
  const PairSums& s = sums.value();
  const long kx = static_cast<long>(s.kx), ky = static_cast<long>(s.ky);
  const BigInt nn = from_u64(n);
  switch (what) {
    case PairAnswer::SumX:
      return round_scaled(s.x, BigInt(1), -(1074 + kx));
    case PairAnswer::SumXY:
      return round_scaled(s.xy, BigInt(1), -(1074 + kx + ky));
    case PairAnswer::Ratio:
      if (sgn(s.x) == 0) return kNaN;
      return round_scaled(s.xy, s.x, -ky);
    case PairAnswer::VarX:
      return spread(((nn * s.xx) << 1074) - s.x * s.x, divisor, -(2148 + 2 * kx), false);
    case PairAnswer::VarY:
      return spread(((nn * s.yy) << 1074) - s.y * s.y, divisor, -(2148 + 2 * ky), false);
    case PairAnswer::Cov:
      return spread(((nn * s.xy) << 1074) - s.x * s.y, divisor, -(2148 + kx + ky), false);
    case PairAnswer::Corr: {
      // The powers of two cancel: r = cxy / sqrt(cxx·cyy), rounded once.
      const BigInt cxy = ((nn * s.xy) << 1074) - s.x * s.y;
      const BigInt den = (((nn * s.xx) << 1074) - s.x * s.x) * (((nn * s.yy) << 1074) - s.y * s.y);
      if (sgn(den) == 0) return kNaN;
      const double r = round_sqrt_rational(cxy * cxy, den, 0);
      return sgn(cxy) < 0 ? -r : r;
    }
  }
  return kNaN;
}

}  // namespace

Result<double> moment_answer(std::span<const ScaledMoments> parts, MomentAnswer what, double ddof,
                             uint64_t missing, Precision precision) {
  if (plain(parts))
    if (auto v = narrow_moment(parts[0], what, ddof, missing, precision)) return *v;
  BigMemoryScope memory(plain(parts) ? kStatsQueryBytes : kScaledQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  return moments_of(parts, what, ddof, missing, precision);
}

Result<double> pair_answer(std::span<const ScaledCov> parts, PairAnswer what, double ddof) {
  const bool scaled = parts.size() != 1 || parts[0].scale_x != 0 || parts[0].scale_y != 0;
  if (!scaled)
    if (auto v = narrow_pair(*parts[0].state, what, ddof)) return *v;
  BigMemoryScope memory(scaled ? kScaledQueryBytes : kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  return pair_of(parts, what, ddof);
}

double integer_moment(const BigInt& s1, const BigInt& s2, const BigInt& n, MomentAnswer what,
                      double ddof) {
  if (sgn(n) <= 0) return kNaN;
  if (what == MomentAnswer::Mean) return round_rational(s1, n);
  Divisor divisor;
  if (!spread_divisor(n, ddof, divisor)) return kNaN;
  return spread(n * s2 - s1 * s1, divisor, 0, what == MomentAnswer::Std);
}

// With at least 55 significant bits in the integer root r, no rounding
// boundary of the result lies strictly between r and r + 1 (at that scale
// they are multiples of 2), so an inexact root can stand in as r + 1/2.
double round_sqrt_rational(const BigInt& num, const BigInt& den, long half_exp,
                           Precision precision) {
  if (sgn(num) <= 0) return sgn(num) == 0 ? 0.0 : kNaN;
  const long s = std::max(0L, (112 - bits(num) + bits(den)) / 2 + 1);
  BigInt q, rest, root;
  const BigInt wide = num << static_cast<mp_bitcnt_t>(2 * s);
  mpz_tdiv_qr(q.get_mpz_t(), rest.get_mpz_t(), wide.get_mpz_t(), den.get_mpz_t());
  mpz_sqrt(root.get_mpz_t(), q.get_mpz_t());
  if (sgn(rest) == 0 && root * root == q)
    return round_scaled(root, BigInt(1), half_exp - s, precision);
  return round_scaled(2 * root + 1, BigInt(1), half_exp - s - 1, precision);
}

}  // namespace tallix
