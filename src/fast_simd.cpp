#include "fast_simd.hpp"

#include <immintrin.h>

#include <bit>
#include <cmath>

namespace tallix {

namespace {

constexpr uint64_t kFracMask = (uint64_t{1} << 52) - 1;
constexpr uint64_t kMinNormalBits = uint64_t{1} << 52;  // 2^-1022

// ---- portable forms ----

void decode_portable(const double* xs, size_t n, Decoded& out, Bank& flags) noexcept {
  for (size_t i = 0; i < n; ++i) {
    uint64_t bits = std::bit_cast<uint64_t>(xs[i]);
    bool finite = ((bits >> 52) & 0x7FF) != 0x7FF;
    if (!finite) [[unlikely]]
      flags.note_special(bits);
    Split v = split_value(bits, finite);
    out.bin[i] = v.bin;
    out.lo[i] = v.lo;
    out.hi[i] = v.hi;
  }
}

void round_f32_portable(const double* xs, size_t n, double* out) noexcept {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<double>(static_cast<float>(xs[i]));
}

// Whether a product of non-zero factors (a NaN counts as non-zero) fell below
// the normal range, where its fma error may not be exact.
inline bool lost_exactness(double a, double b, double p) noexcept {
  uint64_t mag = std::bit_cast<uint64_t>(p) & ~(uint64_t{1} << 63);
  return a != 0.0 && b != 0.0 && mag < kMinNormalBits;
}

bool products_portable(const double* a, const double* b, size_t n, double* p, double* e) noexcept {
  bool lost = false;
  for (size_t i = 0; i < n; ++i) {
    double pi = a[i] * b[i];
    bool inf = std::isinf(pi);
    p[i] = pi;
    e[i] = inf ? 0.0 : std::fma(a[i], b[i], -pi);
    lost |= lost_exactness(a[i], b[i], pi);
  }
  return lost;
}

// ---- AVX2 forms ----

__attribute__((target("avx2"))) void decode_avx2(const double* xs, size_t n, Decoded& out,
                                                 Bank& flags) noexcept {
  const __m256i exp_mask = _mm256_set1_epi64x(0x7FF);
  const __m256i frac_mask = _mm256_set1_epi64x(static_cast<int64_t>(kFracMask));
  const __m256i hidden = _mm256_set1_epi64x(int64_t{1} << 52);
  const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFF);
  const __m256i c31 = _mm256_set1_epi64x(31);
  const __m256i c32 = _mm256_set1_epi64x(32);
  const __m256i ones = _mm256_set1_epi64x(-1);
  const __m256i zero = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(xs + i));
    __m256i e = _mm256_and_si256(_mm256_srli_epi64(bits, 52), exp_mask);
    __m256i special = _mm256_cmpeq_epi64(e, exp_mask);
    if (!_mm256_testz_si256(special, special)) [[unlikely]] {
      for (size_t k = i; k < i + 4; ++k) {
        uint64_t b = std::bit_cast<uint64_t>(xs[k]);
        if (((b >> 52) & 0x7FF) == 0x7FF) flags.note_special(b);
      }
    }
    __m256i normal = _mm256_xor_si256(_mm256_cmpeq_epi64(e, zero), ones);
    __m256i m = _mm256_or_si256(_mm256_and_si256(bits, frac_mask), _mm256_and_si256(normal, hidden));
    m = _mm256_andnot_si256(special, m);
    __m256i p = _mm256_add_epi64(e, normal);  // e - 1 for normal values
    __m256i s = _mm256_and_si256(p, c31);
    __m256i lo = _mm256_and_si256(_mm256_sllv_epi64(m, s), low32);
    __m256i hi = _mm256_srlv_epi64(m, _mm256_sub_epi64(c32, s));
    __m256i neg = _mm256_cmpgt_epi64(zero, bits);
    lo = _mm256_sub_epi64(_mm256_xor_si256(lo, neg), neg);
    hi = _mm256_sub_epi64(_mm256_xor_si256(hi, neg), neg);
    _mm256_store_si256(reinterpret_cast<__m256i*>(out.bin + i), _mm256_srli_epi64(p, 5));
    _mm256_store_si256(reinterpret_cast<__m256i*>(out.lo + i), lo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(out.hi + i), hi);
  }
  if (i < n) {
    Decoded tail;
    decode_portable(xs + i, n - i, tail, flags);
    for (size_t k = 0; k < n - i; ++k) {
      out.bin[i + k] = tail.bin[k];
      out.lo[i + k] = tail.lo[k];
      out.hi[i + k] = tail.hi[k];
    }
  }
}

__attribute__((target("avx2"))) void round_f32_avx2(const double* xs, size_t n,
                                                    double* out) noexcept {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256d x = _mm256_loadu_pd(xs + i);
    _mm256_storeu_pd(out + i, _mm256_cvtps_pd(_mm256_cvtpd_ps(x)));
  }
  round_f32_portable(xs + i, n - i, out + i);
}

__attribute__((target("avx2,fma"))) bool products_avx2(const double* a, const double* b, size_t n,
                                                      double* p, double* e) noexcept {
  const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
  const __m256d inf = _mm256_set1_pd(INFINITY);
  const __m256d min_normal = _mm256_set1_pd(0x1p-1022);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d sign = _mm256_set1_pd(-0.0);
  __m256d lost = zero;
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256d x = _mm256_loadu_pd(a + i);
    __m256d y = _mm256_loadu_pd(b + i);
    __m256d pi = _mm256_mul_pd(x, y);
    __m256d err = _mm256_fmadd_pd(x, y, _mm256_xor_pd(pi, sign));
    __m256d mag = _mm256_and_pd(pi, abs_mask);
    err = _mm256_andnot_pd(_mm256_cmp_pd(mag, inf, _CMP_EQ_OQ), err);
    // Non-zero factors (NaN included: unordered compares as not equal).
    __m256d nonzero = _mm256_and_pd(_mm256_cmp_pd(x, zero, _CMP_NEQ_UQ),
                                    _mm256_cmp_pd(y, zero, _CMP_NEQ_UQ));
    lost = _mm256_or_pd(lost, _mm256_and_pd(nonzero, _mm256_cmp_pd(mag, min_normal, _CMP_LT_OQ)));
    _mm256_storeu_pd(p + i, pi);
    _mm256_storeu_pd(e + i, err);
  }
  bool tail_lost = products_portable(a + i, b + i, n - i, p + i, e + i);
  return tail_lost || _mm256_movemask_pd(lost) != 0;
}

constexpr Kernels kPortable{decode_portable, round_f32_portable, products_portable};
constexpr Kernels kAvx2{decode_avx2, round_f32_avx2, products_avx2};

const Kernels& table(Isa isa) noexcept { return isa == Isa::Avx2 ? kAvx2 : kPortable; }

Isa best_isa() noexcept {
  return isa_supported(Isa::Avx2) ? Isa::Avx2 : Isa::Portable;
}

Isa& active_slot() noexcept {
  static Isa isa = best_isa();
  return isa;
}

}  // namespace

bool isa_supported(Isa isa) noexcept {
  if (isa == Isa::Portable) return true;
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

Isa active_isa() noexcept { return active_slot(); }

const Kernels& active_kernels() noexcept { return table(active_slot()); }

bool select_isa(Isa isa) noexcept {
  if (!isa_supported(isa)) return false;
  active_slot() = isa;
  return true;
}

}  // namespace tallix
