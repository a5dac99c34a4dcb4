// Exact count, mean and variance: the exact sum of the values and the exact
// sum of their squares, every query rounded once from an exact rational.
#pragma once

#include <cstdint>
#include <span>

#include "../acc.hpp"
#include "../dot.hpp"
#include "rational.hpp"

namespace tallix {

inline constexpr size_t kMomentsBytes = 563;

// n^2 times the population variance, in units of 2^-2148, with its n.
struct CentredSquares {
  BigInt a2;
  uint64_t n;
};

struct MomentsF64 {
  SumF64 sum_x;
  DotF64 sum_xx;

  static auto fields(auto& s) { return std::tie(s.sum_x, s.sum_xx); }

  void add(double x) noexcept {
    sum_x.add(x);
    sum_xx.push(x, x);
  }
  // The add loop over xs through the feeders: the same bytes, far faster.
  void extend(std::span<const double> xs) noexcept;
  void merge(const MomentsF64& other) noexcept { merge_fields(*this, other); }
  uint64_t counted() const noexcept { return sum_x.count; }

  Result<CentredSquares> a2() const;
  Result<double> try_mean() const;
  Result<double> try_variance() const;
  Result<double> try_sample_variance() const;
  Result<double> try_stddev() const;

  void encode_into(ByteWriter& w) const { encode_fields(w, *this); }
  Bytes to_bytes() const { return encode(*this); }
  static bool decode_from(ByteReader& r, MomentsF64& out) { return decode_fields(r, out); }
  static Result<MomentsF64> from_bytes(ByteView b);
};

}  // namespace tallix
