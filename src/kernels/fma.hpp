// Correctly rounded fused multiply-add, the one operation of the product
// split (bank.hpp, note 5) beyond single IEEE operations.
#pragma once

// Marks a routine allowed to hold a fused multiply-add instruction: the fma
// itself and the kernels that form the exact error of a product with one. The
// mark is an ABI tag, so it is part of the symbol's name ("[abi:tallix_fma]"
// demangled) for templates and inline functions alike; the reproducibility
// matrix (scripts/repro_matrix.sh) refuses an fma instruction in any routine
// without it, so one that the compiler contracts on its own cannot pass for a
// deliberate one. A tag must be on the first declaration.
#define TALLIX_FMA_SITE __attribute__((abi_tag("tallix_fma")))

namespace tallix {

// Chosen once per process (hardware instruction or the exact software
// routine; both give the same bits).
TALLIX_FMA_SITE double fma_exact(double a, double b, double c) noexcept;
double fma_software(double a, double b, double c) noexcept;

}  // namespace tallix
