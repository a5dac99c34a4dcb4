// ExtremaF64: the least and greatest value in IEEE totalOrder, a batch as one
// pass over the keys, and the form of byte form note 6.
#include "lattice.hpp"

#include <algorithm>

#include "acc.hpp"
#include "byte_forms.hpp"

namespace tallix {

namespace {

double lower(double a, double b) noexcept { return order_key(b) < order_key(a) ? b : a; }
double higher(double a, double b) noexcept { return order_key(b) > order_key(a) ? b : a; }

}  // namespace

void ExtremaF64::add(double x) noexcept {
  count = saturating_add(count, 1);
  if (is_nan(x)) {
    nan = true;
    return;
  }
  if (!seen) {
    min = max = x;
    seen = true;
    return;
  }
  min = lower(min, x);
  max = higher(max, x);
}

void ExtremaF64::merge(const ExtremaF64& other) noexcept {
  count = saturating_add(count, other.count);
  nan = nan || other.nan;
  if (!other.seen) return;
  if (!seen) {
    min = other.min;
    max = other.max;
    seen = true;
    return;
  }
  // Keys are a bijection of bit patterns, so ties pick identical bits and the
  // result does not depend on which side is the receiver.
  min = lower(min, other.min);
  max = higher(max, other.max);
}

Result<double> ExtremaF64::try_min() const noexcept {
  if (nan || !seen) return InputError::Undefined;
  return min;
}

Result<double> ExtremaF64::try_max() const noexcept {
  if (nan || !seen) return InputError::Undefined;
  return max;
}

Result<double> ExtremaF64::try_range() const noexcept {
  if (nan || !seen) return InputError::Undefined;
  return max - min;
}

void ExtremaF64::encode_into(ByteWriter& w) const {
  w.f64(min);
  w.f64(max);
  w.u8(static_cast<uint8_t>((nan ? kExtremaNanFlag : 0) | (seen ? kExtremaSeenFlag : 0)));
  w.u64(count);
}

bool ExtremaF64::decode_from(ByteReader& r, ExtremaF64& e) {
  uint64_t min_bits = r.u64();
  uint64_t max_bits = r.u64();
  uint8_t flags = r.u8();
  e.count = r.u64();
  e.nan = flags & kExtremaNanFlag;
  e.seen = flags & kExtremaSeenFlag;
  e.min = std::bit_cast<double>(min_bits);
  e.max = std::bit_cast<double>(max_bits);
  // An empty state has exactly one form: both patterns zero.
  return r.ok && (flags & ~(kExtremaNanFlag | kExtremaSeenFlag)) == 0 &&
         (e.seen || (min_bits == 0 && max_bits == 0));
}

Result<ExtremaF64> ExtremaF64::from_bytes(ByteView b) {
  return decode_fixed<ExtremaF64>(b, kExtremaBytes);
}

void ExtremaF64::extend(std::span<const double> xs) noexcept {
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  bool any_nan = false, any = false;
  for (double x : xs) {
    bool skip = is_nan(x);
    int64_t k = order_key(x);
    any_nan |= skip;
    any |= !skip;
    lo = skip ? lo : std::min(lo, k);
    hi = skip ? hi : std::max(hi, k);
  }
  count = add_count(count, xs.size(), 1);
  nan = nan || any_nan;
  if (!any) return;
  double lo_x = from_key(lo), hi_x = from_key(hi);
  if (!seen) {
    min = lo_x;
    max = hi_x;
    seen = true;
    return;
  }
  if (lo < order_key(min)) min = lo_x;
  if (hi > order_key(max)) max = hi_x;
}

}  // namespace tallix
