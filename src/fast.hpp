// Fast exact batch summation. Values drop their significands into banks of
// signed 64-bit bins spaced 32 bits apart, with no carry handling; a bank is
// folded into the 34 limbs only after a bounded number of values, so no bin
// can overflow. The limbs end up holding exactly what the add loop of SumF64
// would hold, whatever the order, batching or mixture of calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "acc.hpp"
#include "dot.hpp"

namespace tallix {

inline constexpr int kBins = 66;                // bin i weighs 2^(32 i) in the limb scale
inline constexpr uint64_t kFoldEvery = 512;     // single adds between folds
inline constexpr size_t kShortBatch = 4096;     // longest batch taking the short path
inline constexpr size_t kShortChunk = 2048;     // values per fold on the short path
inline constexpr size_t kLongChunk = 512;       // values rounded at a time by sum_f32_batch
inline constexpr size_t kExactPairsMin = 4096;  // shortest product batch worth a PairBank

struct Bank {
  std::array<int64_t, kBins> bins{};
  bool nan = false;
  bool pos_inf = false;
  bool neg_inf = false;

  // Adds one value's significand to its two bins, or records a non-finite value.
  void place(double x) noexcept;
  // Records a NaN or an infinity given by its bit pattern.
  void note_nonfinite(uint64_t bits) noexcept;
  void absorb_flags(const Bank& other) noexcept;
  // Adds the bins into the limbs with full carry propagation and clears them.
  static void fold_into(Bank& bank, Limbs& limbs) noexcept;
};

struct FastSumF64 {
  Limbs limbs{};
  uint64_t count = 0;
  uint64_t pending = 0;  // single adds held in the bank, always below kFoldEvery
  Bank bank;

  void add(double x) noexcept;
  void extend_from_slice(std::span<const double> xs) noexcept;
  uint64_t counted() const noexcept { return count; }
  // An independent SumF64 holding this state's exact sum; this state is unchanged.
  SumF64 finish() const noexcept;

 private:
  void extend_short(std::span<const double> xs) noexcept;
  void extend_long(std::span<const double> xs) noexcept;
};

// Exact products a * b of ordinary pairs, as four pieces at 32-bit spacing
// (three below 2^32, the top one below 2^41) added as one four-word vector to
// the row of their lowest bin: row k holds bins k..k+3. Negative products have
// rows of their own, so cells only grow and no piece needs negating. Pairs
// take the sub-banks in turn, so consecutive pairs never wait on each other's
// row. One pair adds below 2^42 to a cell, and to at most one cell per bin, so
// 2^20 pairs fit before the rows must be folded.
struct PairBank {
  static constexpr int kSubBanks = 8;
  static constexpr int kRows = 63;         // lowest bins 0..62 (bin 65 is the last)
  static constexpr int kTrashRow = 63;     // takes the lanes of other pairs; never read
  static constexpr int kNegRow = 64;       // row kNegRow + k holds negative products
  static constexpr int kRowsPerSub = 130;  // two spare rows spread the sub-banks over cache sets
  static constexpr size_t kFoldEvery = size_t{1} << 20;  // pairs

  alignas(64) int64_t cells[kSubBanks][kRowsPerSub][4];
};

// Adds any number of values exactly into a sum's limbs and flags through four
// banks, folding before the banks could overflow. Counts are the caller's.
class BankedAdder {
 public:
  explicit BankedAdder(SumF64& target) noexcept
      : BankedAdder(target.limbs, target.nan, target.pos_inf, target.neg_inf) {}
  // Adds into bare limbs, handing the non-finite flags to `flags`.
  BankedAdder(Limbs& limbs, Bank& flags) noexcept
      : BankedAdder(limbs, flags.nan, flags.pos_inf, flags.neg_inf) {}
  BankedAdder(const BankedAdder&) = delete;
  BankedAdder& operator=(const BankedAdder&) = delete;

  void add(std::span<const double> xs) noexcept;
  // Adds the rounded products a[i] * b[i] and their fma errors (0 for an
  // infinite product), as push does; true when split_loses_exactness holds
  // for a pair.
  bool add_products(const double* a, const double* b, size_t n) noexcept;
  // Folds what the banks hold and hands the non-finite flags to the target.
  void finish() noexcept;

 private:
  BankedAdder(Limbs& limbs, bool& nan, bool& pos_inf, bool& neg_inf) noexcept
      : limbs_(limbs), nan_(nan), pos_inf_(pos_inf), neg_inf_(neg_inf) {}
  // Up to 2048 values.
  void add_chunk(std::span<const double> xs) noexcept;
  bool add_exact_products(const double* a, const double* b, size_t n) noexcept;
  void fold() noexcept;
  // Adds the rows' bins into the limbs and clears the rows.
  void fold_pairs(PairBank& pairs) noexcept;

  Limbs& limbs_;
  bool& nan_;
  bool& pos_inf_;
  bool& neg_inf_;
  Bank banks_[4];
  Bank flags_;
  size_t held_ = 0;  // values in the banks since the last fold
};

// Batch forms of the add and push loops: the same bytes, far faster.
void sum_batch(SumF64& s, std::span<const double> xs) noexcept;
// Each value is first rounded to binary32, as SumF32's single add does.
void sum_f32_batch(SumF32& s, std::span<const double> xs) noexcept;
// push(a[i], b[i]) for every i; the spans must have equal lengths.
void push_batch(DotF64& d, std::span<const double> a, std::span<const double> b) noexcept;
// DotF64::extend_from_slices and dot() on the batch path.
Status dot_batch(DotF64& d, std::span<const double> xs, std::span<const double> ys) noexcept;
Result<double> dot_fast(std::span<const double> xs, std::span<const double> ys) noexcept;

// Adds n to a count the way n single saturating increments of `per` would.
inline uint64_t add_count(uint64_t count, uint64_t n, uint64_t per) noexcept {
  return n > UINT64_MAX / per ? UINT64_MAX : saturating_add(count, n * per);
}

}  // namespace tallix
