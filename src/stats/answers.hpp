// Answers asked with numpy's parameters: a mean, a variance with any ddof,
// the correctly rounded standard deviation, covariance and correlation, a
// ratio of sums, each the exact value rounded once.
//
// A sample may be held in several parts whose values were multiplied by a
// power of two before they were fed (x·2^scale). Scaling is exact, and it
// lets a caller keep every square and product inside the range a DotF64
// holds exactly: data whose squares would overflow or fall below the normal
// range is split into exponent bands, each scaled towards 1. The parts are
// read back here as one exact rational per sum:
//
//   1. Part i holds S_i = Σ x·2^k_i in units of 2^-1074. With K = max k_i,
//      A = Σ S_i·2^(K − k_i) is Σx in units of 2^-(1074 + K).
//   2. Squares and products scale by 2^(k + k') and read back the same way,
//      with 2K (or K_x + K_y) in place of K.
//   3. Every answer is a ratio of such integers times a power of two, and
//      round_rational rounds it once; the power of two goes to whichever
//      side keeps both integers.
//
// Answers follow IEEE for data that is not finite (a mean of values with +inf
// is +inf, a spread is NaN) and give NaN where numpy divides by zero or less
// (n = 0, n − ddof <= 0), so the caller decides what to say there. A part
// whose square or product left the exact range fails with ExactnessLost: the
// caller rebuilds it in bands.
#pragma once

#include <cstdint>
#include <span>

#include "cov.hpp"
#include "moments.hpp"
#include "rational.hpp"

namespace tallix {

enum class MomentAnswer : uint8_t { Mean, Var, Std, Sum };
// The format an answer is rounded to, once: binary32 columns answer in binary32.
enum class Precision : uint8_t { Binary64, Binary32 };
enum class PairAnswer : uint8_t { Cov, VarX, VarY, Corr, Ratio, SumX, SumXY };

// Σx and, for a spread, Σx² (null for a plain sum, which answers only means).
struct ScaledMoments {
  const SumF64* sum;
  const DotF64* squares;
  int64_t scale;  // the state was fed x·2^scale
};

struct ScaledCov {
  const CovF64* state;
  int64_t scale_x, scale_y;
};

// The widest scale a part may carry: enough to bring any binary64 to 1.
inline constexpr int64_t kMaxPartScale = 1100;

// One sample in parts; `missing` values were fed as zeros in place of values
// the caller skips, and do not count.
Result<double> moment_answer(std::span<const ScaledMoments> parts, MomentAnswer what, double ddof,
                             uint64_t missing, Precision precision = Precision::Binary64);
Result<double> pair_answer(std::span<const ScaledCov> parts, PairAnswer what, double ddof);

// The same answers from exact integer sums Σx, Σx² of n integers.
double integer_moment(const BigInt& s1, const BigInt& s2, const BigInt& n, MomentAnswer what,
                      double ddof);

// sqrt(num/den · 2^(2·half_exp)) rounded once (num >= 0, den > 0).
double round_sqrt_rational(const BigInt& num, const BigInt& den, long half_exp,
                           Precision precision = Precision::Binary64);

}  // namespace tallix
