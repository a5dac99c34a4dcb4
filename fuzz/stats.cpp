// Random sequences of calls on the statistics states with hostile values.
// Each state is fed twice, once whole and once split into two parts that are
// merged at the end; the two must encode identically and answer every query
// with the same bits. The covariance matrix also checks that subtracting a
// merged part restores the other part exactly, that a refused subtraction or
// a row of the wrong length changes nothing, and that its encoding decodes.
// The batch forms of the updates must leave the same bytes as the single ones.
#include "stats.hpp"

#include <cstdint>
#include <vector>

#include "common.hpp"
#include "covmat.hpp"
#include "receipt.hpp"

namespace {

using namespace tallix;
using fuzz::Input;

template <class T>
bool same_answer(const Result<T>& a, const Result<T>& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return a.failure().index() == b.failure().index();
  if constexpr (std::is_same_v<T, double>) {
    return fuzz::same_bits(a.value(), b.value());
  } else if constexpr (std::is_same_v<T, std::vector<double>>) {
    // Element by element: a fast regression may answer NaN, equal to itself here.
    const auto &x = a.value(), &y = b.value();
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i)
      if (!fuzz::same_bits(x[i], y[i])) return false;
    return true;
  } else {
    return a.value() == b.value();
  }
}

#define SAME_QUERY(q) FUZZ_CHECK(same_answer(whole.q(), merged.q()))

template <class T>
struct Twin {
  T whole;
  T parts[2];

  template <class F>
  void feed(int side, F f) {
    f(whole);
    f(parts[side]);
  }
  T merged() const {
    T m = parts[0];
    m.merge(parts[1]);
    FUZZ_CHECK(encode(m) == encode(whole));
    Result<T> again = T::from_bytes(encode(whole));
    FUZZ_CHECK(again.ok() && encode(again.value()) == encode(whole));
    return m;
  }
};

void check(const Twin<MomentsF64>& t) {
  const MomentsF64 merged = t.merged();
  const MomentsF64& whole = t.whole;
  SAME_QUERY(try_mean);
  SAME_QUERY(try_variance);
  SAME_QUERY(try_sample_variance);
  SAME_QUERY(try_stddev);
}

void check(const Twin<Moments4F64>& t) {
  const Moments4F64 merged = t.merged();
  const Moments4F64& whole = t.whole;
  SAME_QUERY(try_mean);
  SAME_QUERY(try_variance);
  SAME_QUERY(try_skewness);
  SAME_QUERY(try_skewness_squared);
  SAME_QUERY(try_kurtosis);
  SAME_QUERY(try_excess_kurtosis);
}

void check(const Twin<CovF64>& t) {
  const CovF64 merged = t.merged();
  const CovF64& whole = t.whole;
  SAME_QUERY(try_covariance);
  SAME_QUERY(try_slope);
  SAME_QUERY(try_intercept);
  SAME_QUERY(try_r_squared);
  SAME_QUERY(try_correlation);
}

void check(const Twin<WeightedMomentsF64>& t) {
  const WeightedMomentsF64 merged = t.merged();
  const WeightedMomentsF64& whole = t.whole;
  SAME_QUERY(try_mean);
  SAME_QUERY(try_variance);
}

void check(const Twin<PnMomentsF64>& t) {
  const PnMomentsF64 merged = t.merged();
  const PnMomentsF64& whole = t.whole;
  SAME_QUERY(live_count);
  SAME_QUERY(try_mean);
  SAME_QUERY(try_variance);
}

// Everything fed, kept for the batch forms.
struct Fed {
  std::vector<double> xs, cov_x, cov_y, rows, ys;
};

template <class T>
void same_state(const T& a, const T& b) {
  FUZZ_CHECK(encode(a) == encode(b));
}

struct Matrices {
  uint64_t d;
  CovMatrixF64 whole, parts[2];

  explicit Matrices(uint64_t dim)
      : d(dim),
        whole(CovMatrixF64::create(dim).value()),
        parts{CovMatrixF64::create(dim).value(), CovMatrixF64::create(dim).value()} {}

