// Moments with removal: everything added and everything removed are kept in
// two ordinary moment states, and queries read their exact difference, so
// updates stay commutative and mergeable.
#pragma once

#include <cstdint>

#include "moments.hpp"

namespace tallix {

inline constexpr size_t kPnMomentsBytes = 2 * kMomentsBytes;

// Net sums (units of 2^-1074) of the live values and their number.
struct NetSums {
  BigInt d1;
  BigInt d2;
  uint64_t live;
};

struct PnMomentsF64 {
  MomentsF64 pos;
  MomentsF64 neg;

  static auto fields(auto& s) { return std::tie(s.pos, s.neg); }

  void add(double x) noexcept { pos.add(x); }
  void extend(std::span<const double> xs) noexcept;
  void remove(double x) noexcept { neg.add(x); }
  void merge(const PnMomentsF64& other) noexcept { merge_fields(*this, other); }
  // Values added minus values removed; undefined when more were removed.
  Result<uint64_t> live_count() const noexcept;

  Result<NetSums> net() const;
  Result<double> try_mean() const;
  Result<double> try_variance() const;

  void encode_into(ByteWriter& w) const { encode_fields(w, *this); }
  Bytes to_bytes() const { return encode(*this); }
  static bool decode_from(ByteReader& r, PnMomentsF64& out) { return decode_fields(r, out); }
  static Result<PnMomentsF64> from_bytes(ByteView b);
};

}  // namespace tallix
