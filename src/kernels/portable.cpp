// The portable form of the batch kernels: one value at a time, the
// reference the vector forms must match bit for bit.
#include <cmath>

#include "../binary64.hpp"
#include "fma.hpp"
#include "place.hpp"
#include "table.hpp"

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

constexpr Kernels kPortable{
    .place = place_portable,
    .absorb = absorb_portable,
    .bin_range = bin_range_portable,
    .round_f32 = round_f32_portable,
    .products = products_portable,
    .square_split = square_split_portable,
    .place_products = place_products_portable,
    .place_exact_products = nullptr,
    .extract_sum = nullptr,
};

}  // namespace

const Kernels& portable_kernels() noexcept { return kPortable; }

}  // namespace tallix
