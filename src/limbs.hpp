// The limbs of an exact sum: a 2176-bit two's-complement fixed-point integer
// whose unit is 2^-1074, as 34 little-endian 64-bit words, so that every
// finite binary64 is held exactly and adding never rounds; and the integer
// arithmetic on them, which the states and the batch kernels share.
#pragma once

#include <array>
#include <cstdint>

namespace tallix {

inline constexpr int kLimbs = 34;
using Limbs = std::array<uint64_t, kLimbs>;

// Adds (or subtracts, when `negative`) M * 2^p into the limbs, p <= 2045.
void add_shifted(Limbs& limbs, uint64_t m, unsigned p, bool negative) noexcept;
// Adds (or subtracts) a 64-bit value placed at limb `i` and carries upward.
void add_word_at(Limbs& limbs, int i, uint64_t v, bool negative) noexcept;
void add_limbs(Limbs& acc, const Limbs& other) noexcept;
void sub_limbs(Limbs& acc, const Limbs& other) noexcept;
Limbs negate(const Limbs& limbs) noexcept;
bool is_negative(const Limbs& limbs) noexcept;
// Correctly rounded (nearest, ties to even) value of a limb magnitude for a
// format with P fraction bits and exponents Emin..Emax.
double round_mag(const Limbs& magnitude, bool negative, int P, int Emin, int Emax) noexcept;

}  // namespace tallix
