#include "cov.hpp"

#include <cmath>

#include "kernels/feeders.hpp"

namespace tallix {

void CovF64::add(double x, double y) noexcept {
  sum_x.add(x);
  sum_y.add(y);
  sum_xx.push(x, x);
  sum_yy.push(y, y);
  sum_xy.push(x, y);
}

void CovF64::merge(const CovF64& other) noexcept {
  sum_x.merge(other.sum_x);
  sum_y.merge(other.sum_y);
  sum_xx.merge(other.sum_xx);
  sum_yy.merge(other.sum_yy);
  sum_xy.merge(other.sum_xy);
}

Result<CovF64::Terms> CovF64::b_terms() const {
  const uint64_t n = sum_x.count;
  if (n == 0) return StatsError::Empty;
  Result<BigInt> sx = sum_int(sum_x);
  if (!sx.ok()) return sx.failure();
  Result<BigInt> sy = sum_int(sum_y);
  if (!sy.ok()) return sy.failure();
  Result<BigInt> sxx = dot_int(sum_xx);
  if (!sxx.ok()) return sxx.failure();
  Result<BigInt> syy = dot_int(sum_yy);
  if (!syy.ok()) return syy.failure();
  Result<BigInt> sxy = dot_int(sum_xy);
  if (!sxy.ok()) return sxy.failure();
  const BigInt nn = from_u64(n);
  Terms t;
  t.cxy = ((nn * sxy.value()) << 1074) - sx.value() * sy.value();
  t.cxx = ((nn * sxx.value()) << 1074) - sx.value() * sx.value();
  t.cyy = ((nn * syy.value()) << 1074) - sy.value() * sy.value();
  t.n = n;
  return t;
}

Result<double> CovF64::try_covariance() const {
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  Result<Terms> t = b_terms();
  if (!t.ok()) return t.failure();
  const BigInt nn = from_u64(t.value().n);
  return round_rational(t.value().cxy, nn * nn * unit_pow(2));
}

Result<double> CovF64::try_slope() const {
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  Result<Terms> t = b_terms();
  if (!t.ok()) return t.failure();
  if (t.value().cxx == 0) return StatsError::Degenerate;
  return round_rational(t.value().cxy, t.value().cxx);
}

Result<double> CovF64::try_intercept() const {
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  Result<Terms> t = b_terms();
  if (!t.ok()) return t.failure();
  const Terms& v = t.value();
  if (v.cxx == 0) return StatsError::Degenerate;
  // b_terms already checked both sums, so these reads cannot fail.
  Result<BigInt> sx = sum_int(sum_x);
  Result<BigInt> sy = sum_int(sum_y);
  if (!sx.ok()) return sx.failure();
  if (!sy.ok()) return sy.failure();
  const BigInt num = sy.value() * v.cxx - sx.value() * v.cxy;
  const BigInt den = (from_u64(v.n) * v.cxx) << 1074;
  return round_rational(num, den);
}

Result<double> CovF64::try_r_squared() const {
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  Result<Terms> t = b_terms();
  if (!t.ok()) return t.failure();
  const Terms& v = t.value();
  const BigInt den = v.cxx * v.cyy;
  if (den == 0) return StatsError::Degenerate;
  return round_rational(v.cxy * v.cxy, den);
}

Result<double> CovF64::try_correlation() const {
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  Result<Terms> t = b_terms();
  if (!t.ok()) return t.failure();
  const Terms& v = t.value();
  const BigInt den = v.cxx * v.cyy;
  if (den == 0) return StatsError::Degenerate;
  // Rounded twice on purpose (r² first, then the square root): the
  // result stays reproducible and cheap.
  const double r = std::sqrt(round_rational(v.cxy * v.cxy, den));
  return sgn(v.cxy) < 0 ? -r : r;
}

void CovF64::encode_into(ByteWriter& w) const {
  sum_x.encode_into(w);
  sum_y.encode_into(w);
  sum_xx.encode_into(w);
  sum_yy.encode_into(w);
  sum_xy.encode_into(w);
}

bool CovF64::decode_from(ByteReader& r, CovF64& s) {
  return SumF64::decode_from(r, s.sum_x) && SumF64::decode_from(r, s.sum_y) &&
         DotF64::decode_from(r, s.sum_xx) && DotF64::decode_from(r, s.sum_yy) &&
         DotF64::decode_from(r, s.sum_xy);
}

Result<CovF64> CovF64::from_bytes(ByteView b) { return decode_fixed<CovF64>(b, kCovBytes); }

Status CovF64::extend(std::span<const double> xs, std::span<const double> ys) noexcept {
  if (xs.size() != ys.size()) return Rejection{"xs and ys must have the same length"};
  SumFeeder fed_x(sum_x), fed_y(sum_y);
  DotFeeder fed_xx(sum_xx), fed_yy(sum_yy), fed_xy(sum_xy);
  by_feed_chunks(xs.size(), [&](size_t at, size_t n) {
    const double* x = xs.data() + at;
    const double* y = ys.data() + at;
    fed_x.add(x, n);
    fed_y.add(y, n);
    fed_xx.push(x, x, n);
    fed_yy.push(y, y, n);
    fed_xy.push(x, y, n);
  });
  fed_x.finish();
  fed_y.finish();
  fed_xx.finish();
  fed_yy.finish();
  fed_xy.finish();
  return {};
}

}  // namespace tallix
