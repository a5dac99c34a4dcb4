// CovF64: single and batch updates, and covariance, correlation and the
// least-squares line, each rounded once from the exact centred terms.
#include "cov.hpp"

#include <cmath>

#include "feeders.hpp"
#include "narrow.hpp"

namespace tallix {

void CovF64::add(double x, double y) noexcept {
  sum_x.add(x);
  sum_y.add(y);
  sum_xx.push(x, x);
  sum_yy.push(y, y);
  sum_xy.push(x, y);
}

Result<CovF64::Terms> CovF64::b_terms() const {
  const uint64_t n = sum_x.count;
  if (n == 0) return StatsError::Empty;
  auto sums = read_exact(sum_x, sum_y, sum_xx, sum_yy, sum_xy);
  if (!sums.ok()) return sums.failure();
  const auto& [sx, sy, sxx, syy, sxy] = sums.value();
  const BigInt nn = from_u64(n);
  Terms t;
  t.cxy = ((nn * sxy) << 1074) - sx * sy;
  t.cxx = ((nn * sxx) << 1074) - sx * sx;
  t.cyy = ((nn * syy) << 1074) - sy * sy;
  t.sx = sx;
  t.sy = sy;
  t.n = n;
  return t;
}

Result<double> CovF64::try_covariance() const {
  // The big-integer path reads all five sums first: its failures come first.
  const auto readable = [](const DotF64& d) { return !d.exactness_lost && d.sum.finite(); };
  if (readable(sum_xx) && readable(sum_yy))
    if (auto v = narrow_centred(sum_x, sum_y, sum_xy, sum_x.count, 0.0, false)) return *v;
  return exact_query(*this, &CovF64::b_terms, [](const Terms& v) -> Result<double> {
    const BigInt nn = from_u64(v.n);
    return round_rational(v.cxy, nn * nn * unit_pow(2));
  });
}

Result<double> CovF64::try_slope() const {
  return exact_query(*this, &CovF64::b_terms, [](const Terms& v) -> Result<double> {
    if (v.cxx == 0) return StatsError::Degenerate;
    return round_rational(v.cxy, v.cxx);
  });
}

Result<double> CovF64::try_intercept() const {
  return exact_query(*this, &CovF64::b_terms, [](const Terms& v) -> Result<double> {
    if (v.cxx == 0) return StatsError::Degenerate;
    const BigInt num = v.sy * v.cxx - v.sx * v.cxy;
    const BigInt den = (from_u64(v.n) * v.cxx) << 1074;
    return round_rational(num, den);
  });
}

Result<double> CovF64::try_r_squared() const {
  return exact_query(*this, &CovF64::b_terms, [](const Terms& v) -> Result<double> {
    const BigInt den = v.cxx * v.cyy;
    if (den == 0) return StatsError::Degenerate;
    return round_rational(v.cxy * v.cxy, den);
  });
}

Result<double> CovF64::try_correlation() const {
  return exact_query(*this, &CovF64::b_terms, [](const Terms& v) -> Result<double> {
    const BigInt den = v.cxx * v.cyy;
    if (den == 0) return StatsError::Degenerate;
    // Rounded twice on purpose (r² first, then the square root): the
    // result stays reproducible and cheap.
    const double r = std::sqrt(round_rational(v.cxy * v.cxy, den));
    return sgn(v.cxy) < 0 ? -r : r;
  });
}

Result<CovF64> CovF64::from_bytes(ByteView b) { return decode_fixed<CovF64>(b, kCovBytes); }

Status CovF64::extend(std::span<const double> xs, std::span<const double> ys) noexcept {
  if (xs.size() != ys.size()) return Rejection{"xs and ys must have the same length"};
  // Whole spans, as MomentsF64::extend does: long runs of products take the
  // exact pair path where the processor has it.
  const double *x = xs.data(), *y = ys.data();
  const size_t n = xs.size();
  SumFeeder fed_x(sum_x), fed_y(sum_y);
  DotFeeder fed_xx(sum_xx), fed_yy(sum_yy), fed_xy(sum_xy);
  fed_x.add(x, n);
  fed_y.add(y, n);
  fed_xx.push(x, x, n);
  fed_yy.push(y, y, n);
  fed_xy.push(x, y, n);
  finish(fed_x, fed_y, fed_xx, fed_yy, fed_xy);
  return {};
}

}  // namespace tallix
