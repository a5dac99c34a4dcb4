// Exact dot product: each product enters an exact sum as its rounded value
// plus its exact fma error, so the total is rounded once.
#pragma once

#include <cstdint>
#include <span>

#include "acc.hpp"

namespace tallix {

inline constexpr size_t kDotBytes = 282;

struct DotF64 {
  SumF64 sum;
  bool exactness_lost = false;  // sticky (merge.hpp)

  static auto fields(auto& s) { return std::tie(s.sum, s.exactness_lost); }

  void push(double a, double b) noexcept;
  // push(xs[i], ys[i]) for every i through the banked adder: the same bytes,
  // far faster. Unequal lengths are refused before anything changes.
  Status extend(std::span<const double> xs, std::span<const double> ys) noexcept;
  void merge(const DotF64& other) noexcept { merge_fields(*this, other); }
  Result<double> try_value() const noexcept;

  void encode_into(ByteWriter& w) const { encode_fields(w, *this); }
  Bytes to_bytes() const { return encode(*this); }
  static bool decode_from(ByteReader& r, DotF64& out) { return decode_fields(r, out); }
  static Result<DotF64> from_bytes(ByteView b);
};

// One-shot exact dot product of two equal-length sequences.
Result<double> dot(std::span<const double> xs, std::span<const double> ys) noexcept;
// The same from a loop of single pushes: the reference the batch path
// must match byte for byte.
Result<double> dot_reference(std::span<const double> xs, std::span<const double> ys) noexcept;

}  // namespace tallix
