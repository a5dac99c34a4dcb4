// Correctly rounded fused multiply-add, the one operation of the product
// split (bank.hpp, note 5) beyond single IEEE operations.
#pragma once

namespace tallix {

// Chosen once per process (hardware instruction or the exact software
// routine; both give the same bits).
double fma_exact(double a, double b, double c) noexcept;
double fma_software(double a, double b, double c) noexcept;

}  // namespace tallix
