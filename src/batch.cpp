#include "batch.hpp"

#include <algorithm>
#include <bit>
#include <vector>

#include "fast.hpp"
#include "fast_simd.hpp"

namespace tallix {

namespace {

constexpr size_t kChunk = 256;

// Pushes products into one DotF64 through one banked adder, with the count
// and the exactness flag settled once at the end.
class DotFeeder {
 public:
  explicit DotFeeder(DotF64& d) noexcept : d_(d), adder_(d.sum) {}

  // push(a[i], b[i]) for i < n <= kChunk, `times` times over.
  void push(const double* a, const double* b, size_t n, int times = 1) noexcept {
    for (int t = 0; t < times; ++t) lost_ |= adder_.add_products(a, b, n);
    pushes_ += n * static_cast<uint64_t>(times);
  }
  void finish() noexcept {
    adder_.finish();
    d_.exactness_lost |= lost_;
    d_.sum.count = add_count(d_.sum.count, pushes_, 2);
  }

 private:
  DotF64& d_;
  BankedAdder adder_;
  bool lost_ = false;
  uint64_t pushes_ = 0;
};

// Adds values into one SumF64, counting them.
class SumFeeder {
 public:
  explicit SumFeeder(SumF64& s) noexcept : s_(s), adder_(s) {}
  void add(const double* xs, size_t n) noexcept {
    adder_.add(std::span<const double>(xs, n));
    added_ += n;
  }
  void finish() noexcept {
    adder_.finish();
    s_.count = add_count(s_.count, added_, 1);
  }

