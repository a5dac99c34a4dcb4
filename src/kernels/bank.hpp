// Banks: the carry-free bins that the batch kernels add into, and the notes
// that every kernel form relies on. Code elsewhere refers to them as
// "see note N".
//
// Note 1 (the limb scale). An exact sum is a 2176-bit fixed-point integer
// with unit 2^-1074 (acc.hpp); a finite binary64 x = M * 2^p in that scale
// has M < 2^53 and p = biased exponent - [x is normal], 0 <= p <= 2045.
// This is Kulisch's long accumulator (Kulisch and Miranker, "Computer
// Arithmetic in Theory and Practice", 1981); the banks below defer its carry
// propagation, in the manner of Neal's small superaccumulators ("Fast exact
// summation using small and large superaccumulators", arXiv:1505.05571).
//
// Note 2 (bin spacing). Bin i weighs 2^(32 i) in the limb scale, so bin 2k
// sits on limb k and bin 2k + 1 straddles limbs k and k + 1. A value's signed
// significand shifted by s = p mod 32 is cut at bit 32: an unsigned low part
// below 2^32 goes to bin p div 32 (at most 63), a signed high part, floored,
// to the next bin. M * 2^s < 2^84, so the high part lies in [-2^52, 2^52).
// kBins = 66 leaves room for the product rows of note 6 (up to bin 65).
//
// Note 3 (no bin overflows before a fold). One value adds one part to a bin
// at most, each part in [-2^52, 2^52). 2^11 values therefore keep every bin
// in [-2^63, 2^63), the range of int64. Hence kValuesPerFold = 2048 values
// spread over four banks (placing in four banks lets consecutive values not
// wait on one another), which may then be added into one bank and folded.
//
// Note 4 (fold intervals). A fold adds the bins into the limbs with full
// carry propagation and clears them; integer addition being exact, where the
// folds fall changes no bit of the result. Single adds fold every
// kSingleAddsPerFold = 512 values; a FastSumF64 batch folds its persistent
// bank (at most 1025 values: 511 pending adds and up to 514 of the 2048
// values it places between two folds) and the three others (at most 1536
// values) on their own, so each stays within note 3. The banked adder
// folds every kValuesPerFold values; product rows fold every
// PairBank::kPairsPerFold pairs (note 6).
//
// Note 5 (the product split). p = fl(a b) and e = fma(a, b, -p) satisfy
// p + e = a b exactly when a b is neither tiny nor off the 2^-1074 grid
// (Dekker, "A floating-point technique for extending the available
// precision", Numer. Math. 18, 1971; with an fma, TwoProduct of Ogita, Rump
// and Oishi, "Accurate sum and dot product", SIAM J. Sci. Comput. 26, 2005).
// binary64.hpp states once when it fails (split_loses_exactness); every
// kernel form decides it alike, lane by lane. An infinite p takes e = 0.
//
// Note 6 (the PairBank row bound). With normal factors, (2^52 + fa)(2^52 +
// fb) < 2^106 shifted by r = q mod 32 (q the product's position, note 1)
// spans bits 0..136 above bin q div 32: four pieces at 32-bit spacing, three
// below 2^32 and the top one below 2^41. Row k holds bins k..k+3, so a pair
// adds below 2^42 to one cell per bin at most; negative products have rows of
// their own, so cells only grow. 2^20 pairs thus keep every cell, and every
// bin summed over all rows and sub-banks at the fold, below 2^62.
//
// Note 7 (error-free extraction). Take an offset sigma = 1.5 * 2^s and values
// with |x| <= 2^(s - M), M = kExtractSlack = 2. Then sigma + x lies within
// [1.25, 1.75] 2^s, so a = fl(sigma + x) stays in the binade [2^s, 2^(s+1))
// of sigma, whose spacing is 2^(s - 52) (2^-1074 where that is finer); q =
// a - sigma is exact (the two share a binade), a whole multiple m of that
// spacing, and r = x - q is exact too, being the rounding error of sigma + x
// (so |r| <= 2^(s - 53)). This is the error-free extraction of Rump, Ogita
// and Oishi ("Accurate floating-point summation part I: faithful rounding",
// SIAM J. Sci. Comput. 31, 2008, ExtractVector), with the offset inside a
// binade so that m is simply the bit pattern of a minus that of sigma: the
// m's of a block are summed as integers, the patterns added with wrap-around
// and the block's count times sigma's pattern taken off (|m| <= 2^50, so
// 1,024 of them fit an int64). Every kernel form takes blocks of
// kExtractBlock values this way, s from the block's largest magnitude, and
// adds each level's total times 2^(s - 52) to the limbs. The remainders r are
// the next level's values, in binade s - 51: a level peels 53 - M = 51 bits
// off every value. Every value is a multiple of the grid g of the smallest
// exponent in the block, so once 2^(s - 53) < g the remainders are all zero:
// a block whose exponents span D = e_max - e_min needs at most
// (D + M) div (53 - M) + 2 levels (e clamped to 1, as subnormals share the
// grid of the smallest normals), and its lowest binade is at least -1072.
// Blocks needing more than kExtractLevels, or holding a NaN, an infinity or a
// magnitude whose offset would overflow, go to the banks. Addition never
// loses bits to underflow, so subnormals need no care (below 2^-1022 the
// offset and the sums are subnormal alike); flushing subnormals to zero,
// another rounding mode or a trapping exception would break the argument, so
// a non-default floating-point environment turns the path off.
//
// Note 8 (extracted products). A block of kExtractPairs pairs becomes two
// blocks of values, the rounded products p and their fma errors e, each
// extracted as in note 7. p + e is the exact product wherever
// split_loses_exactness fails (note 5), so a block holding a pair for which
// it may hold goes to the banks, as does one with a non-finite product or
// error. With every such product at or above 2^-968, |e| <= ulp(p) / 2 puts
// each error at least 53 binades below the block's largest product, and a
// non-zero error holds a bit of the exact product, so it lies at most 106
// binades below the top of its own p: the errors' plan follows from the
// products' exponents, without a pass over the errors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "../binary64.hpp"
#include "../limbs.hpp"

