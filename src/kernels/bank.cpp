// Banks: a value placed in its two bins (note 2), and the bins folded into
// the limbs with full carry propagation (note 4).
#include "bank.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "../binary64.hpp"
#include "place.hpp"

namespace tallix {

namespace {

// One limb plus a small signed overflow count: enough to add a few signed
// 64-bit terms into one limb and carry the excess to the next.
struct CarryWord {
  uint64_t lo;
  int64_t hi = 0;

  void add(uint64_t v, int64_t sign_extension) noexcept {
    lo += v;
    hi += static_cast<int64_t>(lo < v) + sign_extension;
  }
  void add_signed(int64_t v) noexcept { add(static_cast<uint64_t>(v), v >> 63); }
};

// Adds the signed bins first..last into the limbs in one pass over the limbs
// they reach, then ripples the final carry upward (dropped past limb 33, as
// in add).
void fold_bins(Limbs& limbs, const std::array<int64_t, kBins>& bins, int first, int last) noexcept {
  // Bin 2k lands on limb k; bin 2k+1 is split between limbs k and k+1 (note 2).
  int top = last / 2 + (last & 1);
  int64_t carry = 0;
  for (int k = first / 2; k <= top; ++k) {
    CarryWord w{limbs[k]};
    w.add_signed(carry);
    if (2 * k < kBins) w.add_signed(bins[2 * k]);
    if (2 * k + 1 < kBins) w.add(static_cast<uint64_t>(bins[2 * k + 1]) << 32, 0);
    if (k > 0) w.add_signed(bins[2 * k - 1] >> 32);
    limbs[k] = w.lo;
    carry = w.hi;
  }
  if (carry != 0 && top + 1 < kLimbs) {
    uint64_t mag = carry < 0 ? 0 - static_cast<uint64_t>(carry) : static_cast<uint64_t>(carry);
    add_word_at(limbs, top + 1, mag, carry < 0);
  }
}

}  // namespace

void Bank::note_nonfinite(uint64_t bits) noexcept {
  if ((bits & kFracMask) != 0)
    nan = true;
  else if (bits & kSignBit)
    neg_inf = true;
  else
    pos_inf = true;
}

void Bank::place(double x) noexcept { place::place_one(bins.data(), x, *this); }

void Bank::absorb_flags(const Bank& other) noexcept {
  nan |= other.nan;
  pos_inf |= other.pos_inf;
  neg_inf |= other.neg_inf;
}

void Bank::fold_into(Limbs& limbs, BinRange range) noexcept {
  if (range.first > range.last) return;
  fold_bins(limbs, bins, range.first, range.last);
  std::fill(bins.begin() + range.first, bins.begin() + range.last + 1, 0);
}

}  // namespace tallix
