// Total-order extrema of binary64 values, and the total-order key shared
// with the histogram.
#pragma once

#include <bit>
#include <cstdint>

#include "error.hpp"
#include "merge.hpp"

namespace tallix {

// IEEE 754 totalOrder as one signed integer per bit pattern: numeric order
// for non-NaN values, with -0.0 strictly below +0.0.
inline int64_t order_key(double x) noexcept {
  int64_t k = std::bit_cast<int64_t>(x);
  // Negative patterns grow with magnitude; flipping their low 63 bits turns
  // them into keys that shrink with magnitude, all below the non-negative ones.
  return k ^ ((k >> 63) & INT64_MAX);
}

inline bool is_nan(double x) noexcept {
  return (std::bit_cast<uint64_t>(x) & INT64_MAX) > 0x7FF0000000000000u;
}

inline constexpr size_t kExtremaBytes = 25;

struct ExtremaF64 {
  double min = 0.0;  // +0.0 while nothing non-NaN has been seen
  double max = 0.0;
  uint64_t count = 0;
  bool nan = false;
  bool seen = false;

  void add(double x) noexcept;
  // Exact and commutative: the state that all values of both would have built.
  void merge(const ExtremaF64& other) noexcept;
  uint64_t counted() const noexcept { return count; }
  Result<double> try_min() const noexcept;
  Result<double> try_max() const noexcept;
  Result<double> try_range() const noexcept;

  void encode_into(ByteWriter& w) const;
  Bytes to_bytes() const { return encode(*this); }
  static bool decode_from(ByteReader& r, ExtremaF64& out);
  static Result<ExtremaF64> from_bytes(ByteView b);
};

}  // namespace tallix
