// Moments4F64: each square split exactly, the third and fourth powers built
// from its parts, and skewness and kurtosis rounded once.
#include "moments4.hpp"

#include <cmath>

#include "../binary64.hpp"
#include "../kernels/fma.hpp"
#include "feeders.hpp"

namespace tallix {

void Moments4F64::add(double x) noexcept {
  double p = x * x;
  double e = fma_exact(x, x, -p);  // NaN for infinite x, as IEEE fma gives
  sum_x.add(x);
  sum_xx.push(x, x);
  // The cubes and fourth powers are built from p + e, which must be x^2.
  square_underflow |= split_loses_exactness(x, x, p);
  sum_x3.push(x, p);
  sum_x3.push(x, e);
  sum_x4.push(p, p);
  sum_x4.push(p, e);
  sum_x4.push(p, e);
  sum_x4.push(e, e);
}

Result<CentredPowers> Moments4F64::a234() const {
  uint64_t n = sum_x.count;
  if (n == 0) return StatsError::Empty;
  if (square_underflow) return StatsError::ExactnessLost;
  auto sums = read_exact(sum_x, sum_xx, sum_x3, sum_x4);
  if (!sums.ok()) return sums.failure();
  const auto& [s1, s2, s3, s4] = sums.value();
  BigInt bn = from_u64(n);
  BigInt s1_sq = s1 * s1;
  BigInt a2 = BigInt(bn * s2 << 1074) - s1_sq;
  BigInt a3 = BigInt(bn * bn * s3 << 2148) - BigInt(3 * bn * s1 * s2 << 1074) + 2 * s1_sq * s1;
  BigInt a4 = BigInt(bn * bn * bn * s4 << 3222) - BigInt(4 * bn * bn * s1 * s3 << 2148) +
              BigInt(6 * bn * s1_sq * s2 << 1074) - 3 * s1_sq * s1_sq;
  return CentredPowers{std::move(a2), std::move(a3), std::move(a4), n};
}

Result<double> Moments4F64::try_mean() const { return exact_mean(sum_x); }

Result<double> Moments4F64::try_variance() const {
  return exact_query(*this, &Moments4F64::a234, [](const CentredPowers& m) -> Result<double> {
    BigInt n = from_u64(m.n);
    return round_rational(m.a2, n * n * unit_pow(2));
  });
}

Result<double> Moments4F64::try_skewness_squared() const {
  return exact_query(*this, &Moments4F64::a234, [](const CentredPowers& m) -> Result<double> {
    if (sgn(m.a2) == 0) return StatsError::Degenerate;
    double v = round_rational(m.a3 * m.a3, m.a2 * m.a2 * m.a2);
    return sgn(m.a3) < 0 ? -v : v;
  });
}

Result<double> Moments4F64::try_skewness() const {
  Result<double> s = try_skewness_squared();
  if (!s.ok()) return s;
  double v = s.value();
  return v < 0 ? -std::sqrt(-v) : std::sqrt(v);
}

Result<double> Moments4F64::try_kurtosis() const {
  return exact_query(*this, &Moments4F64::a234, [](const CentredPowers& m) -> Result<double> {
    if (sgn(m.a2) == 0) return StatsError::Degenerate;
    return round_rational(m.a4, m.a2 * m.a2);
  });
}

Result<double> Moments4F64::try_excess_kurtosis() const {
  return exact_query(*this, &Moments4F64::a234, [](const CentredPowers& m) -> Result<double> {
    if (sgn(m.a2) == 0) return StatsError::Degenerate;
    BigInt a2_sq = m.a2 * m.a2;
    return round_rational(m.a4 - 3 * a2_sq, a2_sq);
  });
}

Result<Moments4F64> Moments4F64::from_bytes(ByteView b) {
  return decode_fixed<Moments4F64>(b, kMoments4Bytes);
}

void Moments4F64::extend(std::span<const double> xs) noexcept {
  SumFeeder fed_x(sum_x);
  DotFeeder fed_xx(sum_xx), fed_x3(sum_x3), fed_x4(sum_x4);
  bool underflow = by_square_chunks(xs, [&](size_t at, size_t n, const double* p, const double* e) {
    const double* x = xs.data() + at;
    fed_x.add(x, n);
    fed_xx.push(x, x, n);
    fed_x3.push(x, p, n);
    fed_x3.push(x, e, n);
    fed_x4.push(p, p, n);
    fed_x4.push(p, e, n, 2);
    fed_x4.push(e, e, n);
  });
  finish(fed_x, fed_xx, fed_x3, fed_x4);
  square_underflow |= underflow;
}

}  // namespace tallix
