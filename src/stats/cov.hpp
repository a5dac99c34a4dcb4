// Bivariate covariance: five exact sums of x, y, x², y² and xy, from which
// covariance, correlation and the least-squares line are rounded once.
#pragma once

#include <cstdint>

#include "../acc.hpp"
#include "../dot.hpp"
#include "rational.hpp"

namespace tallix {

inline constexpr size_t kCovBytes = 2 * kSumBytes + 3 * kDotBytes;  // 1408

struct CovF64 {
  SumF64 sum_x;
  SumF64 sum_y;
  DotF64 sum_xx;
  DotF64 sum_yy;
  DotF64 sum_xy;

  static auto fields(auto& s) { return std::tie(s.sum_x, s.sum_y, s.sum_xx, s.sum_yy, s.sum_xy); }

  // The centred co-moments n·Σab − Σa·Σb for ab = xy, xx and yy (units of
  // 2^-2148), the plain sums Σx and Σy (units of 2^-1074), and n.
  struct Terms {
    BigInt cxy, cxx, cyy;
    BigInt sx, sy;
    uint64_t n;
  };

  void add(double x, double y) noexcept;
  // The add loop over the pairs through the feeders: the same bytes, far
  // faster. Unequal lengths are refused before anything changes.
  Status extend(std::span<const double> xs, std::span<const double> ys) noexcept;
  void merge(const CovF64& other) noexcept { merge_fields(*this, other); }
  uint64_t counted() const noexcept { return sum_x.count; }

  Result<Terms> b_terms() const;
  Result<double> try_covariance() const;
  Result<double> try_slope() const;
  Result<double> try_intercept() const;
  Result<double> try_r_squared() const;
  Result<double> try_correlation() const;

  void encode_into(ByteWriter& w) const { encode_fields(w, *this); }
  Bytes to_bytes() const { return encode(*this); }
  static bool decode_from(ByteReader& r, CovF64& out) { return decode_fields(r, out); }
  static Result<CovF64> from_bytes(ByteView b);
};

}  // namespace tallix
