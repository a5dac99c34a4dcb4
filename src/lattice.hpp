// Total-order extrema of binary64 values.
#pragma once

#include <cstdint>
#include <span>

#include "binary64.hpp"
#include "error.hpp"
#include "merge.hpp"

namespace tallix {

inline constexpr size_t kExtremaBytes = 25;

struct ExtremaF64 {
  double min = 0.0;  // +0.0 while nothing non-NaN has been seen
  double max = 0.0;
  uint64_t count = 0;
  bool nan = false;
  bool seen = false;

  void add(double x) noexcept;
  // The add loop over xs: one pass over the keys, one update at the end.
  void extend(std::span<const double> xs) noexcept;
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
