// Weighted moments: exact Σw, Σw·x and Σw·x², with x² split exactly into two
// binary64 parts so that w·x² enters as two exact products.
#pragma once

#include <cstdint>

#include "../acc.hpp"
#include "../dot.hpp"
#include "rational.hpp"

namespace tallix {

inline constexpr size_t kWeightedBytes = kSumBytes + 2 * kDotBytes + 1;  // 846

struct WeightedMomentsF64 {
  SumF64 sum_w;
  DotF64 sum_wx;
  DotF64 sum_wxx;
  // Some x ≠ 0 had x·x below the normal range, so hi + lo may miss bits;
  // sticky, so a merge ORs it and the form ends with its truth byte.
  bool square_underflow = false;

  static auto fields(auto& s) { return std::tie(s.sum_w, s.sum_wx, s.sum_wxx, s.square_underflow); }

  struct Ints {
    BigInt w, wx, wxx;
  };

  void add(double x, double w) noexcept;
  // The add loop over the pairs through the feeders: the same bytes, far
  // faster. Unequal lengths are refused before anything changes.
  Status extend(std::span<const double> xs, std::span<const double> ws) noexcept;
  void merge(const WeightedMomentsF64& other) noexcept { merge_fields(*this, other); }
  uint64_t counted() const noexcept { return sum_w.count; }

  Result<Ints> ints() const;
  Result<double> try_mean() const;
  Result<double> try_variance() const;

  void encode_into(ByteWriter& w) const { encode_fields(w, *this); }
  Bytes to_bytes() const { return encode(*this); }
  static bool decode_from(ByteReader& r, WeightedMomentsF64& out) { return decode_fields(r, out); }
  static Result<WeightedMomentsF64> from_bytes(ByteView b);
};

}  // namespace tallix
