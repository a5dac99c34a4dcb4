// The compact moments of compact.hpp: adds a value's words at its offset
// with one carry chain, and checks notes 3 and 4 before changing anything.
#include "compact.hpp"

#include <algorithm>
#include <bit>

#include "../binary64.hpp"

namespace tallix {

namespace {

__extension__ using u128 = unsigned __int128;

// Note 3: 2^-485 <= |x| < 2^511.
constexpr uint64_t kLowestBiased = 1023 - 485, kHighestBiased = 1023 + 510;

// Note 4: a sum of `words` words and every value added to it stay below
// 2^bound, so one add cannot carry out of the words.
template <int Words>
constexpr int kBound = 64 * Words - 3;

bool top_in_bound(uint64_t top, bool is_signed) {
  constexpr uint64_t kLimit = uint64_t{1} << 61;  // the top word's share of 2^bound
  return is_signed ? top + kLimit < 2 * kLimit : top < kLimit;
}

// The limb of word 0 for a value whose lowest bit is at `position`: two
// words below it (note 2), inside the limbs.
int16_t placement(long position, int words) {
  return static_cast<int16_t>(std::clamp(position / 64 - 2, 0L, long{kLimbs - words}));
}

// acc += v·2^offset (or −=, when negative) for v of up to three words, in a
// two's-complement integer of N words; the caller has checked the bound.
template <size_t N>
void add_at(std::array<uint64_t, N>& acc, int offset, u128 v, bool negative) {
  const int w = offset / 64, r = offset % 64;
  const uint64_t lo = static_cast<uint64_t>(v), hi = static_cast<uint64_t>(v >> 64);
  const uint64_t parts[3] = {lo << r, r ? (lo >> (64 - r)) | (hi << r) : hi,
                             r ? hi >> (64 - r) : 0};
  // −v is ~v + 1: the words below w stay as they are, and the +1 arrives at w.
  const uint64_t mask = negative ? ~uint64_t{0} : 0;
  uint64_t carry = negative ? 1 : 0;
  for (size_t k = static_cast<size_t>(w); k < N; ++k) {
    const size_t j = k - static_cast<size_t>(w);
    const u128 t = static_cast<u128>(acc[k]) + ((j < 3 ? parts[j] : 0) ^ mask) + carry;
    acc[k] = static_cast<uint64_t>(t);
    carry = static_cast<uint64_t>(t >> 64);
  }
}

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
  const uint64_t sign = Signed && (wide[2 * N - 1] >> 63) != 0 ? ~uint64_t{0} : 0;
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

bool CompactMoments::add(double x, bool with_squares) noexcept {
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
  if (offset < 0 || offset + 53 > kBound<kSumWords> || offset2 < 0 ||
      offset2 + 106 > kBound<kSquareWords> || !top_in_bound(sum[kSumWords - 1], true) ||
      !top_in_bound(squares[kSquareWords - 1], false))
    return false;
  sum_at = at;
  squares_at = at2;
  add_at(sum, static_cast<int>(offset), m, (bits & kSignBit) != 0);
  if (with_squares) add_at(squares, static_cast<int>(offset2), static_cast<u128>(m) * m, false);
  return true;
}

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
