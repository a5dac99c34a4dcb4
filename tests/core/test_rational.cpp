// Exact rationals (stats/rational.hpp) against exact rational arithmetic.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "check.hpp"
#include "stats/rational.hpp"

namespace {

using namespace tallix;

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
BigInt pow2(unsigned k) { return BigInt(1) << k; }
uint64_t rr(const BigInt& a, const BigInt& b) { return bits(round_rational(a, b)); }

// |x| <= |y| for exact rationals.
mpq_class abs_q(const mpq_class& v) { return abs(v); }

// Whether r is the nearest binary64 to a/b, ties to even, with overflow to
// infinity and signed underflow to zero.
bool nearest(double r, const BigInt& a, const BigInt& b) {
  mpq_class x(a, b);
  x.canonicalize();
  if (sgn(x) == 0) return bits(r) == 0;
  if (std::signbit(r) != (sgn(x) < 0)) return false;
  mpq_class mag = abs_q(x);
  if (std::isinf(r)) {
    mpq_class limit(BigInt(pow2(1024) - pow2(970)));
    return mag >= limit;
  }
  double rm = std::fabs(r);
  mpq_class d = abs_q(mpq_class(rm) - mag);
  double below = std::nextafter(rm, 0.0), above = std::nextafter(rm, INFINITY);
  if (rm > 0 && d > abs_q(mpq_class(below) - mag)) return false;
  if (std::isinf(above)) {
    if (mag >= mpq_class(BigInt(pow2(1024) - pow2(970)))) return false;
  } else {
    mpq_class da = abs_q(mpq_class(above) - mag);
    if (d > da) return false;
    if (d == da && (bits(rm) & 1)) return false;  // a tie keeps the even neighbour
  }
  if (rm > 0 && d == abs_q(mpq_class(below) - mag) && (bits(rm) & 1)) return false;
  return true;
}

Limbs limbs_with(uint64_t fill, uint64_t top) {
  Limbs l;
  l.fill(fill);
  l[kLimbs - 1] = top;
  return l;
}

}  // namespace

TEST(round_rational_worked_cases) {
  CHECK_EQ(rr(1, 3), uint64_t{0x3FD5555555555555});
  CHECK_EQ(rr(-1, 3), uint64_t{0xBFD5555555555555});
  CHECK_EQ(rr(1, -3), uint64_t{0xBFD5555555555555});
  CHECK_EQ(rr(0, 7), uint64_t{0});
  CHECK_EQ(rr(0, -7), uint64_t{0});
  CHECK_EQ(round_rational(pow2(53) + 1, 1), 0x1p53);
  CHECK_EQ(round_rational(pow2(53) + 3, 1), 0x1p53 + 4);
  CHECK_EQ(rr(1, pow2(1074)), uint64_t{1});
  CHECK_EQ(rr(3, pow2(1076)), uint64_t{1});
  CHECK_EQ(rr(1, pow2(1075)), uint64_t{0});
  CHECK_EQ(rr(-1, pow2(1075)), bits(-0.0));
  CHECK_EQ(rr(pow2(53) - 1, pow2(1075)), uint64_t{0x0010000000000000});
  CHECK_EQ(rr(pow2(1024), 1), bits(INFINITY));
  CHECK_EQ(rr(-pow2(1024), 1), bits(-INFINITY));
  CHECK_EQ(rr(pow2(1024) - pow2(970), 1), bits(INFINITY));
  CHECK_EQ(rr(pow2(1024) - pow2(970) - 1, 1), uint64_t{0x7FEFFFFFFFFFFFFF});
}

TEST(round_rational_is_nearest_for_random_quotients) {
  gmp_randclass rng(gmp_randinit_default);
  rng.seed(12345);
  std::mt19937_64 g(99);
  int bad = 0;
  for (int i = 0; i < 20000; ++i) {
    // Sizes chosen so quotients span subnormals, normals and overflow.
    BigInt a = rng.get_z_bits(1 + g() % 2400), b = rng.get_z_bits(1 + g() % 2400);
    if (sgn(b) == 0) b = 1;
    if (g() & 1) a = -a;
    if (g() & 1) b = -b;
    if (!nearest(round_rational(a, b), a, b)) ++bad;
    // Exact halfway points between neighbours, in every range.
    BigInt m = rng.get_z_bits(54) | 1;
    unsigned shift = 1074 + static_cast<unsigned>(g() % 200) - 100;
    if (!nearest(round_rational(m, pow2(shift)), m, pow2(shift))) ++bad;
  }
  CHECK_EQ(bad, 0);
}

TEST(twos_complement_reads_sign_bit) {
  CHECK_EQ(twos_complement(Limbs{}), BigInt(0));
  CHECK_EQ(twos_complement(limbs_with(~uint64_t{0}, ~uint64_t{0})), BigInt(-1));
  CHECK_EQ(twos_complement(limbs_with(0, uint64_t{1} << 63)), BigInt(-pow2(2175)));
  CHECK_EQ(twos_complement(limbs_with(~uint64_t{0}, ~uint64_t{0} >> 1)), BigInt(pow2(2175) - 1));
  Limbs one{};
  one[0] = 1;
  CHECK_EQ(twos_complement(one), BigInt(1));
}

TEST(twos_complement_of_negation_is_negative) {
  std::mt19937_64 g(3);
  int bad = 0;
  for (int i = 0; i < 1000; ++i) {
    Limbs l;
    for (auto& w : l) w = g() % 4 == 0 ? 0 : g();
    if (l[kLimbs - 1] == uint64_t{1} << 63) continue;
    if (twos_complement(negate(l)) != -twos_complement(l)) ++bad;
  }
  CHECK_EQ(bad, 0);
}

TEST(unit_pow_and_from_u64) {
  CHECK_EQ(unit_pow(0), BigInt(1));
  CHECK_EQ(unit_pow(2), pow2(2148));
  CHECK_EQ(from_u64(UINT64_MAX), BigInt(pow2(64) - 1));
  CHECK_EQ(from_u64(0), BigInt(0));
}

TEST(accumulator_reads_check_flags_in_order) {
  DotF64 d;
  d.push(3.0, 4.0);
  CHECK(dot_int(d).ok() && dot_int(d).value() == BigInt(12) * unit_pow(1));
  d.sum.nan = true;
  CHECK(!dot_int(d).ok() && std::get<StatsError>(dot_int(d).failure()) == StatsError::NonFinite);
  d.exactness_lost = true;
  CHECK(std::get<StatsError>(dot_int(d).failure()) == StatsError::ExactnessLost);
  SumF64 s;
  s.add(-2.5);
  CHECK(sum_int(s).ok() && sum_int(s).value() == BigInt(-5) * unit_pow(1) / 2);
  s.neg_inf = true;
  CHECK(std::get<StatsError>(sum_int(s).failure()) == StatsError::NonFinite);
}
