// Skewness, kurtosis, covariance and correlation of sliding windows
// (sliding.hpp): power and product sums slid as integers in the placement of
// the moments' fast tier, and each answer rounded once from exact integers.
//
//   With S_k = Σ(x/u)^k in units u = 2^(base − 1074):
//     T2 = n·S2 − S1²                       = n²·m2
//     T3 = n²·S3 − 3n·S1·S2 + 2·S1³         = n³·m3
//     T4 = n³·S4 − 4n²·S1·S3 + 6n·S1²·S2 − 3·S1⁴ = n⁴·m4
//   so pandas' skewness sqrt(n(n−1))/(n−2)·m3/m2^(3/2) is the signed root of
//   n(n−1)·T3² / ((n−2)²·T2³), and its kurtosis ((n²−1)·m4/m2² − 3(n−1)²) /
//   ((n−2)(n−3)) is ((n²−1)·T4 − 3(n−1)²·T2²) / ((n−2)(n−3)·T2²): the unit
//   cancels from both. A covariance is (n·Sxy − Sx·Sy)/(n(n − ddof))·ux·uy.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "../big_memory.hpp"
#include "../words.hpp"
#include "narrow.hpp"
#include "rational.hpp"
#include "sliding.hpp"
#include "sliding_tier.hpp"

