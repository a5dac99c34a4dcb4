// The exact accumulators of a CovMatrixF64 read as signed integers, in the
// one order every regression query uses, so all report the same first failure.
#pragma once

#include <vector>

#include "../covmat.hpp"

namespace tallix::covmat_detail {

struct ExactSums {
  uint64_t n = 0;
  std::vector<BigInt> sums;      // X_0 … X_{d-1}, then Y
  std::vector<BigInt> products;  // same index order as the state's products
};

// Degenerate for a mismatched state, Empty without rows; then X_0 … X_{d-1},
// Y, and for each i the products x_i·x_j (j ≥ i) followed by x_i·y.
Result<ExactSums> read_exact_sums(const CovMatrixF64& s);

// Arena bytes that the values read for dimension d can occupy, `extra` more
// values of the same size included: each value has at most 35 limbs (an
// accumulator and the 2^2176 of its sign), so over its life it uses
// allocations of at most 512 bytes, under 1 KiB summed over every class.
size_t exact_sums_bytes(uint64_t d, uint64_t extra = 0);

}  // namespace tallix::covmat_detail
