// The exact rational kernel: accumulators read as signed big integers, and
// the correctly rounded binary64 quotient of two of them.
#pragma once

#include <gmpxx.h>

#include <cstdint>

#include "../acc.hpp"
#include "../big_memory.hpp"
#include "../dot.hpp"

namespace tallix {

using BigInt = mpz_class;

// Nearest binary64 to num/den, ties to even; den must not be zero.
double round_rational(const BigInt& num, const BigInt& den);
BigInt twos_complement(const Limbs& limbs);
BigInt unit_pow(uint64_t k);  // 2^(1074 k)
BigInt from_u64(uint64_t v);
Result<BigInt> dot_int(const DotF64& acc);
// A plain sum read for a query: NonFinite when any flag is set.
Result<BigInt> sum_int(const SumF64& acc);

}  // namespace tallix
