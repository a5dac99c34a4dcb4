// The fixed-width query path (stats/narrow.hpp) against the big-integer
// rounding it stands in for, bit for bit.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "check.hpp"
#include "stats/answers.hpp"
#include "stats/cov.hpp"
#include "stats/moments.hpp"
#include "stats/narrow.hpp"
#include "stats/rational.hpp"
#include "stats/weighted.hpp"

namespace {

using namespace tallix;

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// The limbs holding v (two's complement modulo 2^2176).
Limbs limbs_of(BigInt v) {
  if (sgn(v) < 0) v += BigInt(1) << (64 * kLimbs);
  Limbs out{};
  size_t words = 0;
  mpz_export(out.data(), &words, -1, sizeof(uint64_t), 0, 0, v.get_mpz_t());
  return out;
}

// A random integer of `width` bits (top bit set) whose lowest bit is at `low`.
BigInt random_at(std::mt19937_64& rng, int width, int low) {
  BigInt v(1);
  for (int i = 1; i < width; ++i) v = (v << 1) + (rng() & 1);
  return v << low;
}

// The big-integer answers: numerator n·Sxy·2^1074 − Sx·Sy, divisor
// n·(n − ddof)·2^2148.
double slow_centred(const BigInt& sx, const BigInt& sy, const BigInt& sxy, uint64_t n, double ddof,
                    bool root, bool binary32) {
  const BigInt num = ((from_u64(n) * sxy) << 1074) - sx * sy;
  const BigInt den = from_u64(n) * (from_u64(n) - BigInt(static_cast<long>(ddof)));
  const Precision p = binary32 ? Precision::Binary32 : Precision::Binary64;
  if (root) return round_sqrt_rational(num, den, -1074, p);
  return (binary32 ? round_rational32 : round_rational)(num, den << 2148);
}

double slow_spread(const BigInt& s1, const BigInt& s2, uint64_t n, double ddof, bool root,
                   bool binary32) {
  return slow_centred(s1, s1, s2, n, ddof, root, binary32);
}

double slow_mean(const BigInt& s1, uint64_t n, bool binary32) {
  return (binary32 ? round_rational32 : round_rational)(s1, from_u64(n) * unit_pow(1));
}

constexpr uint64_t kCounts[] = {1,           2,           3,          10,          1u << 20,
                                0xFFFFFFFFu, 0x100000000, 1ull << 63, ~uint64_t{0}};
constexpr double kDdofs[] = {0.0, 1.0, -1.0, 3.0};

// Spans at every word boundary, from the subnormal bottom to overflow: a
// sum of 1 to 3 words' width (54 bits gives exact ties) at every limb.
TEST(narrow_matches_big_integers_at_every_limb) {
  std::mt19937_64 rng(25);
  long answered = 0;
  for (int low = 0; low < 64 * kLimbs - 200; low += 29) {
    for (int width : {1, 54, 64, 65, 100, 128, 150}) {
      const uint64_t n = kCounts[rng() % std::size(kCounts)];
      const bool binary32 = rng() % 4 == 0;
      BigInt s1 = random_at(rng, width, low);
      if (rng() & 1) s1 = -s1;
      SumF64 sum;
      sum.limbs = limbs_of(s1);
      if (auto v = narrow_mean(sum, n, binary32)) {
        ++answered;
        CHECK_EQ(bits(*v), bits(slow_mean(s1, n, binary32)));
      }
      // Σx² near (Σx)²/n keeps the spread small, or far above it.
      const int low2 = std::max(0, 2 * low - 1074 + static_cast<int>(rng() % 130) - 64);
      const BigInt s2 = rng() & 1 ? BigInt((s1 * s1 >> 1074) + random_at(rng, width, low2))
                                  : random_at(rng, std::min(width * 2, 190), low2);
      if (s2 >= BigInt(1) << 2175) continue;
      // A negative Σx² is a forged state; a negative Σxy, an ordinary one.
      const BigInt sxy = rng() % 4 == 0 ? BigInt(-s2) : s2;
      const BigInt sy = (rng() & 1 ? s1 : BigInt(-s1)) + random_at(rng, width, low);
      SumF64 sum_y;
      sum_y.limbs = limbs_of(sy);
      DotF64 squares;
      squares.sum.limbs = limbs_of(sxy);
      for (double ddof : kDdofs)
        for (bool root : {false, true}) {
          if (auto v = narrow_spread(sum, squares, n, ddof, root, binary32)) {
            ++answered;
            CHECK_EQ(bits(*v), bits(slow_spread(s1, sxy, n, ddof, root, binary32)));
          }
          if (auto v = narrow_centred(sum, sum_y, squares, n, ddof, false, binary32)) {
            ++answered;
            CHECK_EQ(bits(*v), bits(slow_centred(s1, sy, sxy, n, ddof, false, binary32)));
          }
        }
    }
  }
  CHECK(answered > 1000);
}

// Exact halfway cases, normal and subnormal: Σx = 0, so the variance is
// Σx²/(n·2^1074): an odd Σx² one bit too wide (or 3 and 5 at the bottom
// of the subnormals) over n = 2 or 4 is a tie.
TEST(narrow_spread_rounds_ties_to_even) {
  const BigInt wide_odd[] = {(BigInt(1) << 53) + 1, (BigInt(1) << 53) + 3, BigInt(3), BigInt(5)};
  for (const BigInt& m : wide_odd)
    for (uint64_t n : {1, 2, 4})
      for (int t : {0, 1, 64, 1000, 2000}) {
        const BigInt s2 = m << t;
        DotF64 squares;
        squares.sum.limbs = limbs_of(s2);
        for (bool binary32 : {false, true}) {
          const auto v = narrow_spread(SumF64{}, squares, n, 0.0, false, binary32);
          CHECK(v.has_value());
          if (v) CHECK_EQ(bits(*v), bits(slow_spread(0, s2, n, 0.0, false, binary32)));
        }
      }
}

// The cases the fixed-width path leaves to big integers.
TEST(narrow_declines_what_it_cannot_answer) {
  MomentsF64 m;
  for (double x : {1.5, -2.25, 3.0}) m.add(x);
  CHECK(narrow_spread(m.sum_x, m.sum_xx, 3, 0.5, false).has_value() == false);
  CHECK(narrow_spread(m.sum_x, m.sum_xx, 3, 3.0, false).has_value() == false);
  CHECK(narrow_spread(m.sum_x, m.sum_xx, ~uint64_t{0}, 1.0, false).has_value() == false);
  CHECK(narrow_mean(m.sum_x, 0).has_value() == false);
  MomentsF64 wide = m;
  wide.add(0x1p600);
  wide.add(0x1p-600);
  CHECK(narrow_spread(wide.sum_x, wide.sum_xx, 5, 0.0, false).has_value() == false);
  MomentsF64 flagged = m;
  flagged.add(INFINITY);
  CHECK(narrow_mean(flagged.sum_x, 4).has_value() == false);
  // A forged state whose spread is negative: no root.
  CHECK(narrow_spread(m.sum_x, DotF64{}, 3, 0.0, true).has_value() == false);
}

// The queries answer as the big integers do, through either path.
TEST(moment_queries_match_big_integers) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  for (int binades : {0, 10, 40, 300, 900}) {
    MomentsF64 m;
    for (int i = 0; i < 10; ++i)
      m.add(std::ldexp(normal(rng), static_cast<int>(rng() % (binades + 1)) - binades / 2));
    const CentredSquares c = m.a2().value();
    const BigInt n = from_u64(c.n);
    CHECK_EQ(bits(m.try_variance().value()), bits(round_rational(c.a2, n * n * unit_pow(2))));
    CHECK_EQ(bits(m.try_sample_variance().value()),
             bits(round_rational(c.a2, n * (n - 1) * unit_pow(2))));
    const BigInt s1 = twos_complement(m.sum_x.limbs);
    CHECK_EQ(bits(m.try_mean().value()), bits(slow_mean(s1, c.n, false)));
    const ScaledMoments part{&m.sum_x, &m.sum_xx, 0};
    for (double ddof : {0.0, 1.0, 0.5, -1.0})
      for (Precision p : {Precision::Binary64, Precision::Binary32}) {
        const double std = moment_answer({&part, 1}, MomentAnswer::Std, ddof, 0, p).value();
        const double var = moment_answer({&part, 1}, MomentAnswer::Var, ddof, 2, p).value();
        if (ddof == 0.5) continue;  // the big-integer path alone answers it
        const bool b32 = p == Precision::Binary32;
        CHECK_EQ(bits(std),
                 bits(slow_spread(s1, twos_complement(m.sum_xx.sum.limbs), c.n, ddof, true, b32)));
        CHECK_EQ(bits(var), bits(slow_spread(s1, twos_complement(m.sum_xx.sum.limbs), c.n - 2, ddof,
                                             false, b32)));
      }
  }
}

