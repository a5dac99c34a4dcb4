// The grouped states of grouped.hpp, and their records:
//
//   moments, compact: u8 0, u8 squares, u64 n, u64 missing, u16 sum_at,
//                     u16 squares_at (0xFFFF: unplaced), the sum's 5 words,
//                     the squares' 8 words
//   moments, banded:  u8 1, u8 squares, u64 n, u64 missing, u32 parts, and
//                     per part its scale (u64, two's complement) and the
//                     563-byte form of its MomentsF64
//   integers:         u8 2, u64 n, u64 missing, Σx (two words), Σx² (three)
//
// Records are read back checked: a record that no group could have written
// is refused before anything changes.
#include "grouped.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "../binary64.hpp"
#include "narrow.hpp"

namespace tallix {

namespace {

enum RecordTag : uint8_t { kCompactRecord = 0, kBandedRecord = 1, kIntegerRecord = 2 };

// Note 3 of compact.hpp: the values whose squares stay exact unscaled.
bool squares_in_range(double x) {
  const uint64_t biased = biased_exponent(std::bit_cast<uint64_t>(x));
  return biased >= 1023 - 485 && biased <= 1023 + 510;
}

// The bands of 512 binades and their scales, as the companion's answers
// take them: each band's values, scaled, lie within 2^±256.
constexpr int kLowestExponent = -1074, kBandBits = 512;

int64_t band_scale(double x) {
  int e = 0;
  std::frexp(x, &e);
  const int band = (e - kLowestExponent) / kBandBits;
  const int low = kLowestExponent + band * kBandBits, high = std::min(low + kBandBits, 1025);
  return -((low + high) / 2);
}

constexpr uint32_t kMaxParts = 8;  // scale 0 and at most five bands

// A compact group's answer read from its words, where the fixed-width path
// gives one; the full state answers the rest alike.
std::optional<double> compact_answer(const CompactMoments& c, uint64_t n, MomentAnswer what,
                                     double ddof, Precision precision) {
  const bool binary32 = precision == Precision::Binary32;
  const int at = c.sum_at == CompactMoments::kUnplaced ? 0 : c.sum_at;
  const int at2 = c.squares_at == CompactMoments::kUnplaced ? 0 : c.squares_at;
  const PlacedWords sum{c.sum.data(), CompactMoments::kSumWords, at};
  const PlacedWords squares{c.squares.data(), CompactMoments::kSquareWords, at2};
  switch (what) {
    case MomentAnswer::Sum:
      return narrow_sum(sum, binary32);
    case MomentAnswer::Mean:
      return narrow_mean(sum, n, binary32);
    case MomentAnswer::Var:
    case MomentAnswer::Std:
      return narrow_spread(sum, squares, n, ddof, what == MomentAnswer::Std, binary32);
  }
  return std::nullopt;
}

Rejection bad_record() { return Rejection{"not a record of a group of this kind"}; }

}  // namespace

// ---- banded groups -----------------------------------------------------------

MomentsF64& BandedMoments::part(int64_t scale) {
  for (auto& [s, state] : parts)
    if (s == scale) return state;
  return parts.emplace_back(scale, MomentsF64{}).second;
}

void BandedMoments::add(double x) noexcept {
  if (!std::isfinite(x) || x == 0 || squares_in_range(x)) {
    part(0).add(x);
    return;
  }
  const int64_t scale = band_scale(x);
  part(scale).add(std::ldexp(x, static_cast<int>(scale)));  // exact: the result is normal
}

void BandedMoments::remove(double x) noexcept {
  const int64_t scale = squares_in_range(x) ? 0 : band_scale(x);
  const double scaled = std::ldexp(x, static_cast<int>(scale));
  MomentsF64& p = part(scale);
  p.sum_x.add(-scaled);
  p.sum_xx.push(scaled, -scaled);
}

void BandedMoments::merge(const BandedMoments& other) {
  for (const auto& [scale, state] : other.parts) part(scale).merge(state);
}

// ---- counts ---------------------------------------------------------------------

size_t GroupCounts::first_bad_code(std::span<const int64_t> codes) const {
  const auto limit = static_cast<int64_t>(count());
  for (size_t i = 0; i < codes.size(); ++i)
    if (codes[i] >= limit) return i;
  return codes.size();
}

// ---- moments -----------------------------------------------------------------------

GroupedMoments::GroupedMoments(size_t count, bool squares)
    : GroupCounts(count), squares_(squares), slots_(count) {}

BandedMoments& GroupedMoments::moved(size_t g) {
  Slot& s = slots_[g];
  if (s.banded == kCompact) {
    auto banded = std::make_unique<BandedMoments>();
    s.compact.expand(s.n, banded->part(0));
    s.compact = CompactMoments{};
    s.banded = static_cast<uint32_t>(banded_.size());
    banded_.push_back(std::move(banded));
  }
  return *banded_[s.banded];
}

void GroupedMoments::add(size_t g, double x) noexcept {
  Slot& s = slots_[g];
  if (s.banded != kCompact || !s.compact.add(x, squares_)) moved(g).add(x);
  ++s.n;
}

void GroupedMoments::feed(std::span<const int64_t> codes, std::span<const double> values,
                          Absent absent) noexcept {
  // Many groups do not stay in cache: each row's group is fetched a few rows
  // ahead, so the memory waits overlap.
  constexpr size_t kAhead = 12;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (i + kAhead < codes.size() && codes[i + kAhead] >= 0) {
      const auto* ahead =
          reinterpret_cast<const char*>(&slots_[static_cast<size_t>(codes[i + kAhead])]);
      __builtin_prefetch(ahead, 1);
      __builtin_prefetch(ahead + 64, 1);
    }
    if (codes[i] < 0) continue;
    const auto g = static_cast<size_t>(codes[i]);
    const double x = values[i];
    if ((absent.skip != nullptr && absent.skip[i] != 0) || (absent.nans && x != x))
      ++missing_[g];
    else
      add(g, x);
  }
}

