// The one place that reads the processor's features and picks the kernel
// forms from them.
#include "cpu.hpp"
#include "table.hpp"

namespace tallix {

namespace {

CpuFeatures detect() noexcept {
  CpuFeatures f;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  f.fma3 = __builtin_cpu_supports("fma");
  f.fma4 = __builtin_cpu_supports("fma4");
  f.avx2 = f.fma3 && __builtin_cpu_supports("avx2");
  f.avx512 = f.avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  f.ifma = f.avx512 && __builtin_cpu_supports("avx512ifma") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("avx512vl");
#endif
  return f;
}

using ExtractProducts = decltype(Kernels::extract_products);

Kernels extracting_products_by(Kernels k, ExtractProducts extract) noexcept {
  k.extract_products = extract;
  return k;
}

#if defined(TALLIX_SOFTWARE_FMA)
// Reproducibility builds form every product with the software fma.
Kernels with_software_products(Kernels k) noexcept {
  k.products = portable_kernels().products;
  k.square_split = portable_kernels().square_split;
  k.place_products = portable_kernels().place_products;
  k.place_exact_products = nullptr;
  return extracting_products_by(k, nullptr);
}
#endif

// The portable form, its products split by the processor's fma where it has
// one (the scalar products' fma_exact chooses alike).
const Kernels& portable() noexcept {
#if defined(__x86_64__) && !defined(TALLIX_SOFTWARE_FMA)
  static const Kernels with_fma =
      extracting_products_by(portable_kernels(), extract_products_portable_fma);
  if (cpu_features().fma3) return with_fma;
#endif
  return portable_kernels();
}

// Without IFMA, AVX-512 has no exact pair rows; its products are extracted
// as AVX2's are (bank placement of products, which extraction replaces, is
// slower in any width).
const Kernels& vector_avx512() noexcept {
  static const Kernels extracting =
      extracting_products_by(avx512_kernels(), avx2_kernels().extract_products);
  return cpu_features().ifma ? avx512_ifma_kernels() : extracting;
}

const Kernels& table(Isa isa) noexcept {
#if defined(TALLIX_SOFTWARE_FMA)
  static const Kernels avx512 = with_software_products(vector_avx512());
  static const Kernels avx2 = with_software_products(avx2_kernels());
#else
  const Kernels& avx512 = vector_avx512();
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
  return portable();
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

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = detect();
  return features;
}

bool isa_supported(Isa isa) noexcept {
  switch (isa) {
    case Isa::Avx512:
      return cpu_features().avx512;
    case Isa::Avx2:
      return cpu_features().avx2;
    case Isa::Portable:
      break;
  }
  return true;
}

Isa active_isa() noexcept { return active_slot(); }

const Kernels& active_kernels() noexcept { return table(active_slot()); }

bool select_isa(Isa isa) noexcept {
  if (!isa_supported(isa)) return false;
  active_slot() = isa;
  return true;
}

}  // namespace tallix
