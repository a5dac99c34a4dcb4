// The banked adder: values by extraction or through the banks, products as
// whole rows or through the banks, folding before any bin could overflow
// (notes 3, 4, 6 and 7).
#include "banked_adder.hpp"

#include <algorithm>
#include <cstdint>

#include "table.hpp"

namespace tallix {

void BankedAdder::add(std::span<const double> xs) noexcept {
  // The values before the first 64-byte boundary go on their own, so that
  // the vector loads of the values after them stay within cache lines.
  size_t head = std::min((64 - reinterpret_cast<uintptr_t>(xs.data()) % 64) / 8 % 8, xs.size());
  if (head > 0) add_to_banks(xs.first(head));
  if (active_kernels().extract_sum != nullptr) return add_extracting(xs.subspan(head));
  for (size_t at = head; at < xs.size(); at += kValuesPerFold)
    add_to_banks(xs.subspan(at, std::min(kValuesPerFold, xs.size() - at)));
}

namespace {

// Whole blocks of n items go straight into the limbs by extraction (notes 7
// and 8): extract(at) adds what it can from item `at` on and says how many;
// the block it declines, and the tail, go to bank(at, count).
template <class Extract, class ToBanks>
void extract_or_bank(size_t n, size_t block, Extract extract, ToBanks bank) noexcept {
  size_t at = 0;
  while (at < n) {
    at += extract(at);
    size_t declined = std::min(block, n - at);
    if (declined > 0) bank(at, declined);
    at += declined;
  }
}

}  // namespace

void BankedAdder::add_extracting(std::span<const double> xs) noexcept {
  const Kernels& k = active_kernels();
  extract_or_bank(
      xs.size(), kExtractBlock,
      [&](size_t at) { return k.extract_sum(xs.data() + at, xs.size() - at, limbs_); },
      [&](size_t at, size_t count) { add_to_banks(xs.subspan(at, count)); });
}

void BankedAdder::add_to_banks(std::span<const double> xs) noexcept {
  // The four banks together stay within note 3, so they can be summed into
  // one before folding.
  if (held_ + xs.size() > kValuesPerFold) fold();
  Bank* const banks[4] = {&banks_[0], &banks_[1], &banks_[2], &banks_[3]};
  active_kernels().place(xs.data(), xs.size(), banks, flags_);
  held_ += xs.size();
}

bool BankedAdder::add_products(const double* a, const double* b, size_t n) noexcept {
  const Kernels& k = active_kernels();
  if (k.place_exact_products != nullptr && n >= kExactPairsMin) return add_exact_products(a, b, n);
  if (k.extract_products != nullptr) return add_extracting_products(a, b, n);
  return add_products_to_banks(a, b, n);
}

// The banks decide whether a pair lost exactness: the extracted blocks hold
// no pair that can.
bool BankedAdder::add_extracting_products(const double* a, const double* b, size_t n) noexcept {
  const Kernels& k = active_kernels();
  bool lost = false;
  extract_or_bank(
      n, kExtractPairs,
      [&](size_t at) { return k.extract_products(a + at, b + at, n - at, limbs_); },
      [&](size_t at, size_t count) { lost |= add_products_to_banks(a + at, b + at, count); });
  return lost;
}

bool BankedAdder::add_products_to_banks(const double* a, const double* b, size_t n) noexcept {
  const Kernels& k = active_kernels();
  Bank* const banks[4] = {&banks_[0], &banks_[1], &banks_[2], &banks_[3]};
  constexpr size_t kPairs = kValuesPerFold / 2;  // two values per pair
  bool lost = false;
  for (size_t at = 0; at < n; at += kPairs) {
    size_t m = std::min(kPairs, n - at);
    if (held_ + 2 * m > kValuesPerFold) fold();
    lost |= k.place_products(a + at, b + at, m, banks, flags_);
    held_ += 2 * m;
  }
  return lost;
}

// Ordinary pairs go to a PairBank as whole products (note 6), the others to
// the banks as rounded products and errors; the banks are folded as if every
// pair had gone there, which keeps them in range (note 3).
bool BankedAdder::add_exact_products(const double* a, const double* b, size_t n) noexcept {
  const Kernels& k = active_kernels();
  Bank* const banks[4] = {&banks_[0], &banks_[1], &banks_[2], &banks_[3]};
  constexpr size_t kPairs = kValuesPerFold / 2;
  static_assert(PairBank::kPairsPerFold % kPairs == 0);
  PairBank pairs{};
  bool lost = false;
  for (size_t at = 0; at < n; at += kPairs) {
    size_t m = std::min(kPairs, n - at);
    if (held_ + 2 * m > kValuesPerFold) fold();
    if (at > 0 && at % PairBank::kPairsPerFold == 0) fold_pairs(pairs);
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
  active_kernels().fold(bins, limbs_);
  pairs = PairBank{};
}

void BankedAdder::fold() noexcept {
  const Kernels& k = active_kernels();
  k.absorb(banks_[0], banks_[1]);
  k.absorb(banks_[0], banks_[2]);
  k.absorb(banks_[0], banks_[3]);
  k.fold(banks_[0], limbs_);
  held_ = 0;
}

void BankedAdder::finish() noexcept {
  if (held_ > 0) fold();
  nan_ |= flags_.nan;
  pos_inf_ |= flags_.pos_inf;
  neg_inf_ |= flags_.neg_inf;
}

}  // namespace tallix
