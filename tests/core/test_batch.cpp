// Batch updates of the composite states against their single-update loops,
// on every kernel form.
#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "check.hpp"
#include "covmat.hpp"
#include "forms.hpp"
#include "hist.hpp"
#include "lattice.hpp"
#include "stats.hpp"

using namespace tallix;
using forms::for_each_isa;

namespace {

std::vector<double> mixed_values(size_t n, uint32_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  const double odd[] = {0.0, -0.0, 1e-170, 5e-324, 1e160, -1e300, INFINITY, -INFINITY, NAN};
  std::vector<double> xs(n);
  for (double& x : xs)
    x = rng() % 50 == 0 ? odd[rng() % 9]
                        : std::ldexp(normal(rng), static_cast<int>(rng() % 200) - 100);
  return xs;
}

}  // namespace

// Mixed values, then a long clean stretch whose blocks of squares and cross
// products take extraction.
std::vector<double> mixed_then_clean(size_t n, uint32_t seed) {
  std::vector<double> xs = mixed_values(n, seed);
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  for (size_t i = 0; i < 2 * n; ++i)
    xs.push_back(std::ldexp(normal(rng), static_cast<int>(rng() % 41) - 20));
  return xs;
}

TEST(moment_batches_match_add_loops_on_every_path) {
  std::vector<double> xs = mixed_then_clean(1500, 1), ws = mixed_then_clean(1500, 2);
  for_each_isa([&] {
    MomentsF64 m1, m2;
    Moments4F64 q1, q2;
    CovF64 c1, c2;
    WeightedMomentsF64 w1, w2;
    for (size_t i = 0; i < xs.size(); ++i) {
      m1.add(xs[i]);
      q1.add(xs[i]);
      c1.add(xs[i], ws[i]);
      w1.add(xs[i], ws[i]);
    }
    m2.extend(xs);
    q2.extend(xs);
    CHECK(c2.extend(xs, ws).ok());
    CHECK(w2.extend(xs, ws).ok());
    CHECK(m1.to_bytes() == m2.to_bytes());
    CHECK(q1.to_bytes() == q2.to_bytes());
    CHECK(encode(c1) == encode(c2));
    CHECK(encode(w1) == encode(w2));
  });
}

TEST(covmat_and_histogram_batches_match_add_loops) {
  std::vector<double> xs = mixed_values(2400, 3), ys = mixed_values(800, 4);
  for_each_isa([&] {
    Result<CovMatrixF64> a = CovMatrixF64::create(3), b = CovMatrixF64::create(3);
    for (size_t r = 0; r < ys.size(); ++r)
      CHECK(a.value().add(std::span(xs).subspan(3 * r, 3), ys[r]).ok());
    CHECK(b.value().extend(Observations{xs, ys.size(), 3}, ys).ok());
    CHECK(encode(a.value()) == encode(b.value()));
    CHECK(
        !b.value().extend(Observations{std::span(xs).first(7), 2, 3}, std::span(ys).first(3)).ok());
    CHECK(
        !b.value().extend(Observations{std::span(xs).first(4), 2, 2}, std::span(ys).first(2)).ok());
    CHECK(encode(a.value()) == encode(b.value()));
  });
  const double edges[] = {-1e10, -1.0, -0.0, 0.0, 1e-300, 2.0, 1e300};
  Result<HistogramF64> h1 = HistogramF64::create(edges), h2 = HistogramF64::create(edges);
  for (double x : xs) h1.value().add(x);
  h2.value().extend(xs);
  CHECK(encode(h1.value()) == encode(h2.value()));
  ExtremaF64 e1, e2;
  for (double x : xs) e1.add(x);
  e2.extend(xs);
  CHECK(e1.to_bytes() == e2.to_bytes());
}
