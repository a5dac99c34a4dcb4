// Fixed-edge histogram of binary64 values with exact, saturating counts.
// Bins follow IEEE 754 totalOrder: bin i holds the values with exactly i
// edges at or below them, so bin 0 lies below the first edge and bin n at or
// above the last; NaN is counted apart.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "error.hpp"
#include "merge.hpp"

namespace tallix {

struct HistogramF64 {
  std::vector<double> edges;
  std::vector<uint64_t> counts;  // edges.size() + 1 bins
  uint64_t nan_count = 0;
  bool undefined = false;
  // The edges' total-order keys, sorted. A value's bin is the number of edges
  // at or below it in total order, which a binary search over these keys
  // finds in O(log n) whatever order the edges were stored in (decoded
  // states may hold unsorted or repeated edges).
  std::vector<int64_t> sorted_keys;

  // Refuses (with its message) unless there are 2 to 2^32-1 edges, all
  // finite and strictly increasing in total order.
  static Result<HistogramF64> create(std::span<const double> edges);
  static Result<HistogramF64> decode(ByteView b);

  void add(double x) noexcept;
  // The add loop over xs, with the bin searches of eight values interleaved.
  void extend(std::span<const double> xs) noexcept;
  // Adds the other histogram's counts; both must have bit-identical edges.
  Status merge(const HistogramF64& other) noexcept;
  size_t bin_of(double x) const noexcept;

  std::vector<double> edge_list() const { return edges; }
  Result<std::vector<uint64_t>> try_counts() const;
  uint64_t total() const noexcept;
  Result<std::pair<double, double>> try_quantile_bounds(double q) const noexcept;

  void encode_into(ByteWriter& w) const;
};

}  // namespace tallix
