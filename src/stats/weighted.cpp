// WeightedMomentsF64: the weighted mean and variance rounded once from the
// exact Σw, Σw·x and Σw·x².
#include "weighted.hpp"

#include <utility>

#include "../binary64.hpp"
#include "../kernels/fma.hpp"
#include "feeders.hpp"
#include "narrow.hpp"

namespace tallix {

void WeightedMomentsF64::add(double x, double w) noexcept {
  sum_w.add(w);
  sum_wx.push(x, w);
  const double hi = x * x;
  // The weighted squares are built from hi + lo, which must be x^2.
  if (split_loses_exactness(x, x, hi)) square_underflow = true;
  const double lo = fma_exact(x, x, -hi);
  sum_wxx.push(w, hi);
  sum_wxx.push(w, lo);
}

Result<WeightedMomentsF64::Ints> WeightedMomentsF64::ints() const {
  if (sum_w.count == 0) return StatsError::Empty;
  if (square_underflow) return StatsError::ExactnessLost;
  auto s = read_exact(sum_w, sum_wx, sum_wxx);
  if (!s.ok()) return s.failure();
  auto& [w, wx, wxx] = s.value();
  return Ints{std::move(w), std::move(wx), std::move(wxx)};
}

Result<double> WeightedMomentsF64::try_mean() const {
  if (sum_w.count != 0 && !square_underflow)
    if (auto v = narrow_weighted_mean(sum_w, sum_wx, sum_wxx)) return *v;
  return exact_query(*this, &WeightedMomentsF64::ints, [](const Ints& v) -> Result<double> {
    if (sgn(v.w) <= 0) return StatsError::Degenerate;
    return round_rational(v.wx, v.w);
  });
}

Result<double> WeightedMomentsF64::try_variance() const {
  if (sum_w.count != 0 && !square_underflow)
    if (auto v = narrow_weighted_variance(sum_w, sum_wx, sum_wxx)) return *v;
  return exact_query(*this, &WeightedMomentsF64::ints, [](const Ints& s) -> Result<double> {
    if (sgn(s.w) <= 0) return StatsError::Degenerate;
    // Negative weights can make the numerator negative; it is returned as is.
    return round_rational(s.w * s.wxx - s.wx * s.wx, s.w * s.w);
  });
}

Result<WeightedMomentsF64> WeightedMomentsF64::from_bytes(ByteView b) {
  return decode_fixed<WeightedMomentsF64>(b, kWeightedBytes);
}

Status WeightedMomentsF64::extend(std::span<const double> xs, std::span<const double> ws) noexcept {
  if (xs.size() != ws.size()) return Rejection{"xs and ws must have the same length"};
  SumFeeder fed_w(sum_w);
  DotFeeder fed_wx(sum_wx), fed_wxx(sum_wxx);
  bool underflow =
      by_square_chunks(xs, [&](size_t at, size_t n, const double* hi, const double* lo) {
        const double* x = xs.data() + at;
        const double* wt = ws.data() + at;
        fed_w.add(wt, n);
        fed_wx.push(x, wt, n);
        fed_wxx.push(wt, hi, n);
        fed_wxx.push(wt, lo, n);
      });
  finish(fed_w, fed_wx, fed_wxx);
  square_underflow |= underflow;
  return {};
}

}  // namespace tallix