namespace tallix {

namespace {

using namespace sliding_detail;

// Powers up to the fourth of values up to 2^1024 apart, and their roots'
// shifts: well beyond one statistics query.
constexpr size_t kShapeQueryBytes = 8 * kStatsQueryBytes;

// The placement of every tier here: any finite range, since nothing joins a
// DotF64.
constexpr long kAnyBase = 0, kAnyTop = 2046 - 53;

template <size_t M>
Words<M + 1> times_word(const Words<M>& a, uint64_t b) {
  Words<M + 1> out{};
  uint64_t carry = 0;
  for (size_t i = 0; i < M; ++i) {
    const u128 t = static_cast<u128>(a[i]) * b + carry;
    out[i] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
  out[M] = carry;
  return out;
}

// acc ±= v·2^shift modulo 2^(64N).
template <size_t N, size_t M>
void add_placed(Words<N>& acc, const Words<M>& v, int shift, bool negative) {
  Words<N> placed{};
  const int w = shift / 64, r = shift % 64;
  for (size_t k = 0; k < M; ++k) {
    const size_t i = k + static_cast<size_t>(w);
    if (i < N) placed[i] |= v[k] << r;
    if (r != 0 && i + 1 < N) placed[i + 1] |= v[k] >> (64 - r);
  }
  if (negative)
    sub_words(acc, placed);
  else
    add_words(acc, placed);
}

template <size_t N>
BigInt signed_int(Words<N> w) {
  const bool negative = (w[N - 1] >> 63) != 0;
  if (negative) {
    uint64_t carry = 1;
    for (uint64_t& x : w) {
      x = ~x + carry;
      carry = carry != 0 && x == 0 ? 1 : 0;
    }
  }
  BigInt out;
  mpz_import(out.get_mpz_t(), N, -1, sizeof(uint64_t), 0, 0, w.data());
  return negative ? BigInt(-out) : out;
}

// x = ±m·2^(p − 1074): a finite value as an integer and its lowest position.
struct Exact {
  bool negative;
  uint64_t m;
  long p;
};
Exact exact_of(double x) {
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const uint64_t biased = biased_exponent(bits);
  const uint64_t m = (bits & kFracMask) | (biased != 0 ? kHiddenBit : 0);
  return {(bits & kSignBit) != 0, m, std::max<long>(static_cast<long>(biased), 1) - 1};
}

// The finite values of a window as integers at the lowest position among
// them: their units are 2^(lowest − 1074).
struct Integers {
  std::vector<BigInt> values;
  long lowest = 0;
};
Integers integers_of(const std::vector<double>& xs) {
  Integers out;
  long lowest = std::numeric_limits<long>::max();
  for (double x : xs)
    if (x != 0) lowest = std::min(lowest, exact_of(x).p + std::countr_zero(exact_of(x).m));
  out.lowest = lowest == std::numeric_limits<long>::max() ? 0 : lowest;
  for (double x : xs) {
    const Exact e = exact_of(x);
    BigInt v = from_u64(e.m);
    if (e.m != 0) {
      const long up = e.p - out.lowest;
      v = up >= 0 ? BigInt(v << static_cast<mp_bitcnt_t>(up))
                  : BigInt(v >> static_cast<mp_bitcnt_t>(-up));  // only its zero bits go
    }
    out.values.push_back(e.negative ? BigInt(-v) : v);
  }
  return out;
}

double round_scaled(const BigInt& num, const BigInt& den, long exp) {
  if (exp >= 0) return round_rational(BigInt(num << static_cast<mp_bitcnt_t>(exp)), den);
  return round_rational(num, BigInt(den << static_cast<mp_bitcnt_t>(-exp)));
}

double signed_root(const BigInt& num, const BigInt& den, int sign) {
  const double r = round_sqrt_rational(num, den, 0);
  return sign < 0 ? -r : r;
}

// ---- skewness and kurtosis ------------------------------------------------

struct PowerSums {
  BigInt s1, s2, s3, s4;
};

double shape_answer(const PowerSums& s, uint64_t count, ShapeAnswer what) {
  const BigInt n = from_u64(count);
  const BigInt t2 = n * s.s2 - s.s1 * s.s1;
  if (sgn(t2) <= 0) return kNaN;  // all values equal
  if (what == ShapeAnswer::Skew) {
    const BigInt t3 = n * n * s.s3 - 3 * n * s.s1 * s.s2 + 2 * s.s1 * s.s1 * s.s1;
    return signed_root(n * (n - 1) * t3 * t3, (n - 2) * (n - 2) * t2 * t2 * t2, sgn(t3));
  }
  const BigInt s1sq = s.s1 * s.s1;
  const BigInt t4 =
      n * n * n * s.s4 - 4 * n * n * s.s1 * s.s3 + 6 * n * s1sq * s.s2 - 3 * s1sq * s1sq;
  const BigInt num = (n * n - 1) * t4 - 3 * (n - 1) * (n - 1) * t2 * t2;
  return round_rational(num, (n - 2) * (n - 3) * t2 * t2);
}

// The largest t with 2^(k·t) dividing a sum of k-th powers (no bound for a
// zero sum).
template <size_t N>
int common_zeros(const Words<N>& w, int k) {
  for (size_t i = 0; i < N; ++i)
    if (w[i] != 0) return (64 * static_cast<int>(i) + std::countr_zero(w[i])) / k;
  return std::numeric_limits<int>::max();
}

class ShapeSlider {
 public:
  ShapeSlider(Placement placement, ShapeAnswer what) : placement_(placement), what_(what) {}

  void move(double x, bool take_back) {
    const Placed v = placement_.place(x);
    tally_.move(v.kind, take_back);
    if (v.kind != Kind::Fast || v.m == 0) return;
    const bool negative = v.negative != take_back;
    const Words<1> m1 = {v.m};
    const Words<2> m2 = times_word(m1, v.m);
    const Words<3> m3 = times_word(m2, v.m);
    add_placed(s1_, m1, v.shift, negative);
    add_placed(s2_, m2, 2 * v.shift, take_back);
    add_placed(s3_, m3, 3 * v.shift, negative);
    if (what_ == ShapeAnswer::Kurt) add_placed(s4_, times_word(m3, v.m), 4 * v.shift, take_back);
  }

  Result<double> answer(std::span<const double> window, uint64_t min_periods) const {
    const uint64_t n = tally_.values();
    if (n < min_periods || n < (what_ == ShapeAnswer::Skew ? 3u : 4u) || tally_.any_infinite())
      return kNaN;
    BigMemoryScope memory(kShapeQueryBytes);
    if (!memory.reserved()) return OutOfMemory{};
    if (tally_.count(Kind::General) == 0) {
      // Both answers are of degree 0 in the values' scale, so a power of two
      // that divides every S_k as 2^(k·t) leaves them: smaller integers.
      int t = std::min(
          {common_zeros(s1_, 1), common_zeros(s2_, 2), common_zeros(s3_, 3), common_zeros(s4_, 4)});
      if (t == std::numeric_limits<int>::max()) t = 0;  // every sum zero
      const auto scaled = [t](BigInt v, int k) {
        return BigInt(v >> static_cast<mp_bitcnt_t>(k * t));  // exact: 2^(k·t) divides it
      };
      return shape_answer({scaled(signed_int(s1_), 1), scaled(signed_int(s2_), 2),
                           scaled(signed_int(s3_), 3), scaled(signed_int(s4_), 4)},
                          n, what_);
    }
    std::vector<double> present;
    for (double x : window)
      if (!std::isnan(x)) present.push_back(x);
    PowerSums s;
    for (const BigInt& v : integers_of(present).values) {
      const BigInt v2 = v * v;
      s.s1 += v;
      s.s2 += v2;
      s.s3 += v2 * v;
      s.s4 += v2 * v2;
    }
    return shape_answer(s, n, what_);
  }

 private:
  Placement placement_;
  ShapeAnswer what_;
  Tally tally_;
  Words<2> s1_{};
  Words<4> s2_{};
  Words<6> s3_{};
  Words<8> s4_{};
};

// ---- covariance and correlation ------------------------------------------

struct PairSums {
  BigInt sx, sy, sxy, sxx, syy;
  long ex, ey;  // units 2^ex of x, 2^ey of y
};

double pair_answer(const PairSums& s, uint64_t count, PairSlide what, double ddof) {
  const BigInt n = from_u64(count);
  const BigInt cxy = n * s.sxy - s.sx * s.sy;
  if (what == PairSlide::Cov) {
    // ddof is any binary64, mantissa·2^e exactly: n − ddof = dof·2^-shift.
    int e = 0;
    const BigInt mantissa(static_cast<long>(std::ldexp(std::frexp(ddof, &e), 53)));
    e -= 53;
    const long shift = e >= 0 ? 0 : -e;
    const BigInt dof = e >= 0 ? BigInt(n - (mantissa << static_cast<mp_bitcnt_t>(e)))
                              : BigInt((n << static_cast<mp_bitcnt_t>(shift)) - mantissa);
    if (sgn(dof) <= 0) return kNaN;
    return round_scaled(cxy, n * dof, s.ex + s.ey + shift);
  }
  const BigInt cxx = n * s.sxx - s.sx * s.sx, cyy = n * s.syy - s.sy * s.sy;
  if (sgn(cxx) <= 0 || sgn(cyy) <= 0) return kNaN;
  return signed_root(cxy * cxy, cxx * cyy, sgn(cxy));
}

class PairSlider {
 public:
  PairSlider(Placement px, Placement py, PairSlide what, double ddof)
      : px_(px), py_(py), what_(what), ddof_(ddof) {}

  void move(double x, double y, bool take_back) {
    const Placed a = px_.place(x), b = py_.place(y);
    const Kind k = kind_of(a.kind, b.kind);
    tally_.move(k, take_back);
    if (k != Kind::Fast) return;
    const Words<1> ma = {a.m}, mb = {b.m};
    add_placed(sx_, ma, a.shift, a.negative != take_back);
    add_placed(sy_, mb, b.shift, b.negative != take_back);
    add_placed(sxy_, times_word(ma, b.m), a.shift + b.shift,
               (a.negative != b.negative) != take_back);
    add_placed(sxx_, times_word(ma, a.m), 2 * a.shift, take_back);
    add_placed(syy_, times_word(mb, b.m), 2 * b.shift, take_back);
  }

  Result<double> answer(std::span<const double> xs, std::span<const double> ys,
                        uint64_t min_periods) const {
    const uint64_t n = tally_.values();
    if (n < min_periods || n == 0 || tally_.any_infinite()) return kNaN;
    if (what_ == PairSlide::Cov && tally_.count(Kind::General) == 0)
      if (const auto v = narrow_covariance(n)) return *v;
    BigMemoryScope memory(kShapeQueryBytes);
    if (!memory.reserved()) return OutOfMemory{};
    if (tally_.count(Kind::General) == 0)
      return pair_answer({signed_int(sx_), signed_int(sy_), signed_int(sxy_), signed_int(sxx_),
                          signed_int(syy_), px_.base() - 1074, py_.base() - 1074},
                         n, what_, ddof_);
    std::vector<double> a, b;
    for (size_t i = 0; i < xs.size(); ++i)
      if (!std::isnan(xs[i]) && !std::isnan(ys[i])) {
        a.push_back(xs[i]);
        b.push_back(ys[i]);
      }
    const Integers ia = integers_of(a), ib = integers_of(b);
    PairSums s{{}, {}, {}, {}, {}, ia.lowest - 1074, ib.lowest - 1074};
    for (size_t i = 0; i < a.size(); ++i) {
      s.sx += ia.values[i];
      s.sy += ib.values[i];
      s.sxy += ia.values[i] * ib.values[i];
      s.sxx += ia.values[i] * ia.values[i];
      s.syy += ib.values[i] * ib.values[i];
    }
    return pair_answer(s, n, what_, ddof_);
  }

 private:
  // (n·Σxy − Σx·Σy) / (n·(n − ddof)) on the fixed-width path: the sums of
  // note 1 bound |n·Σxy| and |Σx·Σy| below 2^252, so the numerator is exact
  // modulo 2^320. Nothing where the divisor is not a positive word.
  std::optional<double> narrow_covariance(uint64_t n) const {
    const double dof = static_cast<double>(n) - ddof_;
    uint64_t den = 0;
    if (dof <= 0) return kNaN;
    if (ddof_ != std::trunc(ddof_) || dof >= 0x1p63 ||
        __builtin_mul_overflow(n, static_cast<uint64_t>(dof), &den))
      return std::nullopt;
    Words<5> num{};  // n·Σxy, Σxy sign-extended
    const uint64_t extend = (sxy_[3] >> 63) != 0 ? ~uint64_t{0} : 0;
    u128 carry = 0;
    for (size_t i = 0; i < 5; ++i) {
      carry += static_cast<u128>(i < 4 ? sxy_[i] : extend) * n;
      num[i] = static_cast<uint64_t>(carry);
      carry >>= 64;
    }
    sub_words(num, product(sx_, sy_));
    const bool negative = (num[4] >> 63) != 0;
    if (negative) {
      Words<5> zero{};
      sub_words(zero, num);
      num = zero;
    }
    return narrow_quotient(num, negative, px_.base() + py_.base() - 2148, den);
  }

  // a·b of two's-complement 128-bit integers, as a 320-bit one.
  static Words<5> product(const Words<2>& a, const Words<2>& b) {
    const auto value = [](const Words<2>& w) {
      return static_cast<i128>((static_cast<u128>(w[1]) << 64) | w[0]);
    };
    const i128 x = value(a), y = value(b);
    const u128 mx = x < 0 ? u128{0} - static_cast<u128>(x) : static_cast<u128>(x);
    const u128 my = y < 0 ? u128{0} - static_cast<u128>(y) : static_cast<u128>(y);
    const u128 ll = static_cast<u128>(static_cast<uint64_t>(mx)) * static_cast<uint64_t>(my);
    const u128 lh = static_cast<u128>(static_cast<uint64_t>(mx)) * static_cast<uint64_t>(my >> 64);
    const u128 hl = static_cast<u128>(static_cast<uint64_t>(mx >> 64)) * static_cast<uint64_t>(my);
    const u128 hh =
        static_cast<u128>(static_cast<uint64_t>(mx >> 64)) * static_cast<uint64_t>(my >> 64);
    Words<5> out{};
    add_placed(out, Words<2>{static_cast<uint64_t>(ll), static_cast<uint64_t>(ll >> 64)}, 0, false);
    add_placed(out, Words<2>{static_cast<uint64_t>(lh), static_cast<uint64_t>(lh >> 64)}, 64,
               false);
    add_placed(out, Words<2>{static_cast<uint64_t>(hl), static_cast<uint64_t>(hl >> 64)}, 64,
               false);
    add_placed(out, Words<2>{static_cast<uint64_t>(hh), static_cast<uint64_t>(hh >> 64)}, 128,
               false);
    if ((x < 0) != (y < 0)) {
      Words<5> zero{};
      sub_words(zero, out);
      out = zero;
    }
    return out;
  }

  // A pair counts where neither side is NaN; an infinity on either side
  // makes the window NaN, counted as one.
  static Kind kind_of(Kind a, Kind b) {
    if (a == Kind::Nan || b == Kind::Nan) return Kind::Nan;
    if (a == Kind::PosInf || a == Kind::NegInf || b == Kind::PosInf || b == Kind::NegInf)
      return Kind::PosInf;
    return a == Kind::Fast && b == Kind::Fast ? Kind::Fast : Kind::General;
  }

  Placement px_, py_;
  PairSlide what_;
  double ddof_;
  Tally tally_;
  Words<2> sx_{}, sy_{};
  Words<4> sxy_{}, sxx_{}, syy_{};
};

template <class Answer>
Status write_answer(Answer answer, double& out) {
  const Result<double> v = answer();
  if (!v.ok()) return v.failure();
  out = v.value();
  return {};
}

}  // namespace

Status slide_shape(std::span<const double> values, const SlideBounds& bounds, ShapeAnswer what,
                   uint64_t min_periods, std::span<double> out, SlidePoll poll) {
  const auto n = static_cast<int64_t>(values.size());
  const Bounds window(bounds, n);
  const Result<uint64_t> widest = widest_window(window, out.size(), n);
  if (!widest.ok()) return widest.failure();
  ShapeSlider slider(choose_placement(values, widest.value(), kAnyBase, kAnyTop), what);
  return slide_windows(
      window, out.size(), [&](size_t k) { slider.move(values[k], false); },
      [&](size_t k) { slider.move(values[k], true); },
      [&](size_t i) {
        const Window w = window(i);
        const auto here =
            values.subspan(static_cast<size_t>(w.start),
                           static_cast<size_t>(std::max<int64_t>(w.end - w.start, 0)));
        return write_answer([&] { return slider.answer(here, min_periods); }, out[i]);
      },
      poll);
}

Status slide_pairs(std::span<const double> xs, std::span<const double> ys,
                   const SlideBounds& bounds, PairSlide what, double ddof, uint64_t min_periods,
                   std::span<double> out, SlidePoll poll) {
  if (xs.size() != ys.size())
    return UsageFailure{"xs and ys must have equal lengths", xs.size(), ys.size()};
  const auto n = static_cast<int64_t>(xs.size());
  const Bounds window(bounds, n);
  const Result<uint64_t> widest = widest_window(window, out.size(), n);
  if (!widest.ok()) return widest.failure();
  PairSlider slider(choose_placement(xs, widest.value(), kAnyBase, kAnyTop),
                    choose_placement(ys, widest.value(), kAnyBase, kAnyTop), what, ddof);
  return slide_windows(
      window, out.size(), [&](size_t k) { slider.move(xs[k], ys[k], false); },
      [&](size_t k) { slider.move(xs[k], ys[k], true); },
      [&](size_t i) {
        const Window w = window(i);
        const auto start = static_cast<size_t>(w.start);
        const auto len = static_cast<size_t>(std::max<int64_t>(w.end - w.start, 0));
        return write_answer(
            [&] {
              return slider.answer(xs.subspan(start, len), ys.subspan(start, len), min_periods);
            },
            out[i]);
      },
      poll);
}

}  // namespace tallix
