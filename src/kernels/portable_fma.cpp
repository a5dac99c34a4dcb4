// The portable form's extracted products on an x86-64 processor that has the
// fused multiply-add: the baseline's two lanes, the error of each product
// from the fma instead of Dekker's seventeen operations. It is the shape of
// the code aarch64 runs, and what processors with FMA but no AVX2 use.
#include "table.hpp"

#if defined(__x86_64__) && !defined(TALLIX_SOFTWARE_FMA)

#include <immintrin.h>

#include "fma.hpp"

#define TALLIX_LANES_TARGET __attribute__((target("fma")))
#include "lanes.hpp"

namespace tallix {

namespace {

using F2 = lanes::Lanes<2>::F;

struct FmaForm : lanes::PlainAdds<2> {
  static constexpr bool kErrorsMayOverflow = false;
  TALLIX_LANES_INLINE TALLIX_FMA_SITE static F2 error(F2 x, F2 y, F2 p) noexcept {
    return _mm_fmsub_pd(x, y, p);
  }
};

}  // namespace

TALLIX_FMA_SITE __attribute__((target("fma"))) size_t
extract_products_portable_fma(const double* a, const double* b, size_t n, Limbs& limbs) noexcept {
  return lanes::extract_products<FmaForm>(a, b, n, limbs);
}

}  // namespace tallix

#endif
