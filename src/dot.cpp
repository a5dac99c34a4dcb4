// DotF64: each product's rounded value and exact fma error, pushed one pair
// at a time or a batch at once through the banked adder; the one-shot dot.
#include "dot.hpp"

#include <bit>

#include "binary64.hpp"
#include "kernels/banked_adder.hpp"
#include "kernels/fma.hpp"

namespace tallix {

namespace {

UsageFailure unequal_lengths(size_t xs, size_t ys) noexcept {
  return UsageFailure{"dot product requires equal-length slices", xs, ys};
}

}  // namespace

void DotF64::push(double a, double b) noexcept {
  double p = a * b;
  double e = fma_exact(a, b, -p);
  if (abs_bits(p) == kInfBits) {
    // The error term of an overflowed product is meaningless; count it anyway
    // so every product advances the count by two.
    sum.add(p);
    sum.count = saturating_add(sum.count, 1);
    return;
  }
  exactness_lost |= split_loses_exactness(a, b, p);
  sum.add(p);
  sum.add(e);
}

Status DotF64::extend(std::span<const double> xs, std::span<const double> ys) noexcept {
  if (xs.size() != ys.size()) return unequal_lengths(xs.size(), ys.size());
  BankedAdder adder(sum);
  bool lost = adder.add_products(xs.data(), ys.data(), xs.size());
  adder.finish();
  exactness_lost |= lost;
  sum.count = add_count(sum.count, xs.size(), 2);
  return {};
}

Result<double> DotF64::try_value() const noexcept {
  if (exactness_lost) return DotError::ExactnessLost;
  return sum.value();
}

Result<DotF64> DotF64::from_bytes(ByteView b) { return decode_fixed<DotF64>(b, kDotBytes); }

Result<double> dot(std::span<const double> xs, std::span<const double> ys) noexcept {
  DotF64 d;
  Status s = d.extend(xs, ys);
  if (!s.ok()) return s.failure();
  return d.try_value();
}

Result<double> dot_reference(std::span<const double> xs, std::span<const double> ys) noexcept {
  if (xs.size() != ys.size()) return unequal_lengths(xs.size(), ys.size());
  DotF64 d;
  for (size_t i = 0; i < xs.size(); ++i) d.push(xs[i], ys[i]);
  return d.try_value();
}

}  // namespace tallix
