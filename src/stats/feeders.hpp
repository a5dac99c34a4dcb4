// Feeders: one exact sum or dot product fed chunk by chunk through one banked
// adder, with its count (and exactness flag) settled once at the end. The
// batch methods of the statistics build on them, so that each leaves the
// bytes of its loop of single updates.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "../acc.hpp"
#include "../dot.hpp"
#include "../kernels/banked_adder.hpp"
#include "../kernels/table.hpp"

namespace tallix {

// The longest chunk a feeder takes at once; the scratch arrays of the batch
// methods (split squares, columns) are this long, so that the two or three a
// method fills stay in the first-level cache while every feeder reads them.
inline constexpr size_t kFeedChunk = 256;

// Pushes products into one DotF64.
class DotFeeder {
 public:
  explicit DotFeeder(DotF64& d) noexcept : d_(d), adder_(d.sum) {}

  // push(a[i], b[i]) for i < n, `times` times over. A run of 4096 or more
  // may take the exact pair path (banked_adder.cpp); any n gives the same bits.
  void push(const double* a, const double* b, size_t n, int times = 1) noexcept {
    for (int t = 0; t < times; ++t) lost_ |= adder_.add_products(a, b, n);
    pushes_ += n * static_cast<uint64_t>(times);
  }
  void finish() noexcept {
    adder_.finish();
    d_.exactness_lost |= lost_;
    d_.sum.count = add_count(d_.sum.count, pushes_, 2);
  }

 private:
  DotF64& d_;
  BankedAdder adder_;
  bool lost_ = false;
  uint64_t pushes_ = 0;
};

// Adds values into one SumF64, counting them.
class SumFeeder {
 public:
  explicit SumFeeder(SumF64& s) noexcept : s_(s), adder_(s) {}
  void add(const double* xs, size_t n) noexcept {
    adder_.add(std::span<const double>(xs, n));
    added_ += n;
  }
  void finish() noexcept {
    adder_.finish();
    s_.count = add_count(s_.count, added_, 1);
  }

 private:
  SumF64& s_;
  BankedAdder adder_;
  uint64_t added_ = 0;
};

// Settles every feeder given.
template <class... Feeders>
void finish(Feeders&... feeders) noexcept {
  (feeders.finish(), ...);
}

// Calls body(offset, length) for consecutive pieces of at most kFeedChunk.
template <class F>
void by_feed_chunks(size_t n, F body) {
  for (size_t at = 0; at < n; at += kFeedChunk) body(at, std::min(kFeedChunk, n - at));
}

// by_feed_chunks over xs, handing body(offset, length, p, e) the split of
// each square as well: p = fl(x·x) and e its fma error (bank.hpp, note 5).
// True when a split lost exactness (split_loses_exactness).
template <class F>
bool by_square_chunks(std::span<const double> xs, F body) noexcept {
  double p[kFeedChunk], e[kFeedChunk];
  bool lost = false;
  by_feed_chunks(xs.size(), [&](size_t at, size_t n) {
    lost |= active_kernels().square_split(xs.data() + at, n, p, e);
    body(at, n, p, e);
  });
  return lost;
}

}  // namespace tallix
