// The portable form of the batch kernels: bank placement one value at a
// time, the reference the vector forms must match bit for bit, and
// extraction two values at a time in the baseline vector instructions (SSE2
// on x86-64, NEON on aarch64).
#include <cmath>

#include "../binary64.hpp"
#include "fma.hpp"
#include "place.hpp"
#include "table.hpp"

#define TALLIX_LANES_TARGET  // the baseline instruction set
#include "lanes.hpp"

#if defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace tallix {

namespace {

void place_portable(const double* xs, size_t n, Bank* const* banks, Bank& flags) noexcept {
  int64_t* bins[4] = {banks[0]->bins.data(), banks[1]->bins.data(), banks[2]->bins.data(),
                      banks[3]->bins.data()};
  place::place_rest(xs, 0, n, bins, flags);
}

void absorb_portable(Bank& into, Bank& from) noexcept { place::absorb_scalar(into, from); }

BinRange bin_range_portable(const Bank& bank) noexcept { return place::bin_range_scan(bank); }

void round_f32_portable(const double* xs, size_t n, double* out) noexcept {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<double>(static_cast<float>(xs[i]));
}

bool products_portable(const double* a, const double* b, size_t n, double* p, double* e) noexcept {
  bool lost = false;
  for (size_t i = 0; i < n; ++i) {
    double pi = a[i] * b[i];
    p[i] = pi;
    e[i] = std::isinf(pi) ? 0.0 : fma_exact(a[i], b[i], -pi);
    lost |= split_loses_exactness(a[i], b[i], pi);
  }
  return lost;
}

bool square_split_portable(const double* x, size_t n, double* p, double* e) noexcept {
  bool lost = false;
  for (size_t i = 0; i < n; ++i) {
    p[i] = x[i] * x[i];
    e[i] = fma_exact(x[i], x[i], -p[i]);
    lost |= split_loses_exactness(x[i], x[i], p[i]);
  }
  return lost;
}

bool place_products_portable(const double* a, const double* b, size_t n, Bank* const* banks,
                             Bank& flags) noexcept {
  return place::place_products_chunked(portable_kernels(), a, b, n, banks, flags);
}

#if defined(__x86_64__) || defined(__aarch64__)
#define TALLIX_PORTABLE_EXTRACTION 1
using F2 = lanes::Lanes<2>::F;

#if defined(__aarch64__)
// Every aarch64 processor has the fused multiply-add in its vector unit.
struct Form : lanes::PlainAdds<2> {
  static constexpr bool kErrorsMayOverflow = false;
  TALLIX_LANES_INLINE TALLIX_FMA_SITE static F2 error(F2 x, F2 y, F2 p) noexcept {
    return std::bit_cast<F2>(vfmaq_f64(std::bit_cast<float64x2_t>(-p),
                                       std::bit_cast<float64x2_t>(x),
                                       std::bit_cast<float64x2_t>(y)));
  }
};
#else
// The x86-64 baseline has no fused multiply-add: Dekker's product, whose
// error is exact, and so equal to the fma's, wherever the fma's is (bits at
// or above 2^-1074, which the block's checks ensure) and nothing overflows,
// subnormals included (Boldo, "Pitfalls of a full floating-point proof:
// example on the formal proof of the Veltkamp/Dekker algorithms", IJCAR
// 2006). An overflow anywhere leaves an infinity or a NaN in the error,
// which sends the block to the banks.
struct Form : lanes::PlainAdds<2> {
  static constexpr bool kErrorsMayOverflow = true;
  TALLIX_LANES_INLINE static F2 error(F2 x, F2 y, F2 p) noexcept {
    const F2 split = lanes::splat<F2>(0x1p27 + 1);
    F2 tx = x * split, ty = y * split;
    F2 xh = tx - (tx - x), yh = ty - (ty - y);
    F2 xl = x - xh, yl = y - yh;
    return (((xh * yh - p) + xh * yl) + xl * yh) + xl * yl;
  }
};
#endif

size_t extract_sum_portable(const double* xs, size_t n, Limbs& limbs) noexcept {
  return lanes::extract_sum<Form>(xs, n, limbs);
}

#if !defined(TALLIX_SOFTWARE_FMA)  // there every product goes through the software fma
TALLIX_FMA_SITE size_t extract_products_portable(const double* a, const double* b, size_t n,
                                                 Limbs& limbs) noexcept {
  return lanes::extract_products<Form>(a, b, n, limbs);
}
#endif
#endif

constexpr Kernels kPortable{
    .place = place_portable,
    .absorb = absorb_portable,
    .bin_range = bin_range_portable,
    .round_f32 = round_f32_portable,
    .products = products_portable,
    .square_split = square_split_portable,
    .place_products = place_products_portable,
    .place_exact_products = nullptr,
#if defined(TALLIX_PORTABLE_EXTRACTION) && defined(TALLIX_SOFTWARE_FMA)
    .extract_sum = extract_sum_portable,
    .extract_products = nullptr,  // every product through the software fma
#elif defined(TALLIX_PORTABLE_EXTRACTION)
    .extract_sum = extract_sum_portable,
    .extract_products = extract_products_portable,
#else
    .extract_sum = nullptr,
    .extract_products = nullptr,
#endif
};

}  // namespace

const Kernels& portable_kernels() noexcept { return kPortable; }

}  // namespace tallix
