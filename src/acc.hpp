// The exact sum accumulator: a 2176-bit two's-complement fixed-point integer
// whose unit is 2^-1074, so every finite binary64 is held exactly and adding
// never rounds. Results are rounded once, at query time.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "error.hpp"
#include "merge.hpp"

namespace tallix {

inline constexpr int kLimbs = 34;
inline constexpr size_t kSumBytes = 281;  // 272 limb bytes, flags, count
using Limbs = std::array<uint64_t, kLimbs>;

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t s = a + b;
  return s < a ? UINT64_MAX : s;
}

// Adds n to a count the way n single saturating increments of `per` would.
inline uint64_t add_count(uint64_t count, uint64_t n, uint64_t per) noexcept {
  return n > UINT64_MAX / per ? UINT64_MAX : saturating_add(count, n * per);
}

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

struct SumF64 {
  Limbs limbs{};
  uint64_t count = 0;
  bool nan = false;
  bool pos_inf = false;
  bool neg_inf = false;

  void add(double x) noexcept;
  // The add loop over xs, through the banked adder: the same bytes, far faster.
  void extend(std::span<const double> xs) noexcept;
  void merge(const SumF64& other) noexcept;
  bool try_unmerge(const SumF64& other) noexcept;
  double value() const noexcept;
  uint64_t counted() const noexcept { return count; }
  // False when a NaN or infinity flag is set.
  bool finite() const noexcept { return !(nan || pos_inf || neg_inf); }
  uint8_t flag_bits() const noexcept;

  void encode_into(ByteWriter& w) const;
  Bytes to_bytes() const { return encode(*this); }
  // Reads the 281-byte form at the reader's position; false when the flag
  // byte is invalid or the input too short.
  static bool decode_from(ByteReader& r, SumF64& out);
  static Result<SumF64> from_bytes(ByteView b);

 private:
  // Records a value's effect without counting it.
  void add_uncounted(double x) noexcept;
};

// The same exact state fed with binary32 inputs and rounded to binary32.
struct SumF32 {
  SumF64 sum;

  void add(float x) noexcept { sum.add(static_cast<double>(x)); }
  // Each value is first rounded to binary32, as the single add does.
  void extend(std::span<const double> xs) noexcept;
  void merge(const SumF32& other) noexcept { sum.merge(other.sum); }
  float value() const noexcept;
  uint64_t counted() const noexcept { return sum.count; }
  void encode_into(ByteWriter& w) const { sum.encode_into(w); }
  Bytes to_bytes() const { return encode(*this); }
  static Result<SumF32> from_bytes(ByteView b);
};

}  // namespace tallix
