#include "dot.hpp"

#include <bit>

#include "binary64.hpp"

namespace tallix {

namespace {

constexpr uint64_t kAbsMask = 0x7FFFFFFFFFFFFFFF;
constexpr uint64_t kInfBits = 0x7FF0000000000000;

inline uint64_t abs_bits(double x) noexcept { return std::bit_cast<uint64_t>(x) & kAbsMask; }

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

Status DotF64::extend_from_slices(std::span<const double> xs, std::span<const double> ys) noexcept {
  if (xs.size() != ys.size())
    return UsageFailure{"dot product requires equal-length slices", xs.size(), ys.size()};
  for (size_t i = 0; i < xs.size(); ++i) push(xs[i], ys[i]);
  return {};
}

void DotF64::merge(const DotF64& other) noexcept {
  sum.merge(other.sum);
  exactness_lost |= other.exactness_lost;
}

Result<double> DotF64::try_value() const noexcept {
  if (exactness_lost) return DotError::ExactnessLost;
  return sum.value();
}

void DotF64::encode_into(ByteWriter& w) const {
  sum.encode_into(w);
  w.u8(exactness_lost ? 1 : 0);
}

bool DotF64::decode_from(ByteReader& r, DotF64& out) {
  SumF64::decode_from(r, out.sum);
  out.exactness_lost = r.boolean();
  return r.ok;
}

Result<DotF64> DotF64::from_bytes(ByteView b) { return decode_fixed<DotF64>(b, kDotBytes); }

Result<double> dot(std::span<const double> xs, std::span<const double> ys) noexcept {
  DotF64 d;
  Status s = d.extend_from_slices(xs, ys);
  if (!s.ok()) return s.failure();
  return d.try_value();
}

}  // namespace tallix
