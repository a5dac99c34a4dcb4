// The d-dimensional covariance state: exact sums of every feature and of y,
// and exact sums of every product x_i·x_j (i ≤ j) and x_i·y. States of one
// dimension merge and subtract exactly; queries solve the normal equations.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "acc.hpp"
#include "dot.hpp"
#include "observations.hpp"
#include "stats/rational.hpp"

namespace tallix {

// Square matrix of big integers, row-major as rows.
using BigMatrix = std::vector<std::vector<BigInt>>;

// Determinant by fraction-free elimination (every intermediate is an exact
// minor); `m` is at least 1 × 1 and is consumed.
BigInt bareiss_det(BigMatrix& m);

struct CovMatrixF64 {
  std::vector<SumF64> sums;      // d feature sums, then the sum of y
  std::vector<DotF64> products;  // upper triangle of x_i·x_j row by row, then x_i·y
  uint64_t d = 0;
  // Merged with a state of another dimension. Sticky, as truth values of
  // merge.hpp are, and also set by a merge across dimensions, which changes
  // nothing else.
  bool mismatched = false;

  // The form after the u32 dimension (byte form note 4).
  static auto fields(auto& s) { return std::tie(s.mismatched, s.sums, s.products); }

  // Refuses a dimension whose encoding would not decode again (d ≥ 2^32, or
  // a length beyond 64 bits); storage that cannot be reserved is bad_alloc.
  static Result<CovMatrixF64> create(uint64_t d);

  uint64_t counted() const noexcept { return sums.back().count; }
  uint64_t feature_products() const noexcept { return d * (d + 1) / 2; }
  // Index of x_i·x_j, i ≤ j, in `products`.
  uint64_t pair_index(uint64_t i, uint64_t j) const noexcept {
    return i * (2 * d - i + 1) / 2 + (j - i);
  }

  Status add(std::span<const double> x, double y) noexcept;
  // The add loop over the observations, one of d features per response.
  // Allocates its column buffer before changing anything (std::bad_alloc
  // may escape); mismatched lengths are refused before anything changes.
  // The messages speak of rows, as the caller passes them.
  Status extend(Observations xs, std::span<const double> ys);
  void merge(const CovMatrixF64& other) noexcept;
  Status try_sub(const CovMatrixF64& other) noexcept;

  Result<double> try_covariance(uint64_t i, uint64_t j) const;
  Result<std::vector<double>> try_regression() const;
  Result<std::vector<double>> try_regression_exact() const;

  void encode_into(ByteWriter& w) const;
  Bytes encode() const { return tallix::encode(*this); }
  static Result<CovMatrixF64> decode(ByteView b);
};

// Byte length of the encoding of dimension d; false when it overflows 64 bits.
bool covmat_encoded_size(uint64_t d, uint64_t& size) noexcept;

}  // namespace tallix
