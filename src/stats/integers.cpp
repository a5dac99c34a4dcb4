// Exact sums of 64-bit integers, and the moments rounded once from them.
#include "integers.hpp"

#include "../big_memory.hpp"

namespace tallix {

namespace {

BigInt big(const WideInt& v) {
  BigInt out;
  if (!v.words.empty())
    mpz_import(out.get_mpz_t(), v.words.size(), -1, sizeof(uint64_t), 0, 0, v.words.data());
  return v.negative ? BigInt(-out) : out;
}

}  // namespace

void IntegerSums::add_square(uint64_t magnitude) noexcept {
  const U128 square = static_cast<U128>(magnitude) * magnitude;
  U128 low = (static_cast<U128>(s2[1]) << 64 | s2[0]) + square;
  if (low < square) ++s2[2];
  s2[0] = static_cast<uint64_t>(low);
  s2[1] = static_cast<uint64_t>(low >> 64);
  ++n;
}

WideInt IntegerSums::sum() const {
  const bool negative = s1 < 0;
  const U128 magnitude = negative ? 0 - static_cast<U128>(s1) : static_cast<U128>(s1);
  return {negative, {static_cast<uint64_t>(magnitude), static_cast<uint64_t>(magnitude >> 64)}};
}

WideInt IntegerSums::squares() const { return {false, {s2.begin(), s2.end()}}; }

Result<double> integer_moment(const WideInt& s1, const WideInt& s2, const WideInt& n,
                              MomentAnswer what, double ddof) {
  // Integers of a few hundred bits: the bound of a fixed-size query holds.
  BigMemoryScope memory(kStatsQueryBytes);
  if (!memory.reserved()) return OutOfMemory{};
  return integer_moment(big(s1), big(s2), big(n), what, ddof);
}

}  // namespace tallix
