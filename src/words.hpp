// Fixed-width unsigned integers as little-endian arrays of 64-bit words: the
// exact accumulator's limbs and the fma's wider scratch share these.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tallix {

template <size_t N>
using Words = std::array<uint64_t, N>;

// a += b modulo 2^(64 N), one carry chain from word 0 upward.
template <size_t N>
void add_words(Words<N>& a, const Words<N>& b) noexcept {
  uint64_t carry = 0;
  for (size_t i = 0; i < N; ++i) {
    uint64_t x = a[i] + carry;
    uint64_t c1 = x < carry;
    uint64_t s = x + b[i];
    carry = c1 | (s < x);
    a[i] = s;
  }
}

// a -= b modulo 2^(64 N), one borrow chain from word 0 upward.
template <size_t N>
void sub_words(Words<N>& a, const Words<N>& b) noexcept {
  uint64_t borrow = 0;
  for (size_t i = 0; i < N; ++i) {
    uint64_t x = a[i], y = b[i];
    a[i] = x - y - borrow;
    borrow = (x < y) || (x - y < borrow);
  }
}

// Position of the highest set bit, or -1 for zero.
template <size_t N>
int top_bit(const Words<N>& w) noexcept {
  for (int i = static_cast<int>(N) - 1; i >= 0; --i)
    if (w[i] != 0) return 64 * i + 63 - std::countl_zero(w[i]);
  return -1;
}

// Bits l..t (t - l < 64) as an integer.
template <size_t N>
uint64_t bit_range(const Words<N>& w, int l, int t) noexcept {
  size_t i = static_cast<size_t>(l / 64);
  int sh = l % 64;
  uint64_t v = w[i] >> sh;
  if (sh != 0 && i + 1 < N) v |= w[i + 1] << (64 - sh);
  int width = t - l + 1;
  return width >= 64 ? v : v & ((uint64_t{1} << width) - 1);
}

template <size_t N>
bool bit_at(const Words<N>& w, int k) noexcept {
  return (w[static_cast<size_t>(k / 64)] >> (k % 64)) & 1;
}

// Whether any bit below position k is set; whole lower words are tested first.
template <size_t N>
bool any_below(const Words<N>& w, int k) noexcept {
  size_t i = static_cast<size_t>(k / 64);
  for (size_t j = 0; j < i; ++j)
    if (w[j] != 0) return true;
  int sh = k % 64;
  return sh != 0 && (w[i] & ((uint64_t{1} << sh) - 1)) != 0;
}

// Bits l..t rounded at bit l to nearest, ties to even (may carry to 2^(t-l+1)).
template <size_t N>
uint64_t rounded_bits(const Words<N>& w, int l, int t) noexcept {
  uint64_t m = t < l ? 0 : bit_range(w, l, t);
  if (l > 0 && bit_at(w, l - 1) && ((m & 1) != 0 || any_below(w, l - 1))) ++m;
  return m;
}

}  // namespace tallix