TEST(covariance_queries_match_big_integers) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  for (int binades : {0, 20, 300}) {
    CovF64 c;
    for (int i = 0; i < 9; ++i) {
      const double x = std::ldexp(normal(rng), static_cast<int>(rng() % (binades + 1)));
      c.add(x, std::ldexp(-x + normal(rng), static_cast<int>(rng() % (binades + 1))));
    }
    const CovF64::Terms t = c.b_terms().value();
    const BigInt n = from_u64(t.n);
    CHECK_EQ(bits(c.try_covariance().value()), bits(round_rational(t.cxy, n * n * unit_pow(2))));
    const ScaledCov part{&c, 0, 0};
    const BigInt d = n * (n - 1) * unit_pow(2);
    CHECK_EQ(bits(pair_answer({&part, 1}, PairAnswer::Cov, 1.0).value()),
             bits(round_rational(t.cxy, d)));
    CHECK_EQ(bits(pair_answer({&part, 1}, PairAnswer::VarX, 1.0).value()),
             bits(round_rational(t.cxx, d)));
    CHECK_EQ(bits(pair_answer({&part, 1}, PairAnswer::VarY, 1.0).value()),
             bits(round_rational(t.cyy, d)));
  }
}

TEST(weighted_queries_match_big_integers) {
  std::mt19937_64 rng(17);
  std::normal_distribution<double> normal;
  int narrow = 0;
  for (int kind = 0; kind < 4; ++kind)
    for (int trial = 0; trial < 50; ++trial) {
      WeightedMomentsF64 m;
      for (int i = 0; i < 12; ++i) {
        const double w = kind == 0   ? static_cast<double>(rng() % 9 + 1)  // counts
                         : kind == 1 ? std::ldexp(static_cast<double>(rng() % 64 + 1), -3)
                         : kind == 2 ? std::fabs(normal(rng))    // too wide for the variance
                                     : -std::fabs(normal(rng));  // degenerate: no answer
        m.add(std::ldexp(normal(rng), static_cast<int>(rng() % 30)), w);
      }
      const auto s = m.ints().value();
      narrow += narrow_weighted_mean(m.sum_w, m.sum_wx, m.sum_wxx).has_value();
      narrow += narrow_weighted_variance(m.sum_w, m.sum_wx, m.sum_wxx).has_value();
      if (sgn(s.w) <= 0) {
        CHECK(!m.try_mean().ok() && !m.try_variance().ok());
        continue;
      }
      CHECK_EQ(bits(m.try_mean().value()), bits(round_rational(s.wx, s.w)));
      CHECK_EQ(bits(m.try_variance().value()),
               bits(round_rational(s.w * s.wxx - s.wx * s.wx, s.w * s.w)));
    }
  CHECK(narrow > 150);  // both queries, for counts and dyadic weights at least
}

}  // namespace
