// The exact sum accumulator: the limbs of limbs.hpp, which hold every finite
// binary64 exactly, with a count and the flags of the non-finite values seen.
// Results are rounded once, at query time.
#pragma once

#include <cstdint>
#include <span>

#include "error.hpp"
#include "limbs.hpp"
#include "merge.hpp"

namespace tallix {

inline constexpr size_t kSumBytes = 281;  // 272 limb bytes, flags, count

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t s = a + b;
  return s < a ? UINT64_MAX : s;
}

// Adds n to a count the way n single saturating increments of `per` would.
inline uint64_t add_count(uint64_t count, uint64_t n, uint64_t per) noexcept {
  return n > UINT64_MAX / per ? UINT64_MAX : saturating_add(count, n * per);
}

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

  static auto fields(auto& s) { return std::tie(s.sum); }

  void add(float x) noexcept { sum.add(static_cast<double>(x)); }
  // Each value is first rounded to binary32, as the single add does.
  void extend(std::span<const double> xs) noexcept;
  void merge(const SumF32& other) noexcept { merge_fields(*this, other); }
  float value() const noexcept;
  uint64_t counted() const noexcept { return sum.count; }
  void encode_into(ByteWriter& w) const { encode_fields(w, *this); }
  Bytes to_bytes() const { return encode(*this); }
  static bool decode_from(ByteReader& r, SumF32& out) { return decode_fields(r, out); }
  static Result<SumF32> from_bytes(ByteView b) { return decode_fixed<SumF32>(b, kSumBytes); }
};

}  // namespace tallix