void GroupedMoments::feed_run(size_t g, std::span<const double> values, bool skip_nans) noexcept {
  for (double x : values) {
    if (skip_nans && x != x)
      ++missing_[g];
    else
      add(g, x);
  }
}

void GroupedMoments::clear() noexcept {
  std::fill(slots_.begin(), slots_.end(), Slot{});
  std::fill(missing_.begin(), missing_.end(), 0);
  banded_.clear();
}

Result<double> GroupedMoments::answer(size_t g, MomentAnswer what, double ddof,
                                      Precision precision) const {
  const Slot& s = slots_[g];
  if (s.banded != kCompact) {
    std::vector<ScaledMoments> parts;
    for (const auto& [scale, state] : banded_[s.banded]->parts)
      parts.push_back({&state.sum_x, &state.sum_xx, scale});
    return moment_answer(parts, what, ddof, 0, precision);
  }
  if (auto v = compact_answer(s.compact, s.n, what, ddof, precision)) return *v;
  MomentsF64 full;
  s.compact.expand(s.n, full);
  const ScaledMoments part{&full.sum_x, &full.sum_xx, 0};
  return moment_answer({&part, 1}, what, ddof, 0, precision);
}

void GroupedMoments::merge_group(size_t g, const CompactMoments* compact,
                                 const BandedMoments* banded, uint64_t n, uint64_t missing) {
  Slot& s = slots_[g];
  const bool joined = compact != nullptr && s.banded == kCompact && s.compact.merge(*compact);
  if (!joined) {
    BandedMoments& into = moved(g);  // expands with the count before this merge
    if (banded != nullptr) {
      into.merge(*banded);
    } else {
      MomentsF64 full;
      compact->expand(n, full);
      into.part(0).merge(full);
    }
  }
  s.n += n;
  missing_[g] += missing;
}

