// Construction, updates, exact downdating and the byte form of CovMatrixF64.
#include <new>
#include <vector>

#include "../covmat.hpp"
#include "../stats/feeders.hpp"

namespace tallix {

namespace {

constexpr uint64_t kHeaderBytes = 5;  // u32 dimension, mismatched byte

uint64_t product_count(uint64_t d) noexcept { return d * (d + 1) / 2 + d; }

// Whether `what` can be taken out of `from`: only a clean contribution that
// is no larger (by count) than what it is removed from.
bool can_subtract(const SumF64& from, const SumF64& what) noexcept {
  return what.finite() && from.count >= what.count;
}

void subtract(SumF64& from, const SumF64& what) noexcept {
  sub_limbs(from.limbs, what.limbs);
  from.count -= what.count;
}

}  // namespace

bool covmat_encoded_size(uint64_t d, uint64_t& size) noexcept {
  if (d > UINT32_MAX) return false;
  // d < 2^32 keeps d(d+1) and 281(d+1) inside 64 bits; only 282·m can overflow.
  const uint64_t m = product_count(d);
  const uint64_t fixed = kHeaderBytes + kSumBytes * (d + 1);
  if (m > (UINT64_MAX - fixed) / kDotBytes) return false;
  size = fixed + kDotBytes * m;
  return true;
}

Result<CovMatrixF64> CovMatrixF64::create(uint64_t d) {
  uint64_t size = 0;
  if (!covmat_encoded_size(d, size)) return Rejection{"dimension too large for the byte encoding"};
  CovMatrixF64 s;
  // A count beyond what a vector can address is reported like any other
  // allocation that cannot be satisfied.
  const uint64_t m = product_count(d);
  if (d + 1 > s.sums.max_size() || m > s.products.max_size()) throw std::bad_alloc();
  s.sums.resize(d + 1);
  s.products.resize(m);
  s.d = d;
  return s;
}

Status CovMatrixF64::add(std::span<const double> x, double y) noexcept {
  if (x.size() != d) return UsageFailure{"row length must equal dim()", x.size(), d};
  for (size_t i = 0; i < x.size(); ++i) sums[i].add(x[i]);
  sums[d].add(y);
  DotF64* p = products.data();
  for (size_t i = 0; i < x.size(); ++i)
    for (size_t j = i; j < x.size(); ++j) (p++)->push(x[i], x[j]);
  for (size_t i = 0; i < x.size(); ++i) (p++)->push(x[i], y);
  return {};
}

void CovMatrixF64::merge(const CovMatrixF64& other) noexcept {
  if (other.d != d) {
    mismatched = true;
    return;
  }
  merge_fields(*this, other);
}

// All checks run before anything changes, so a refusal leaves the state as
// it was without needing a working copy.
Status CovMatrixF64::try_sub(const CovMatrixF64& other) noexcept {
  if (other.d != d || mismatched || other.mismatched) return StatsError::Degenerate;
  for (size_t i = 0; i < sums.size(); ++i)
    if (!can_subtract(sums[i], other.sums[i])) return StatsError::Degenerate;
  for (size_t k = 0; k < products.size(); ++k) {
    const DotF64& o = other.products[k];
    if (o.exactness_lost || !can_subtract(products[k].sum, o.sum)) return StatsError::Degenerate;
  }
  for (size_t i = 0; i < sums.size(); ++i) subtract(sums[i], other.sums[i]);
  for (size_t k = 0; k < products.size(); ++k) subtract(products[k].sum, other.products[k].sum);
  return {};
}

void CovMatrixF64::encode_into(ByteWriter& w) const {
  uint64_t size = 0;
  if (covmat_encoded_size(d, size)) w.out.reserve(w.out.size() + size);
  w.u32(static_cast<uint32_t>(d));
  encode_fields(w, *this);
}

Result<CovMatrixF64> CovMatrixF64::decode(ByteView b) {
  ByteReader r{b};
  const uint64_t d = r.u32();
  uint64_t size = 0;
  if (!r.ok || !covmat_encoded_size(d, size) || size != b.size()) return InputError::Undefined;
  // The length matched, so the storage reserved below is justified by the input.
  Result<CovMatrixF64> made = create(d);
  if (!made.ok()) return InputError::Undefined;
  if (!decode_fields(r, made.value()) || !r.at_end()) return InputError::Undefined;
  return made;
}

namespace {

// One chunk of n observations, given as d columns kFeedChunk apart, and
// their responses into every exact sum and product.
void feed_columns(CovMatrixF64& c, const double* cols, const double* y, size_t n) noexcept {
  const size_t d = c.d;
  auto col = [&](size_t i) { return cols + i * kFeedChunk; };
  for (size_t i = 0; i <= d; ++i) {
    SumFeeder fed(c.sums[i]);
    fed.add(i < d ? col(i) : y, n);
    fed.finish();
  }
  DotF64* p = c.products.data();
  for (size_t i = 0; i < d; ++i) {
    for (size_t j = i; j < d; ++j) {
      DotFeeder fed(*p++);
      fed.push(col(i), col(j), n);
      fed.finish();
    }
  }
  for (size_t i = 0; i < d; ++i) {
    DotFeeder fed(*p++);
    fed.push(col(i), y, n);
    fed.finish();
  }
}

}  // namespace

Status CovMatrixF64::extend(Observations xs, std::span<const double> ys) {
  if (xs.count != ys.size()) return Rejection{"rows and ys must have the same length"};
  if (xs.count != 0 && xs.width != d) return Rejection{"each row must hold d values"};
  std::span<const double> values = xs.values;
  std::vector<double> cols(d * kFeedChunk);  // column i of a chunk at cols[i * kFeedChunk]
  by_feed_chunks(ys.size(), [&](size_t at, size_t n) {
    for (size_t r = 0; r < n; ++r)
      for (size_t i = 0; i < d; ++i) cols[i * kFeedChunk + r] = values[(at + r) * d + i];
    feed_columns(*this, cols.data(), ys.data() + at, n);
  });
  return {};
}

}  // namespace tallix
