// Exact moments up to the fourth power. Each square is split into its
// rounded value p and exact error e, so x^3 = x*p + x*e and
// x^4 = p*p + 2*p*e + e*e enter exact product accumulators without loss.
#pragma once

#include <cstdint>

#include "../acc.hpp"
#include "../dot.hpp"
#include "rational.hpp"

namespace tallix {

inline constexpr size_t kMoments4Bytes = 1128;

// n^k times the k-th central moment for k = 2, 3, 4 (units 2^-2148,
// 2^-3222, 2^-4296), with n.
struct CentredPowers {
  BigInt a2;
  BigInt a3;
  BigInt a4;
  uint64_t n;
};

struct Moments4F64 {
  SumF64 sum_x;
  DotF64 sum_xx;
  DotF64 sum_x3;
  DotF64 sum_x4;
  // Some x had p + e miss bits of x·x (the cubes and fourth powers are built
  // from them); sticky, so a merge ORs it and the form ends with its truth byte.
  bool square_underflow = false;

  static auto fields(auto& s) {
    return std::tie(s.sum_x, s.sum_xx, s.sum_x3, s.sum_x4, s.square_underflow);
  }

  void add(double x) noexcept;
  // The add loop over xs through the feeders: the same bytes, far faster.
  void extend(std::span<const double> xs) noexcept;
  void merge(const Moments4F64& other) noexcept { merge_fields(*this, other); }
  uint64_t counted() const noexcept { return sum_x.count; }

  Result<CentredPowers> a234() const;
  Result<double> try_mean() const;
  Result<double> try_variance() const;
  Result<double> try_skewness_squared() const;
  Result<double> try_skewness() const;
  Result<double> try_kurtosis() const;
  Result<double> try_excess_kurtosis() const;

  void encode_into(ByteWriter& w) const { encode_fields(w, *this); }
  Bytes to_bytes() const { return encode(*this); }
  static bool decode_from(ByteReader& r, Moments4F64& out) { return decode_fields(r, out); }
  static Result<Moments4F64> from_bytes(ByteView b);
};

}  // namespace tallix