void GroupedMoments::merge(const GroupedMoments& other, std::span<const int64_t> positions) {
  for (size_t k = 0; k < positions.size(); ++k) {
    if (positions[k] < 0) continue;
    const Slot& s = other.slots_[k];
    const bool compact = s.banded == kCompact;
    merge_group(static_cast<size_t>(positions[k]), compact ? &s.compact : nullptr,
                compact ? nullptr : other.banded_[s.banded].get(), s.n, other.missing_[k]);
  }
}

Bytes GroupedMoments::record(size_t g) const {
  const Slot& s = slots_[g];
  Bytes out;
  ByteWriter w{out};
  w.u8(s.banded == kCompact ? kCompactRecord : kBandedRecord);
  w.u8(squares_ ? 1 : 0);
  w.u64(s.n);
  w.u64(missing_[g]);
  if (s.banded == kCompact) {
    w.u32(static_cast<uint16_t>(s.compact.sum_at) |
          static_cast<uint32_t>(static_cast<uint16_t>(s.compact.squares_at)) << 16);
    for (uint64_t word : s.compact.sum) w.u64(word);
    for (uint64_t word : s.compact.squares) w.u64(word);
    return out;
  }
  const BandedMoments& b = *banded_[s.banded];
  w.u32(static_cast<uint32_t>(b.parts.size()));
  for (const auto& [scale, state] : b.parts) {
    w.u64(static_cast<uint64_t>(scale));
    state.encode_into(w);
  }
  return out;
}

Result<GroupedMoments::Record> GroupedMoments::read_record(ByteView bytes) const {
  ByteReader r{bytes};
  Record out;
  const uint8_t tag = r.u8();
  const bool squares = r.boolean();
  out.n = r.u64();
  out.missing = r.u64();
  if (!r.ok || squares != squares_ || (tag != kCompactRecord && tag != kBandedRecord))
    return bad_record();
  if (tag == kCompactRecord) {
    CompactMoments& c = out.compact;
    const uint32_t at = r.u32();
    c.sum_at = static_cast<int16_t>(at & 0xFFFF);
    c.squares_at = static_cast<int16_t>(at >> 16);
    for (uint64_t& word : c.sum) word = r.u64();
    for (uint64_t& word : c.squares) word = r.u64();
    if (!r.at_end() || !c.valid()) return bad_record();
    return out;
  }
  out.banded = std::make_unique<BandedMoments>();
  const uint32_t parts = r.u32();
  if (!r.ok || parts > kMaxParts) return bad_record();
  uint64_t counted = 0;
  for (uint32_t k = 0; k < parts; ++k) {
    const auto scale = static_cast<int64_t>(r.u64());
    MomentsF64 state;
    if (!r.ok || scale < -kMaxPartScale || scale > kMaxPartScale ||
        !MomentsF64::decode_from(r, state))
      return bad_record();
    for (const auto& seen : out.banded->parts)
      if (seen.first == scale) return bad_record();
    counted = saturating_add(counted, state.sum_x.count);
    out.banded->parts.emplace_back(scale, state);
  }
  if (!r.at_end() || counted != out.n) return bad_record();
  return out;
}

void GroupedMoments::merge_record(size_t g, const Record& record) {
  merge_group(g, record.banded ? nullptr : &record.compact, record.banded.get(), record.n,
              record.missing);
}

// ---- integers ------------------------------------------------------------------------

namespace {

void add_sums(IntegerSums& into, const IntegerSums& from) {
  into.s1 += from.s1;
  U128 carry = 0;
  for (size_t k = 0; k < into.s2.size(); ++k) {
    carry += static_cast<U128>(into.s2[k]) + from.s2[k];
    into.s2[k] = static_cast<uint64_t>(carry);
    carry >>= 64;
  }
}

}  // namespace

template <class V>
void GroupedIntegers::feed_values(std::span<const int64_t> codes, std::span<const V> values,
                                  const uint8_t* skip) noexcept {
  for (size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] < 0) continue;
    const auto g = static_cast<size_t>(codes[i]);
    if (skip != nullptr && skip[i] != 0) {
      ++missing_[g];
      continue;
    }
    sums_[g].add(values[i]);
    ++n_[g];
  }
}

