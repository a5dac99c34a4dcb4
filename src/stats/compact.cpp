// The compact moments of compact.hpp: merging two groups' words at the
// lower placement, expanding them into full limbs, and checking them.
#include "compact.hpp"

#include <algorithm>
#include <bit>

#include "../binary64.hpp"

namespace tallix {

namespace {

using compact_detail::top_in_bound;
using compact_detail::u128;

// a·2^(64·da) + b·2^(64·db) in N words, or false when it does not keep
// note 4's bound; Signed: the words are two's complement.
template <size_t N, bool Signed>
bool aligned_total(const std::array<uint64_t, N>& a, int da, const std::array<uint64_t, N>& b,
                   int db, std::array<uint64_t, N>& out) {
  std::array<uint64_t, 2 * N> wide{};
  auto place = [&](const std::array<uint64_t, N>& v, int shift) {
    const uint64_t sign = Signed && (v[N - 1] >> 63) != 0 ? ~uint64_t{0} : 0;
    uint64_t carry = 0;
    for (size_t k = 0; k < 2 * N; ++k) {
      const long i = static_cast<long>(k) - shift;
      const uint64_t word = i < 0 ? 0 : i < static_cast<long>(N) ? v[static_cast<size_t>(i)] : sign;
      const u128 t = static_cast<u128>(wide[k]) + word + carry;
      wide[k] = static_cast<uint64_t>(t);
      carry = static_cast<uint64_t>(t >> 64);
    }
  };
  place(a, da);
  place(b, db);
  // The words above N must repeat the sign of word N − 1: the total fits N words.
  const uint64_t sign = Signed && (wide[N - 1] >> 63) != 0 ? ~uint64_t{0} : 0;
  for (size_t k = N; k < 2 * N; ++k)
    if (wide[k] != sign) return false;
  if (!top_in_bound(wide[N - 1], Signed)) return false;
  std::copy_n(wide.begin(), N, out.begin());
  return true;
}

template <size_t N>
void place_limbs(const std::array<uint64_t, N>& words, int16_t at, bool is_signed, Limbs& out) {
  const uint64_t sign = is_signed && (words[N - 1] >> 63) != 0 ? ~uint64_t{0} : 0;
  for (int i = 0; i < kLimbs; ++i)
    out[static_cast<size_t>(i)] = i < at ? 0
                                  : i < at + static_cast<int>(N)
                                      ? words[static_cast<size_t>(i - at)]
                                      : sign;
}

}  // namespace

bool CompactMoments::merge(const CompactMoments& other) noexcept {
  if (other.sum_at == kUnplaced) return true;
  if (sum_at == kUnplaced) {
    *this = other;
    return true;
  }
  const int16_t at = std::min(sum_at, other.sum_at), at2 = std::min(squares_at, other.squares_at);
  std::array<uint64_t, kSumWords> s;
  std::array<uint64_t, kSquareWords> q;
  if (std::max(sum_at, other.sum_at) - at >= kSumWords ||
      std::max(squares_at, other.squares_at) - at2 >= kSquareWords ||
      !aligned_total<kSumWords, true>(sum, sum_at - at, other.sum, other.sum_at - at, s) ||
      !aligned_total<kSquareWords, false>(squares, squares_at - at2, other.squares,
                                          other.squares_at - at2, q))
    return false;
  sum = s;
  squares = q;
  sum_at = at;
  squares_at = at2;
  return true;
}

void CompactMoments::expand(uint64_t n, MomentsF64& out) const noexcept {
  out = MomentsF64{};
  out.sum_x.count = n;
  out.sum_xx.sum.count = add_count(0, n, 2);  // a push counts its product and its error
  if (sum_at == kUnplaced) return;
  place_limbs(sum, sum_at, true, out.sum_x.limbs);
  place_limbs(squares, squares_at, false, out.sum_xx.sum.limbs);
}

bool CompactMoments::valid() const noexcept {
  if (sum_at == kUnplaced || squares_at == kUnplaced)
    return sum_at == squares_at &&
           std::all_of(sum.begin(), sum.end(), [](uint64_t w) { return w == 0; }) &&
           std::all_of(squares.begin(), squares.end(), [](uint64_t w) { return w == 0; });
  return sum_at >= 0 && sum_at <= kLimbs - kSumWords && squares_at >= 0 &&
         squares_at <= kLimbs - kSquareWords && top_in_bound(sum[kSumWords - 1], true) &&
         top_in_bound(squares[kSquareWords - 1], false);
}

}  // namespace tallix
