// HistogramF64: a value's bin by binary search over the edges' total-order
// keys (eight searches in flight in a batch), saturating counts, and the
// form of byte form note 5.
#include "hist.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "acc.hpp"
#include "binary64.hpp"
#include "byte_forms.hpp"

namespace tallix {

namespace {

bool finite(double x) { return is_finite_bits(std::bit_cast<uint64_t>(x)); }

bool strictly_increasing(std::span<const double> edges) {
  for (size_t i = 1; i < edges.size(); ++i) {
    if (order_key(edges[i - 1]) >= order_key(edges[i])) return false;
  }
  return true;
}

bool same_bits(std::span<const double> a, std::span<const double> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<uint64_t>(a[i]) != std::bit_cast<uint64_t>(b[i])) return false;
  }
  return true;
}

std::vector<int64_t> sorted_keys_of(std::span<const double> edges) {
  std::vector<int64_t> keys(edges.size());
  std::transform(edges.begin(), edges.end(), keys.begin(), order_key);
  std::sort(keys.begin(), keys.end());
  return keys;
}

// bin_of for a group of G keys against sorted keys: the number of keys at or
// below each. The group's searches run in lockstep so their loads overlap.
template <size_t G>
void bins_of_group(const std::vector<int64_t>& keys, const int64_t* k, size_t* out) noexcept {
  size_t pos[G] = {};
  size_t n = keys.size();
  for (; n > 1; n -= n / 2) {
    size_t half = n / 2;
    for (size_t g = 0; g < G; ++g) pos[g] += keys[pos[g] + half - 1] <= k[g] ? half : 0;
  }
  for (size_t g = 0; g < G; ++g) out[g] = pos[g] + (n == 1 && keys[pos[g]] <= k[g]);
}

}  // namespace

Result<HistogramF64> HistogramF64::create(std::span<const double> edges) {
  const Rejection bad_edges{"edges must be sorted, finite, len>=2"};
  if (edges.size() < 2 || edges.size() > UINT32_MAX) return bad_edges;
  for (double e : edges) {
    if (!finite(e)) return bad_edges;
  }
  if (!strictly_increasing(edges)) return bad_edges;
  HistogramF64 h;
  h.edges.assign(edges.begin(), edges.end());
  h.counts.assign(edges.size() + 1, 0);
  h.sorted_keys = sorted_keys_of(h.edges);
  return h;
}

size_t HistogramF64::bin_of(double x) const noexcept {
  return static_cast<size_t>(
      std::upper_bound(sorted_keys.begin(), sorted_keys.end(), order_key(x)) - sorted_keys.begin());
}

void HistogramF64::add(double x) noexcept {
  if (is_nan(x)) {
    nan_count = saturating_add(nan_count, 1);
    return;
  }
  uint64_t& c = counts[bin_of(x)];
  c = saturating_add(c, 1);
}

Status HistogramF64::merge(const HistogramF64& other) noexcept {
  if (!same_bits(edges, other.edges)) return Rejection{"histogram edges differ"};
  for (size_t i = 0; i < counts.size(); ++i) counts[i] = saturating_add(counts[i], other.counts[i]);
  nan_count = saturating_add(nan_count, other.nan_count);
  undefined = undefined || other.undefined;
  return {};
}

Result<std::vector<uint64_t>> HistogramF64::try_counts() const {
  if (undefined) return InputError::Undefined;
  return counts;
}

uint64_t HistogramF64::total() const noexcept {
  uint64_t t = 0;
  for (uint64_t c : counts) t = saturating_add(t, c);
  return t;
}

Result<std::pair<double, double>> HistogramF64::try_quantile_bounds(double q) const noexcept {
  if (undefined) return InputError::Undefined;
  if (!(q >= 0.0 && q <= 1.0)) return InputError::Undefined;  // also refuses NaN
  uint64_t t_all = total();
  if (t_all == 0) return InputError::Undefined;
  // The rank is ceil(q * T) in binary64, as the documented rule states.
  double scaled = std::ceil(static_cast<double>(t_all) * q);
  uint64_t t = scaled >= 0x1p64 ? UINT64_MAX : static_cast<uint64_t>(scaled);
  uint64_t rank = t == 0 ? 1 : std::min(t, t_all);
  size_t j = 0;
  for (uint64_t running = 0; j < counts.size(); ++j) {
    running = saturating_add(running, counts[j]);
    if (running >= rank) break;
  }
  if (j == 0 || j >= edges.size()) return InputError::Undefined;
  return std::pair{edges[j - 1], edges[j]};
}

void HistogramF64::encode_into(ByteWriter& w) const {
  w.out.reserve(w.out.size() + histogram_bytes(edges.size()));  // byte form note 5
  w.u32(static_cast<uint32_t>(edges.size()));  // create and decode keep n below 2^32
  w.u8(undefined);
  for (double e : edges) w.f64(e);
  for (uint64_t c : counts) w.u64(c);
  w.u64(nan_count);
}

Result<HistogramF64> HistogramF64::decode(ByteView b) {
  if (b.size() < kHistogramHeaderBytes || b[4] > 1) return InputError::Undefined;
  ByteReader r{b};
  uint64_t n = r.u32();
  // The length is checked before anything is allocated, so the allocation
  // never exceeds what the input itself justifies.
  if (n == 0 || b.size() != histogram_bytes(n)) return InputError::Undefined;
  HistogramF64 h;
  h.undefined = r.boolean();
  h.edges.resize(n);
  for (double& e : h.edges) e = r.f64();
  h.counts.resize(n + 1);
  for (uint64_t& c : h.counts) c = r.u64();
  h.nan_count = r.u64();
  h.sorted_keys = sorted_keys_of(h.edges);
  return h;
}

void HistogramF64::extend(std::span<const double> xs) noexcept {
  const std::vector<int64_t>& keys = sorted_keys;
  if (keys.empty()) {
    for (double x : xs) add(x);
    return;
  }
  constexpr size_t G = 8;  // searches in flight at once
  for (size_t at = 0; at < xs.size(); at += G) {
    size_t n = std::min(G, xs.size() - at);
    int64_t k[G];
    size_t bin[G];
    for (size_t g = 0; g < G; ++g) k[g] = order_key(xs[at + std::min(g, n - 1)]);
    bins_of_group<G>(keys, k, bin);
    for (size_t g = 0; g < n; ++g) {
      uint64_t& c = is_nan(xs[at + g]) ? nan_count : counts[bin[g]];
      c = saturating_add(c, 1);
    }
  }
}

}  // namespace tallix
