#include "fast.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "fast_place.hpp"
#include "fast_simd.hpp"

namespace tallix {

namespace {

// A 64-bit word plus a small signed overflow count: enough to add a few
// signed 64-bit terms into one limb and carry the excess to the next.
struct Wide {
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
  // Bin 2k lands on limb k; bin 2k+1 is split between limbs k and k+1.
  int top = last / 2 + (last & 1);
  int64_t carry = 0;
  for (int k = first / 2; k <= top; ++k) {
    Wide w{limbs[k]};
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

// Moves the bins of `from` into `into`. The caller guarantees that the two
// banks together hold few enough values for the sums to stay in range.
void absorb_bins(Bank& into, Bank& from) noexcept { active_kernels().absorb(into, from); }

// Positions 4k..4k+3 of the chunk go to the four banks, the last
// (length mod 4) values to the first.
void place_chunk(std::span<const double> xs, Bank& b0, Bank& b1, Bank& b2, Bank& b3,
                 Bank& flags) noexcept {
  Bank* const banks[4] = {&b0, &b1, &b2, &b3};
  active_kernels().place(xs.data(), xs.size(), banks, flags);
}

}  // namespace

void Bank::note_nonfinite(uint64_t bits) noexcept {
  if ((bits & ((uint64_t{1} << 52) - 1)) != 0)
    nan = true;
  else if (bits >> 63)
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

void Bank::fold_into(Bank& bank, Limbs& limbs) noexcept {
  BinRange r = active_kernels().bin_range(bank);
  if (r.first > r.last) return;
  fold_bins(limbs, bank.bins, r.first, r.last);
  std::fill(bank.bins.begin() + r.first, bank.bins.begin() + r.last + 1, 0);
}

void FastSumF64::add(double x) noexcept {
  count = saturating_add(count, 1);
  bank.place(x);
  if (++pending == kFoldEvery) {
    Bank::fold_into(bank, limbs);
    pending = 0;
  }
}

void FastSumF64::extend_from_slice(std::span<const double> xs) noexcept {
  if (xs.empty()) return;  // nothing folded, so the pending adds stay counted
  count = saturating_add(count, xs.size());
  if (xs.size() <= kShortBatch)
    extend_short(xs);
  else
    extend_long(xs);
  pending = 0;
}

void FastSumF64::extend_short(std::span<const double> xs) noexcept {
  Bank t1, t2, t3;
  for (size_t at = 0; at < xs.size(); at += kShortChunk) {
    place_chunk(xs.subspan(at, std::min(kShortChunk, xs.size() - at)), bank, t1, t2, t3, bank);
    // The persistent bank may hold up to 1025 values here, so it folds on
    // its own; t1 takes t2 and t3 (1536 values at most).
    absorb_bins(t1, t2);
    absorb_bins(t1, t3);
    Bank::fold_into(bank, limbs);
    Bank::fold_into(t1, limbs);
  }
  bank.absorb_flags(t1);
  bank.absorb_flags(t2);
  bank.absorb_flags(t3);
}

// Long batches fold every 2048 values rather than every 512: the pending
// single adds are folded first, then the batch goes through the banked adder.
// Integer addition being exact, the limbs and flags come out as with 512-value
// chunks, and the bank ends empty either way; the fewer folds save time.
void FastSumF64::extend_long(std::span<const double> xs) noexcept {
  Bank::fold_into(bank, limbs);
  BankedAdder adder(limbs, bank);
  adder.add(xs);
  adder.finish();
}

SumF64 FastSumF64::finish() const noexcept {
  SumF64 out;
  out.limbs = limbs;
  Bank copy = bank;
  Bank::fold_into(copy, out.limbs);
  out.count = count;
  out.nan = bank.nan;
  out.pos_inf = bank.pos_inf;
  out.neg_inf = bank.neg_inf;
  return out;
}

void BankedAdder::add(std::span<const double> xs) noexcept {
  // The values before the first 64-byte boundary go on their own, so that
  // the vector loads of the long chunks after them stay within cache lines.
  size_t head = std::min((64 - reinterpret_cast<uintptr_t>(xs.data()) % 64) / 8 % 8, xs.size());
  if (head > 0) add_chunk(xs.first(head));
  for (size_t at = head; at < xs.size(); at += kShortChunk)
    add_chunk(xs.subspan(at, std::min(kShortChunk, xs.size() - at)));
}

void BankedAdder::add_chunk(std::span<const double> xs) noexcept {
  // 2048 values of at most 2^52 each per bin stay within int64, so the four
  // banks can be summed into one before folding.
  if (held_ + xs.size() > kShortChunk) fold();
  place_chunk(xs, banks_[0], banks_[1], banks_[2], banks_[3], flags_);
  held_ += xs.size();
}

bool BankedAdder::add_products(const double* a, const double* b, size_t n) noexcept {
  const Kernels& k = active_kernels();
  if (k.place_exact_products != nullptr && n >= kExactPairsMin) return add_exact_products(a, b, n);
  Bank* const banks[4] = {&banks_[0], &banks_[1], &banks_[2], &banks_[3]};
  constexpr size_t kPairs = kShortChunk / 2;  // two values per pair
  bool lost = false;
  for (size_t at = 0; at < n; at += kPairs) {
    size_t m = std::min(kPairs, n - at);
    if (held_ + 2 * m > kShortChunk) fold();
    lost |= k.place_products(a + at, b + at, m, banks, flags_);
    held_ += 2 * m;
  }
  return lost;
}

// Ordinary pairs go to a PairBank as whole products, the others to the banks
// as rounded products and errors; the banks are folded as if every pair had
// gone there, which keeps them in range.
bool BankedAdder::add_exact_products(const double* a, const double* b, size_t n) noexcept {
  const Kernels& k = active_kernels();
  Bank* const banks[4] = {&banks_[0], &banks_[1], &banks_[2], &banks_[3]};
  constexpr size_t kPairs = kShortChunk / 2;
  static_assert(PairBank::kFoldEvery % kPairs == 0);
  PairBank pairs{};
  bool lost = false;
  for (size_t at = 0; at < n; at += kPairs) {
    size_t m = std::min(kPairs, n - at);
    if (held_ + 2 * m > kShortChunk) fold();
    if (at > 0 && at % PairBank::kFoldEvery == 0) fold_pairs(pairs);
    lost |= k.place_exact_products(a + at, b + at, m, pairs, banks, flags_);
    held_ += 2 * m;
  }
  fold_pairs(pairs);
  return lost;
}

void BankedAdder::fold_pairs(PairBank& pairs) noexcept {
  Bank bins;
  for (const auto& sub : pairs.cells)
    for (int row = 0; row < PairBank::kRows; ++row)
      for (int j = 0; j < 4; ++j)
        bins.bins[row + j] += sub[row][j] - sub[PairBank::kNegRow + row][j];
  Bank::fold_into(bins, limbs_);
  pairs = PairBank{};
}

void BankedAdder::fold() noexcept {
  absorb_bins(banks_[0], banks_[1]);
  absorb_bins(banks_[0], banks_[2]);
  absorb_bins(banks_[0], banks_[3]);
  Bank::fold_into(banks_[0], limbs_);
  held_ = 0;
}

void BankedAdder::finish() noexcept {
  if (held_ > 0) fold();
  nan_ |= flags_.nan;
  pos_inf_ |= flags_.pos_inf;
  neg_inf_ |= flags_.neg_inf;
}

void sum_batch(SumF64& s, std::span<const double> xs) noexcept {
  BankedAdder adder(s);
  adder.add(xs);
  adder.finish();
  s.count = add_count(s.count, xs.size(), 1);
}

void sum_f32_batch(SumF32& s, std::span<const double> xs) noexcept {
  const Kernels& k = active_kernels();
  double rounded[kLongChunk];
  BankedAdder adder(s.sum);
  for (size_t at = 0; at < xs.size(); at += kLongChunk) {
    size_t n = std::min(kLongChunk, xs.size() - at);
    k.round_f32(xs.data() + at, n, rounded);
    adder.add(std::span<const double>(rounded, n));
  }
  adder.finish();
  s.sum.count = add_count(s.sum.count, xs.size(), 1);
}

void push_batch(DotF64& d, std::span<const double> a, std::span<const double> b) noexcept {
  BankedAdder adder(d.sum);
  bool lost = adder.add_products(a.data(), b.data(), a.size());
  adder.finish();
  d.exactness_lost |= lost;
  d.sum.count = add_count(d.sum.count, a.size(), 2);
}

Status dot_batch(DotF64& d, std::span<const double> xs, std::span<const double> ys) noexcept {
  if (xs.size() != ys.size())
    return UsageFailure{"dot product requires equal-length slices", xs.size(), ys.size()};
  push_batch(d, xs, ys);
  return {};
}

Result<double> dot_fast(std::span<const double> xs, std::span<const double> ys) noexcept {
  DotF64 d;
  Status s = dot_batch(d, xs, ys);
  if (!s.ok()) return s.failure();
  return d.try_value();
}

}  // namespace tallix
