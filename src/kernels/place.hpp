// Scalar pieces of bank placement shared by every kernel form. They are
// inline so that each form compiles them with its own instruction set.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "../binary64.hpp"
#include "table.hpp"

namespace tallix::place {

// Entries split in one stage of the vector forms: sixteen values, or the
// products and errors of eight pairs. A form splits one stage while the
// entries of the stage before are added to the banks, so that its vector work
// and the scalar stores of the additions overlap.
inline constexpr size_t kStageEntries = 16;

// Adds one split entry (low part packed with its bin index) to a bank
// (note 2).
inline void add_entry(int64_t* bins, uint64_t lo_bin, int64_t hi) noexcept {
  uint64_t bin = lo_bin >> 32;
  bins[bin] += static_cast<int64_t>(lo_bin & 0xFFFFFFFF);
  bins[bin + 1] += hi;
}

// Adds entries, a multiple of four of them, to the four banks by position
// modulo 4.
inline void scatter_entries(int64_t* const* bins, const uint64_t* lo_bin, const int64_t* hi,
                            size_t n) noexcept {
  for (size_t i = 0; i < n; i += 4) {
    add_entry(bins[0], lo_bin[i], hi[i]);
    add_entry(bins[1], lo_bin[i + 1], hi[i + 1]);
    add_entry(bins[2], lo_bin[i + 2], hi[i + 2]);
    add_entry(bins[3], lo_bin[i + 3], hi[i + 3]);
  }
}

inline void place_one(int64_t* bins, double x, Bank& flags) noexcept {
  uint64_t bits = std::bit_cast<uint64_t>(x);
  bool finite = is_finite_bits(bits);
  if (!finite) [[unlikely]]
    flags.note_nonfinite(bits);
  Split v = split_value(bits, finite);
  add_entry(bins, v.lo | (v.bin << 32), v.hi);
}

// Values from position `at` on, one at a time: whole groups of four by
// position, the last n mod 4 to the first bank.
inline void place_rest(const double* xs, size_t at, size_t n, int64_t* const* bins,
                       Bank& flags) noexcept {
  size_t whole = n - n % 4;
  for (; at < whole; ++at) place_one(bins[at % 4], xs[at], flags);
  for (; at < n; ++at) place_one(bins[0], xs[at], flags);
}

// Records the non-finite values among xs[0..n).
inline void note_nonfinite_values(const double* xs, size_t n, Bank& flags) noexcept {
  for (size_t k = 0; k < n; ++k) {
    uint64_t b = std::bit_cast<uint64_t>(xs[k]);
    if (!is_finite_bits(b)) flags.note_nonfinite(b);
  }
}

// Pairs whose products and errors place_products_chunked holds at once: a
// 4 KiB scratch array on the stack, which stays in the first-level cache
// between its writing and its placement.
inline constexpr size_t kProductChunk = 256;

// place_products built from a form's `products` and `place`: the products
// and errors of a chunk of pairs, then their placement.
inline bool place_products_chunked(const Kernels& k, const double* a, const double* b, size_t n,
                                   Bank* const* banks, Bank& flags) noexcept {
  double terms[2 * kProductChunk];  // the products, then their errors
  bool lost = false;
  for (size_t at = 0; at < n; at += kProductChunk) {
    size_t m = n - at < kProductChunk ? n - at : kProductChunk;
    lost |= k.products(a + at, b + at, m, terms, terms + m);
    k.place(terms, 2 * m, banks, flags);
  }
  return lost;
}

inline BinRange bin_range_scan(const Bank& bank) noexcept {
  int first = 0;
  while (first < kBins && bank.bins[first] == 0) ++first;
  if (first == kBins) return {kBins, -1};
  int last = kBins - 1;
  while (bank.bins[last] == 0) --last;
  return {first, last};
}

// The range from bitmasks of the non-zero bins 0-63 and 64-65.
inline BinRange bin_range_of_masks(uint64_t low, uint64_t high) noexcept {
  if (low == 0 && high == 0) return {kBins, -1};
  int first = low != 0 ? std::countr_zero(low) : 64 + std::countr_zero(high);
  int last = high != 0 ? 127 - std::countl_zero(high) : 63 - std::countl_zero(low);
  return {first, last};
}

inline void absorb_scalar(Bank& into, Bank& from) noexcept {
  for (int i = 0; i < kBins; ++i) into.bins[i] += from.bins[i];
  from.bins.fill(0);
}

}  // namespace tallix::place