 private:
  SumF64& s_;
  BankedAdder adder_;
  uint64_t added_ = 0;
};

// Calls body(offset, length) for consecutive pieces of at most kChunk.
template <class F>
void by_chunks(size_t n, F body) {
  for (size_t at = 0; at < n; at += kChunk) body(at, std::min(kChunk, n - at));
}

int64_t from_key(int64_t k) noexcept { return k ^ ((k >> 63) & INT64_MAX); }  // its own inverse

}  // namespace

void moments_batch(MomentsF64& m, std::span<const double> xs) noexcept {
  SumFeeder sum_x(m.sum_x);
  DotFeeder sum_xx(m.sum_xx);
  by_chunks(xs.size(), [&](size_t at, size_t n) {
    const double* x = xs.data() + at;
    sum_x.add(x, n);
    sum_xx.push(x, x, n);
  });
  sum_x.finish();
  sum_xx.finish();
}

void moments4_batch(Moments4F64& m, std::span<const double> xs) noexcept {
  SumFeeder sum_x(m.sum_x);
  DotFeeder sum_xx(m.sum_xx), sum_x3(m.sum_x3), sum_x4(m.sum_x4);
  double p[kChunk], e[kChunk];
  bool underflow = false;
  by_chunks(xs.size(), [&](size_t at, size_t n) {
    const double* x = xs.data() + at;
    underflow |= active_kernels().square_split(x, n, p, e);
    sum_x.add(x, n);
    sum_xx.push(x, x, n);
    sum_x3.push(x, p, n);
    sum_x3.push(x, e, n);
    sum_x4.push(p, p, n);
    sum_x4.push(p, e, n, 2);
    sum_x4.push(e, e, n);
  });
  sum_x.finish();
  sum_xx.finish();
  sum_x3.finish();
  sum_x4.finish();
  m.square_underflow |= underflow;
}

void pn_moments_batch(PnMomentsF64& m, std::span<const double> xs) noexcept {
  moments_batch(m.pos, xs);
}

Status cov_batch(CovF64& c, std::span<const double> xs, std::span<const double> ys) noexcept {
  if (xs.size() != ys.size()) return Rejection{"xs and ys must have the same length"};
  SumFeeder sum_x(c.sum_x), sum_y(c.sum_y);
  DotFeeder sum_xx(c.sum_xx), sum_yy(c.sum_yy), sum_xy(c.sum_xy);
  by_chunks(xs.size(), [&](size_t at, size_t n) {
    const double* x = xs.data() + at;
    const double* y = ys.data() + at;
    sum_x.add(x, n);
    sum_y.add(y, n);
    sum_xx.push(x, x, n);
    sum_yy.push(y, y, n);
    sum_xy.push(x, y, n);
  });
  sum_x.finish();
  sum_y.finish();
  sum_xx.finish();
  sum_yy.finish();
  sum_xy.finish();
  return {};
}

Status weighted_batch(WeightedMomentsF64& w, std::span<const double> xs,
                      std::span<const double> ws) noexcept {
  if (xs.size() != ws.size()) return Rejection{"xs and ws must have the same length"};
  SumFeeder sum_w(w.sum_w);
  DotFeeder sum_wx(w.sum_wx), sum_wxx(w.sum_wxx);
  double hi[kChunk], lo[kChunk];
  bool underflow = false;
  by_chunks(xs.size(), [&](size_t at, size_t n) {
    const double* x = xs.data() + at;
    const double* wt = ws.data() + at;
    underflow |= active_kernels().square_split(x, n, hi, lo);
    sum_w.add(wt, n);
    sum_wx.push(x, wt, n);
    sum_wxx.push(wt, hi, n);
    sum_wxx.push(wt, lo, n);
  });
  sum_w.finish();
  sum_wx.finish();
  sum_wxx.finish();
  w.square_underflow |= underflow;
  return {};
}

Status covmat_batch(CovMatrixF64& c, Rows matrix, std::span<const double> ys) {
  const size_t d = c.d;
  if (matrix.count != ys.size()) return Rejection{"rows and ys must have the same length"};
  if (matrix.count != 0 && matrix.width != d) return Rejection{"each row must hold d values"};
  std::span<const double> rows = matrix.values;
  std::vector<double> cols(d * kChunk);  // column i of a chunk at cols[i * kChunk]
  by_chunks(ys.size(), [&](size_t at, size_t n) {
    for (size_t r = 0; r < n; ++r)
      for (size_t i = 0; i < d; ++i) cols[i * kChunk + r] = rows[(at + r) * d + i];
    const double* y = ys.data() + at;
    auto col = [&](size_t i) { return cols.data() + i * kChunk; };
    for (size_t i = 0; i <= d; ++i) {
      SumFeeder s(c.sums[i]);
      s.add(i < d ? col(i) : y, n);
      s.finish();
    }
    DotF64* p = c.products.data();
    for (size_t i = 0; i < d; ++i) {
      for (size_t j = i; j < d; ++j) {
        DotFeeder f(*p++);
        f.push(col(i), col(j), n);
        f.finish();
      }
    }
    for (size_t i = 0; i < d; ++i) {
      DotFeeder f(*p++);
      f.push(col(i), y, n);
      f.finish();
    }
  });
  return {};
}

namespace {

// Number of keys at or below each of a group's keys, for sorted keys; the
// group's searches run in lockstep so their loads overlap.
template <size_t G>
void count_at_or_below(const std::vector<int64_t>& keys, const int64_t* k, size_t* out) noexcept {
  size_t pos[G] = {};
  size_t n = keys.size();
  for (; n > 1; n -= n / 2) {
    size_t half = n / 2;
    for (size_t g = 0; g < G; ++g) pos[g] += keys[pos[g] + half - 1] <= k[g] ? half : 0;
  }
  for (size_t g = 0; g < G; ++g) out[g] = pos[g] + (n == 1 && keys[pos[g]] <= k[g]);
}

}  // namespace

void histogram_batch(HistogramF64& h, std::span<const double> xs) noexcept {
  const std::vector<int64_t>& keys = h.sorted_keys;
  if (keys.empty()) {
    for (double x : xs) h.add(x);
    return;
  }
  constexpr size_t G = 8;
  for (size_t at = 0; at < xs.size(); at += G) {
    size_t n = std::min(G, xs.size() - at);
    int64_t k[G];
    size_t bin[G];
    for (size_t g = 0; g < G; ++g) k[g] = order_key(xs[at + std::min(g, n - 1)]);
    count_at_or_below<G>(keys, k, bin);
    for (size_t g = 0; g < n; ++g) {
      uint64_t& c = is_nan(xs[at + g]) ? h.nan_count : h.counts[bin[g]];
      c = saturating_add(c, 1);
    }
  }
}

void extrema_batch(ExtremaF64& e, std::span<const double> xs) noexcept {
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  bool nan = false, any = false;
  for (double x : xs) {
    bool skip = is_nan(x);
    int64_t k = order_key(x);
    nan |= skip;
    any |= !skip;
    lo = skip ? lo : std::min(lo, k);
    hi = skip ? hi : std::max(hi, k);
  }
  e.count = add_count(e.count, xs.size(), 1);
  e.nan = e.nan || nan;
  if (!any) return;
  double lo_x = std::bit_cast<double>(from_key(lo)), hi_x = std::bit_cast<double>(from_key(hi));
  if (!e.seen) {
    e.min = lo_x;
    e.max = hi_x;
    e.seen = true;
    return;
  }
  if (lo < order_key(e.min)) e.min = lo_x;
  if (hi > order_key(e.max)) e.max = hi_x;
}

void deltas_batch(DeltasSum& d, std::span<const double> xs) noexcept {
  sum_batch(d.running_sum, xs);
}

}  // namespace tallix
