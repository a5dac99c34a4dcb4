// The integer arithmetic on the limbs of an exact sum (limbs.hpp).
#include "limbs.hpp"

#include <cmath>
#include <limits>

#include "words.hpp"

namespace tallix {

namespace {

// Ripples a carry (or borrow) upward from limb i; stops at the first limb
// that does not wrap, limb 33 being the last one touched.
inline void ripple(Limbs& limbs, int i, bool negative) noexcept {
  if (negative) {
    for (; i < kLimbs; ++i)
      if (limbs[i]-- != 0) return;
  } else {
    for (; i < kLimbs; ++i)
      if (++limbs[i] != 0) return;
  }
}

}  // namespace

void add_word_at(Limbs& limbs, int i, uint64_t v, bool negative) noexcept {
  if (negative) {
    uint64_t before = limbs[i];
    limbs[i] = before - v;
    if (before < v) ripple(limbs, i + 1, true);
  } else {
    limbs[i] += v;
    if (limbs[i] < v) ripple(limbs, i + 1, false);
  }
}

void add_shifted(Limbs& limbs, uint64_t m, unsigned p, bool negative) noexcept {
  int i = static_cast<int>(p / 64);
  unsigned r = p % 64;
  uint64_t lo = m << r;
  uint64_t hi = r == 0 ? 0 : m >> (64 - r);
  if (negative) {
    uint64_t a = limbs[i];
    limbs[i] = a - lo;
    uint64_t borrow = a < lo;
    uint64_t b = limbs[i + 1];
    uint64_t sub = hi + borrow;  // hi < 2^53, never wraps
    limbs[i + 1] = b - sub;
    if (b < sub) ripple(limbs, i + 2, true);
  } else {
    limbs[i] += lo;
    uint64_t carry = limbs[i] < lo;
    uint64_t add = hi + carry;
    limbs[i + 1] += add;
    if (limbs[i + 1] < add) ripple(limbs, i + 2, false);
  }
}

void add_limbs(Limbs& acc, const Limbs& other) noexcept { add_words(acc, other); }

void sub_limbs(Limbs& acc, const Limbs& other) noexcept { sub_words(acc, other); }

Limbs negate(const Limbs& limbs) noexcept {
  Limbs out;
  for (int i = 0; i < kLimbs; ++i) out[i] = ~limbs[i];
  ripple(out, 0, false);
  return out;
}

bool is_negative(const Limbs& limbs) noexcept { return (limbs[kLimbs - 1] >> 63) != 0; }

double round_mag(const Limbs& mag, bool negative, int P, int Emin, int Emax) noexcept {
  int top = top_bit(mag);
  if (top < 0) return 0.0;
  int e, l;
  if (top >= Emin + 1074) {
    e = top - 1074;
    l = top - P;
  } else {
    e = Emin;
    l = Emin - P + 1074;
  }
  uint64_t m = rounded_bits(mag, l, top);
  if (m >> (P + 1)) {
    ++e;
    m >>= 1;
  }
  if (e > Emax)
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  double r = std::ldexp(static_cast<double>(m), e - P);
  return negative ? -r : r;
}

}  // namespace tallix
