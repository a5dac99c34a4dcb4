// SumF64 and SumF32: single adds straight into the limbs, batches through
// the banked adder, values rounded once, and the form of byte form note 1.
#include "acc.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "binary64.hpp"
#include "byte_forms.hpp"
#include "kernels/banked_adder.hpp"
#include "kernels/table.hpp"

namespace tallix {

namespace {

constexpr double kNaN64 = std::bit_cast<double>(uint64_t{0x7FF8000000000000});

}  // namespace

void SumF64::add(double x) noexcept {
  count = saturating_add(count, 1);
  add_uncounted(x);
}

void SumF64::add_uncounted(double x) noexcept {
  uint64_t bits = std::bit_cast<uint64_t>(x);
  uint64_t biased = biased_exponent(bits);
  uint64_t frac = bits & kFracMask;
  bool neg = (bits & kSignBit) != 0;
  if (biased == 2047) {
    if (frac != 0)
      nan = true;
    else if (neg)
      neg_inf = true;
    else
      pos_inf = true;
    return;
  }
  if (biased == 0) {
    if (frac == 0) return;
    add_shifted(limbs, frac, 0, neg);
  } else {
    add_shifted(limbs, frac | kHiddenBit, static_cast<unsigned>(biased - 1), neg);
  }
}

void SumF64::extend(std::span<const double> xs) noexcept {
  BankedAdder adder(*this);
  adder.add(xs);
  adder.finish();
  count = add_count(count, xs.size(), 1);
}

void SumF64::merge(const SumF64& other) noexcept {
  add_limbs(limbs, other.limbs);
  nan |= other.nan;
  pos_inf |= other.pos_inf;
  neg_inf |= other.neg_inf;
  count = saturating_add(count, other.count);
}

bool SumF64::try_unmerge(const SumF64& other) noexcept {
  if (!other.finite() || other.count > count) return false;
  sub_limbs(limbs, other.limbs);
  count -= other.count;
  return true;
}

double SumF64::value() const noexcept {
  if (nan || (pos_inf && neg_inf)) return kNaN64;
  if (pos_inf) return std::numeric_limits<double>::infinity();
  if (neg_inf) return -std::numeric_limits<double>::infinity();
  bool neg = is_negative(limbs);
  return round_mag(neg ? negate(limbs) : limbs, neg, 52, -1022, 1023);
}

float SumF32::value() const noexcept {
  const SumF64& s = sum;
  if (s.nan || (s.pos_inf && s.neg_inf)) return std::bit_cast<float>(uint32_t{0x7FC00000});
  if (s.pos_inf) return std::numeric_limits<float>::infinity();
  if (s.neg_inf) return -std::numeric_limits<float>::infinity();
  bool neg = is_negative(s.limbs);
  // round_mag already rounded to binary32, so narrowing is exact.
  return static_cast<float>(round_mag(neg ? negate(s.limbs) : s.limbs, neg, 23, -126, 127));
}

void SumF32::extend(std::span<const double> xs) noexcept {
  // Values rounded to binary32 at a time: a 4 KiB scratch array on the
  // stack, read back from the first-level cache by the banked adder.
  constexpr size_t kRoundChunk = 512;
  const Kernels& k = active_kernels();
  double rounded[kRoundChunk];
  BankedAdder adder(sum);
  for (size_t at = 0; at < xs.size(); at += kRoundChunk) {
    size_t n = std::min(kRoundChunk, xs.size() - at);
    k.round_f32(xs.data() + at, n, rounded);
    adder.add(std::span<const double>(rounded, n));
  }
  adder.finish();
  sum.count = add_count(sum.count, xs.size(), 1);
}

uint8_t SumF64::flag_bits() const noexcept {
  // Byte form note 1.
  return static_cast<uint8_t>((nan ? kNanFlag : 0) | (pos_inf ? kPosInfFlag : 0) |
                              (neg_inf ? kNegInfFlag : 0));
}

void SumF64::encode_into(ByteWriter& w) const {
  for (uint64_t limb : limbs) w.u64(limb);
  w.u8(flag_bits());
  w.u64(count);
}

bool SumF64::decode_from(ByteReader& r, SumF64& out) {
  for (uint64_t& limb : out.limbs) limb = r.u64();
  uint8_t flags = r.u8();
  out.count = r.u64();
  if (flags & ~kSumFlagsMask) r.ok = false;
  out.nan = flags & kNanFlag;
  out.pos_inf = flags & kPosInfFlag;
  out.neg_inf = flags & kNegInfFlag;
  return r.ok;
}

Result<SumF64> SumF64::from_bytes(ByteView b) { return decode_fixed<SumF64>(b, kSumBytes); }

}  // namespace tallix
