// A group's exact Σx and Σx² in about a hundred bytes, for as long as its
// values stay in a usual range: the form many small groups are kept in
// before any of them needs a full accumulator (grouped.hpp).
//
//   1. Σx is a two's-complement integer of kSumWords words, Σx² a
//      non-negative one of kSquareWords words. Each sits at a word (a limb
//      index) of the scale its full state uses: units of 2^-1074, the limbs
//      of SumF64 for Σx and of DotF64's sum for Σx². Expanding is placing
//      the words into zeroed limbs, so the full state is the one the same
//      values would have built, byte for byte.
//   2. Both are placed by the first non-zero value, two words below the
//      word that holds its lowest bit, so values down to about 2^-64 times
//      the first still fit (their squares take twice the binades); later
//      values must land at or above those words.
//   3. Only values of 2^-485 <= |x| < 2^511 enter: their squares are normal
//      binary64 values whose bits all lie at or above 2^-1074, so DotF64
//      would hold each square exactly (split_loses_exactness is false) and
//      no product overflows. Zeros change nothing but the count.
//   4. Before an add, the top word of each sum must hold no more than its
//      low 62 bits' worth of magnitude (|S| < 2^(64·words − 3)), and the value
//      must lie below that bound too; then the sum after the add stays
//      inside the words. Anything else is refused, nothing changed, and the
//      caller moves the group to a full accumulator.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "../binary64.hpp"
#include "moments.hpp"

namespace tallix {

struct CompactMoments {
  static constexpr int kSumWords = 5;
  static constexpr int kSquareWords = 8;
  static constexpr int16_t kUnplaced = -1;

  std::array<uint64_t, kSumWords> sum{};               // two's complement
  std::array<uint64_t, kSquareWords> squares{};        // never negative
  int16_t sum_at = kUnplaced, squares_at = kUnplaced;  // the limb of word 0

  // Adds x, and its square when `with_squares` (without, the squares are
  // not kept and not checked); false, changing nothing, where the compact
  // form cannot hold it (notes 3 and 4). Inline: it runs once per row.
  bool add(double x, bool with_squares) noexcept;
  // Adds another group's sums; false, changing nothing, where the total
  // does not fit the words at the lower of the two placements.
  bool merge(const CompactMoments& other) noexcept;
  // The full state of the n values added (the count is not kept here).
  void expand(uint64_t n, MomentsF64& out) const noexcept;
  // Whether the placements and sums keep the invariants of notes 1 and 4,
  // as every add and merge leaves them; for forms read from bytes.
  bool valid() const noexcept;
};

namespace compact_detail {

__extension__ using u128 = unsigned __int128;

// Note 3: 2^-485 <= |x| < 2^511.
inline constexpr uint64_t kLowestBiased = 1023 - 485, kHighestBiased = 1023 + 510;

// Note 4: a sum of `words` words and every value added to it stay below
// 2^bound, so one add cannot carry out of the words.
template <int Words>
inline constexpr int kBound = 64 * Words - 3;

inline bool top_in_bound(uint64_t top, bool is_signed) {
  constexpr uint64_t kLimit = uint64_t{1} << 61;  // the top word's share of 2^bound
  return is_signed ? top + kLimit < 2 * kLimit : top < kLimit;
}

// The limb of word 0 for a value whose lowest bit is at `position`: two
// words below it (note 2), inside the limbs.
inline int16_t placement(long position, int words) {
  return static_cast<int16_t>(std::clamp(position / 64 - 2, 0L, long{kLimbs - words}));
}

// acc += v·2^offset (or −=, when negative) for v of up to three words, in a
// two's-complement integer of N words; the caller has checked the bound.
// −v is ~v + 1: the words below the offset's word stay as they are, and the
// +1 arrives at that word. Every word takes one add, so the loop unrolls.
template <size_t N>
inline void add_at(std::array<uint64_t, N>& acc, int offset, u128 v, bool negative) {
  const int w = offset / 64, r = offset % 64;
  const uint64_t lo = static_cast<uint64_t>(v), hi = static_cast<uint64_t>(v >> 64);
  const uint64_t p0 = lo << r, p1 = r ? (lo >> (64 - r)) | (hi << r) : hi,
                 p2 = r ? hi >> (64 - r) : 0;
  const uint64_t mask = negative ? ~uint64_t{0} : 0;
  uint64_t carry = 0;
  for (size_t k = 0; k < N; ++k) {
    const int j = static_cast<int>(k) - w;
    const uint64_t part = j == 0 ? p0 : j == 1 ? p1 : j == 2 ? p2 : 0;
    const uint64_t word = j < 0 ? 0 : part ^ mask;
    const u128 t = static_cast<u128>(acc[k]) + word + carry + (j == 0 && negative ? 1 : 0);
    acc[k] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
}

}  // namespace compact_detail

inline bool CompactMoments::add(double x, bool with_squares) noexcept {
  using namespace compact_detail;
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const uint64_t biased = biased_exponent(bits);
  if (biased - kLowestBiased > kHighestBiased - kLowestBiased) return (bits << 1) == 0;
  const uint64_t m = (bits & kFracMask) | kHiddenBit;
  const long position = static_cast<long>(biased) - 1;  // of m's lowest bit, in units of 2^-1074
  const long square_position = 2 * position - 1074;     // of m²'s, in DotF64's units
  const int16_t at = sum_at == kUnplaced ? placement(position, kSumWords) : sum_at;
  const int16_t at2 =
      squares_at == kUnplaced ? placement(square_position, kSquareWords) : squares_at;
  const long offset = position - 64L * at, offset2 = square_position - 64L * at2;
  if (offset < 0 || offset + 53 > kBound<kSumWords> || !top_in_bound(sum[kSumWords - 1], true))
    return false;
  if (with_squares && (offset2 < 0 || offset2 + 106 > kBound<kSquareWords> ||
                       !top_in_bound(squares[kSquareWords - 1], false)))
    return false;
  sum_at = at;
  squares_at = at2;
  add_at(sum, static_cast<int>(offset), m, (bits & kSignBit) != 0);
  if (with_squares) add_at(squares, static_cast<int>(offset2), static_cast<u128>(m) * m, false);
  return true;
}

}  // namespace tallix
