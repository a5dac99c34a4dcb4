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

#include <array>
#include <cstdint>

#include "moments.hpp"

namespace tallix {

struct CompactMoments {
  static constexpr int kSumWords = 5;
  static constexpr int kSquareWords = 8;
  static constexpr int16_t kUnplaced = -1;

  std::array<uint64_t, kSumWords> sum{};               // two's complement
  std::array<uint64_t, kSquareWords> squares{};        // never negative
  int16_t sum_at = kUnplaced, squares_at = kUnplaced;  // the limb of word 0

  // Adds x, and its square when `with_squares`; false, changing nothing,
  // where the compact form cannot hold it (note 3 and 4).
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

}  // namespace tallix
