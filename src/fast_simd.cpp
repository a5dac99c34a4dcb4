#include "fast_simd.hpp"

#include <cmath>

#include "binary64.hpp"
#include "fast_place.hpp"

namespace tallix {

namespace {

void place_portable(const double* xs, size_t n, Bank* const* banks, Bank& flags) noexcept {
  int64_t* bins[4] = {banks[0]->bins.data(), banks[1]->bins.data(), banks[2]->bins.data(),
                      banks[3]->bins.data()};
  place::place_rest(xs, 0, n, bins, flags);
}

void absorb_portable(Bank& into, Bank& from) noexcept { place::absorb_bins(into, from); }

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

constexpr Kernels kPortable{
    place_portable,    absorb_portable,       bin_range_portable,      round_f32_portable,
    products_portable, square_split_portable, place_products_portable, nullptr};

#if defined(TALLIX_SOFTWARE_FMA)
// Reproducibility builds form every product with the software fma.
Kernels with_software_products(Kernels k) noexcept {
  k.products = kPortable.products;
  k.square_split = kPortable.square_split;
  k.place_products = kPortable.place_products;
  k.place_exact_products = nullptr;
  return k;
}
#endif

const Kernels& table(Isa isa) noexcept {
#if defined(TALLIX_SOFTWARE_FMA)
  static const Kernels avx512 = with_software_products(avx512_kernels());
  static const Kernels avx2 = with_software_products(avx2_kernels());
#else
  const Kernels& avx512 = avx512_kernels();
  const Kernels& avx2 = avx2_kernels();
#endif
  switch (isa) {
    case Isa::Avx512:
      return avx512;
    case Isa::Avx2:
      return avx2;
    case Isa::Portable:
      break;
  }
  return kPortable;
}

Isa best_isa() noexcept {
  if (isa_supported(Isa::Avx512)) return Isa::Avx512;
  if (isa_supported(Isa::Avx2)) return Isa::Avx2;
  return Isa::Portable;
}

Isa& active_slot() noexcept {
  static Isa isa = best_isa();
  return isa;
}

}  // namespace

const Kernels& portable_kernels() noexcept { return kPortable; }

bool isa_supported(Isa isa) noexcept {
  if (isa == Isa::Portable) return true;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  if (isa == Isa::Avx2) return avx2;
  return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#else
  return false;
#endif
}

Isa active_isa() noexcept { return active_slot(); }

const Kernels& active_kernels() noexcept { return table(active_slot()); }

bool select_isa(Isa isa) noexcept {
  if (!isa_supported(isa)) return false;
  active_slot() = isa;
  return true;
}

}  // namespace tallix