void GroupedIntegers::feed(std::span<const int64_t> codes, std::span<const int64_t> values,
                           const uint8_t* skip) noexcept {
  feed_values(codes, values, skip);
}

void GroupedIntegers::feed(std::span<const int64_t> codes, std::span<const uint64_t> values,
                           const uint8_t* skip) noexcept {
  feed_values(codes, values, skip);
}

namespace {

// Integer sums read on the fixed-width path: an integer is 2^1074 units of
// the limbs' scale, 2^50 above limb 16, so Σx and Σx² become placed words.
std::optional<double> narrow_integer_moment(const IntegerSums& s, uint64_t n, MomentAnswer what,
                                            double ddof) {
  constexpr int kShift = 1074 - 64 * 16;
  const U128 lo = static_cast<U128>(s.s1);
  const uint64_t sign = s.s1 < 0 ? ~uint64_t{0} : 0;
  const std::array<uint64_t, 3> sum = {
      static_cast<uint64_t>(lo) << kShift, static_cast<uint64_t>(lo >> (64 - kShift)),
      static_cast<uint64_t>(lo >> (128 - kShift)) | (sign << kShift)};
  const std::array<uint64_t, 4> squares = {
      s.s2[0] << kShift, (s.s2[1] << kShift) | (s.s2[0] >> (64 - kShift)),
      (s.s2[2] << kShift) | (s.s2[1] >> (64 - kShift)), s.s2[2] >> (64 - kShift)};
  const PlacedWords x{sum.data(), 3, 16}, xx{squares.data(), 4, 16};
  if (what == MomentAnswer::Mean) return narrow_mean(x, n);
  if (what == MomentAnswer::Var || what == MomentAnswer::Std)
    return narrow_spread(x, xx, n, ddof, what == MomentAnswer::Std);
  return std::nullopt;
}

}  // namespace

Result<double> GroupedIntegers::answer(size_t g, MomentAnswer what, double ddof) const {
  if (auto v = narrow_integer_moment(sums_[g], n_[g], what, ddof)) return *v;
  WideInt n;
  n.words = {n_[g]};
  return integer_moment(sums_[g].sum(), sums_[g].squares(), n, what, ddof);
}

void GroupedIntegers::merge(const GroupedIntegers& other, std::span<const int64_t> positions) {
  for (size_t k = 0; k < positions.size(); ++k) {
    if (positions[k] < 0) continue;
    const auto g = static_cast<size_t>(positions[k]);
    add_sums(sums_[g], other.sums_[k]);
    n_[g] += other.n_[k];
    missing_[g] += other.missing_[k];
  }
}

Bytes GroupedIntegers::record(size_t g) const {
  Bytes out;
  ByteWriter w{out};
  w.u8(kIntegerRecord);
  w.u64(n_[g]);
  w.u64(missing_[g]);
  const auto s1 = static_cast<U128>(sums_[g].s1);
  w.u64(static_cast<uint64_t>(s1));
  w.u64(static_cast<uint64_t>(s1 >> 64));
  for (uint64_t word : sums_[g].s2) w.u64(word);
  return out;
}

Result<GroupedIntegers::Record> GroupedIntegers::read_record(ByteView bytes) const {
  ByteReader r{bytes};
  Record out;
  const uint8_t tag = r.u8();
  out.n = r.u64();
  out.missing = r.u64();
  const uint64_t lo = r.u64(), hi = r.u64();
  out.sums.s1 = static_cast<I128>((static_cast<U128>(hi) << 64) | lo);
  for (uint64_t& word : out.sums.s2) word = r.u64();
  if (!r.at_end() || tag != kIntegerRecord) return bad_record();
  return out;
}

void GroupedIntegers::merge_record(size_t g, const Record& record) {
  add_sums(sums_[g], record.sums);
  n_[g] += record.n;
  missing_[g] += record.missing;
}

}  // namespace tallix
