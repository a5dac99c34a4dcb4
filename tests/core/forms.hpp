// Helpers of the core tests that run on every kernel form: values of every
// kind, and a loop over the forms this processor has.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "check.hpp"
#include "kernels/table.hpp"

namespace forms {

inline std::vector<double> wide_values(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> xs(n);
  for (double& x : xs) {
    // Any bit pattern: every exponent, subnormals, zeros, NaNs and infinities.
    x = std::bit_cast<double>(rng());
    if (rng() % 64 == 0) x = 0.0;
  }
  return xs;
}

inline std::vector<double> finite_values(size_t n, uint32_t seed) {
  std::vector<double> xs = wide_values(n, seed);
  for (double& x : xs)
    if (!std::isfinite(x)) x = 1.5;
  return xs;
}

inline std::vector<tallix::Isa> available_isas() {
  using tallix::Isa;
  std::vector<Isa> out{Isa::Portable};
  for (Isa isa : {Isa::Avx2, Isa::Avx512})
    if (tallix::isa_supported(isa)) out.push_back(isa);
  return out;
}

// Runs body once per kernel form, restoring the default afterwards.
template <class F>
void for_each_isa(F body) {
  tallix::Isa saved = tallix::active_isa();
  for (tallix::Isa isa : available_isas()) {
    CHECK(tallix::select_isa(isa));
    body();
  }
  tallix::select_isa(saved);
}

}  // namespace forms