  void add(Input& in, int side, Fed& fed) {
    std::vector<double> row(d);
    for (double& x : row) x = in.f64();
    double y = in.f64();
    FUZZ_CHECK(whole.add(row, y).ok());
    FUZZ_CHECK(parts[side].add(row, y).ok());
    fed.rows.insert(fed.rows.end(), row.begin(), row.end());
    fed.ys.push_back(y);
  }
  void wrong_row(Input& in) {
    Bytes before = encode(whole);
    std::vector<double> row(in.u8() % 2 == 0 || d == 0 ? d + 1 : d - 1);
    FUZZ_CHECK(!whole.add(row, 0.0).ok());
    FUZZ_CHECK(encode(whole) == before);
  }
  void check() {
    CovMatrixF64 merged = parts[0];
    merged.merge(parts[1]);
    FUZZ_CHECK(encode(merged) == encode(whole));
    Result<CovMatrixF64> again = CovMatrixF64::decode(encode(whole));
    FUZZ_CHECK(again.ok() && encode(again.value()) == encode(whole));
    for (uint64_t i = 0; i <= d; ++i)
      for (uint64_t j = 0; j <= d; ++j)
        FUZZ_CHECK(same_answer(whole.try_covariance(i, j), merged.try_covariance(i, j)));
    FUZZ_CHECK(same_answer(whole.try_regression(), merged.try_regression()));
    FUZZ_CHECK(same_answer(whole.try_regression_exact(), merged.try_regression_exact()));
    // Downdating: taking the second part out of the whole leaves the first, unless the second
    // is poisoned, in which case nothing changes.
    CovMatrixF64 back = whole;
    if (back.try_sub(parts[1]).ok()) {
      FUZZ_CHECK(encode(back) == encode(parts[0]));
    } else {
      FUZZ_CHECK(encode(back) == encode(whole));
    }
    // Another dimension marks the state and every later subtraction fails.
    CovMatrixF64 other = CovMatrixF64::create(d + 1).value();
    back = whole;
    back.merge(other);
    FUZZ_CHECK(back.mismatched && !back.try_sub(parts[0]).ok());
    FUZZ_CHECK(!back.try_regression().ok());
  }
};

void check_batches(const Fed& fed, const MomentsF64& moments, const Moments4F64& moments4,
                   const CovF64& cov, const WeightedMomentsF64& weighted, const Matrices& mats) {
  MomentsF64 m;
  m.extend(fed.xs);
  same_state(m, moments);
  Moments4F64 m4;
  m4.extend(fed.xs);
  same_state(m4, moments4);
  PnMomentsF64 pn;
  pn.extend(fed.xs);
  same_state(pn.pos, moments);
  CovF64 c;
  FUZZ_CHECK(c.extend(fed.cov_x, fed.cov_y).ok());
  same_state(c, cov);
  WeightedMomentsF64 w;
  FUZZ_CHECK(w.extend(fed.cov_x, fed.cov_y).ok());
  same_state(w, weighted);
  CovMatrixF64 cm = CovMatrixF64::create(mats.d).value();
  const size_t n = fed.ys.size();
  FUZZ_CHECK(cm.extend(Observations{fed.rows, n, n ? mats.d : 0}, fed.ys).ok());
  same_state(cm, mats.whole);
  // Spans that do not fit each other are refused before anything changes.
  std::vector<double> longer(fed.cov_y);
  longer.push_back(1.0);
  FUZZ_CHECK(!c.extend(fed.cov_x, longer).ok());
  same_state(c, cov);
  FUZZ_CHECK(!w.extend(fed.cov_x, longer).ok());
  same_state(w, weighted);
  // Rows one value too wide, or one response too many, are refused.
  std::vector<double> wide(n * (mats.d + 1), 1.0);
  if (n > 0) FUZZ_CHECK(!cm.extend(Observations{wide, n, mats.d + 1}, fed.ys).ok());
  std::vector<double> more_ys(fed.ys);
  more_ys.push_back(1.0);
  FUZZ_CHECK(!cm.extend(Observations{fed.rows, n, n ? mats.d : 0}, more_ys).ok());
  same_state(cm, mats.whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in{data, size};
  Twin<MomentsF64> moments;
  Twin<Moments4F64> moments4;
  Twin<CovF64> cov;
  Twin<WeightedMomentsF64> weighted;
  Twin<PnMomentsF64> pn;
  Matrices matrices(in.u8() % 5);
  Fed fed;
  int steps = 0;
  while (!in.empty() && ++steps < 64) {
    uint8_t op = in.u8();
    int side = op >> 7;
    switch (op % 8) {
      case 0: {
        double x = in.f64();
        moments.feed(side, [x](MomentsF64& s) { s.add(x); });
        moments4.feed(side, [x](Moments4F64& s) { s.add(x); });
        fed.xs.push_back(x);
        break;
      }
      case 1: {
        double x = in.f64(), y = in.f64();
        cov.feed(side, [=](CovF64& s) { s.add(x, y); });
        weighted.feed(side, [=](WeightedMomentsF64& s) { s.add(x, y); });
        fed.cov_x.push_back(x);
        fed.cov_y.push_back(y);
        break;
      }
      case 2: {
        double x = in.f64();
        pn.feed(side, [x](PnMomentsF64& s) { s.add(x); });
        break;
      }
      case 3: {
        double x = in.f64();
        pn.feed(side, [x](PnMomentsF64& s) { s.remove(x); });
        break;
      }
      case 4:
      case 5:
        matrices.add(in, side, fed);
        break;
      case 6:
        matrices.wrong_row(in);
        break;
      case 7: {
        // The same value twice on one side, removed once: cancellation.
        double x = in.f64();
        pn.feed(side, [x](PnMomentsF64& s) {
          s.add(x);
          s.add(x);
          s.remove(x);
        });
        break;
      }
    }
  }
  check(moments);
  check(moments4);
  check(cov);
  check(weighted);
  check(pn);
  matrices.check();
  check_batches(fed, moments.whole, moments4.whole, cov.whole, weighted.whole, matrices);
  return 0;
}
