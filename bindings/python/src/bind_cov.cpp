// CovF64 and WeightedMomentsF64: bivariate covariance and weighted moments.
#include "batch_call.hpp"
#include "frame.hpp"
#include "receipt.hpp"
#include "stats/cov.hpp"
#include "stats/weighted.hpp"

namespace tallix::py {

template <>
struct Binding<CovF64> {
  static constexpr const char* name = "CovF64";
  using ctor = Ctor<"()", &make_default<CovF64>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x, y)", &CovF64::add>,
      Batch<"extend($self, xs, ys)", &CovF64::extend>,
      Method<"merge($self, o)", &CovF64::merge>,
      Method<"count($self)", &CovF64::counted>,
      Method<"covariance($self)", &CovF64::try_covariance>,
      Method<"slope($self)", &CovF64::try_slope>,
      Method<"intercept($self)", &CovF64::try_intercept>,
      Method<"r_squared($self)", &CovF64::try_r_squared>,
      Method<"correlation($self)", &CovF64::try_correlation>,
      Method<"to_bytes($self)", &CovF64::to_bytes>,
      Method<"from_bytes(b)", &CovF64::from_bytes>,
      Method<"state_hash($self)", &state_hash<CovF64>>>;
  // clang-format on
};

template <>
struct Binding<WeightedMomentsF64> {
  static constexpr const char* name = "WeightedMomentsF64";
  using ctor = Ctor<"()", &make_default<WeightedMomentsF64>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x, w)", &WeightedMomentsF64::add>,
      Batch<"extend($self, xs, ws)", &WeightedMomentsF64::extend>,
      Method<"merge($self, o)", &WeightedMomentsF64::merge>,
      Method<"count($self)", &WeightedMomentsF64::counted>,
      Method<"mean($self)", &WeightedMomentsF64::try_mean>,
      Method<"variance($self)", &WeightedMomentsF64::try_variance>,
      Method<"to_bytes($self)", &WeightedMomentsF64::to_bytes>,
      Method<"from_bytes(b)", &WeightedMomentsF64::from_bytes>,
      Method<"state_hash($self)", &state_hash<WeightedMomentsF64>>>;
  // clang-format on
};

TALLIX_CLASS(CovF64)
TALLIX_CLASS(WeightedMomentsF64)

}  // namespace tallix::py