namespace tallix {

inline constexpr int kBins = 66;                     // see note 2
inline constexpr uint64_t kSingleAddsPerFold = 512;  // see note 4
inline constexpr size_t kValuesPerFold = 2048;       // see note 3
inline constexpr size_t kExactPairsMin = 4096;       // shortest product batch worth a PairBank
inline constexpr size_t kExtractBlock = 1024;        // values per extraction block (note 7)
inline constexpr int kExtractSlack = 2;              // M of note 7
inline constexpr int kExtractLevels = 4;             // most levels a block may take (note 7)
inline constexpr size_t kExtractPairs = 512;         // pairs per block of extracted products
inline constexpr int kExtractProductLevels = 8;      // most levels of their products or errors

// The lowest and highest non-zero bin of a bank; first > last when none is.
struct BinRange {
  int first;
  int last;
};

struct Bank {
  std::array<int64_t, kBins> bins{};
  bool nan = false;
  bool pos_inf = false;
  bool neg_inf = false;

  // Adds one value's significand to its two bins (note 2), or records a
  // non-finite value.
  void place(double x) noexcept;
  // Records a NaN or an infinity given by its bit pattern.
  void note_nonfinite(uint64_t bits) noexcept;
  void absorb_flags(const Bank& other) noexcept;
  // Adds the bins into the limbs with full carry propagation and clears them.
  // Every non-zero bin lies within `range`, which a kernel form finds
  // (Kernels::fold); nothing is done when the range is empty.
  void fold_into(Limbs& limbs, BinRange range) noexcept;
};

// Exact products of ordinary pairs as row vectors (note 6). Pairs take the
// sub-banks in turn, so consecutive pairs never wait on each other's row.
struct PairBank {
  static constexpr int kSubBanks = 8;
  static constexpr int kRows = 63;         // lowest bins 0..62 (bin 65 is the last)
  static constexpr int kTrashRow = 63;     // takes the lanes of other pairs; never read
  static constexpr int kNegRow = 64;       // row kNegRow + k holds negative products
  static constexpr int kRowsPerSub = 130;  // two spare rows spread the sub-banks over cache sets
  static constexpr size_t kPairsPerFold = size_t{1} << 20;  // see note 6

  alignas(64) int64_t cells[kSubBanks][kRowsPerSub][4];
};

// A value's cut of note 2: the low part for bin `bin`, the high part for the
// next one.
struct Split {
  uint64_t bin;
  uint64_t lo;  // below 2^32
  int64_t hi;
};

// `finite` false gives zero parts (bin index unused but in range).
inline Split split_value(uint64_t bits, bool finite) noexcept {
  uint64_t e = biased_exponent(bits);
  uint64_t normal = e != 0;
  uint64_t m = ((bits & kFracMask) | (normal << 52)) & (0 - uint64_t{finite});
  uint64_t neg = 0 - (bits >> 63);
  int64_t signed_m = static_cast<int64_t>((m ^ neg) - neg);
  uint64_t p = e - normal;
  uint64_t s = p & 31;
  return {p >> 5, (static_cast<uint64_t>(signed_m) << s) & 0xFFFFFFFF, signed_m >> (32 - s)};
}

}  // namespace tallix
