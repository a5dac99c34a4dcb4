// MomentsF64: mean and variances rounded once from the exact Σx and Σx², and
// the batch update through the feeders.
#include "moments.hpp"

#include <cmath>

#include "feeders.hpp"
#include "narrow.hpp"

namespace tallix {

Result<CentredSquares> MomentsF64::a2() const {
  uint64_t n = sum_x.count;
  if (n == 0) return StatsError::Empty;
  auto s = read_exact(sum_x, sum_xx);
  if (!s.ok()) return s.failure();
  const auto& [s1, s2] = s.value();
  BigInt a2 = BigInt(from_u64(n) * s2) << 1074;
  a2 -= s1 * s1;
  return CentredSquares{std::move(a2), n};
}

Result<double> MomentsF64::try_mean() const { return exact_mean(sum_x); }

Result<double> MomentsF64::try_variance() const {
  if (auto v = narrow_spread(sum_x, sum_xx, sum_x.count, 0.0, false)) return *v;
  return exact_query(*this, &MomentsF64::a2, [](const CentredSquares& v) -> Result<double> {
    BigInt n = from_u64(v.n);
    return round_rational(v.a2, n * n * unit_pow(2));
  });
}

Result<double> MomentsF64::try_sample_variance() const {
  if (sum_x.count >= 2)
    if (auto v = narrow_spread(sum_x, sum_xx, sum_x.count, 1.0, false)) return *v;
  return exact_query(*this, &MomentsF64::a2, [](const CentredSquares& v) -> Result<double> {
    uint64_t n = v.n;
    if (n < 2) return StatsError::Empty;
    return round_rational(v.a2, from_u64(n) * from_u64(n - 1) * unit_pow(2));
  });
}

Result<double> MomentsF64::try_stddev() const {
  Result<double> v = try_variance();
  if (!v.ok()) return v;
  return std::sqrt(v.value());
}

Result<MomentsF64> MomentsF64::from_bytes(ByteView b) {
  return decode_fixed<MomentsF64>(b, kMomentsBytes);
}

void MomentsF64::extend(std::span<const double> xs) noexcept {
  // Whole spans, not feed chunks: a long run of squares can take the exact
  // pair path of the products (one row store per square where the processor
  // has it), and the values are read back from cache on the second pass.
  SumFeeder fed_x(sum_x);
  DotFeeder fed_xx(sum_xx);
  fed_x.add(xs.data(), xs.size());
  fed_xx.push(xs.data(), xs.data(), xs.size());
  finish(fed_x, fed_xx);
}

}  // namespace tallix
