// CovMatrixF64: the d-dimensional covariance state and its regressions.
#include "batch_call.hpp"
#include "covmat.hpp"
#include "frame.hpp"
#include "receipt.hpp"

namespace tallix::py {

template <>
struct Binding<CovMatrixF64> {
  static constexpr const char* name = "CovMatrixF64";
  using ctor = Ctor<"(d)", &CovMatrixF64::create>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"count($self)", &CovMatrixF64::counted>,
      Method<"add($self, x, y)", &CovMatrixF64::add>,
      Batch<"extend($self, rows, ys)", &CovMatrixF64::extend,
             "Add one row of d features per response: rows is an iterable of rows or an\n"
             "(n, d) array of real numbers (any dtype and layout, or an Arrow table), ys\n"
             "n real numbers. Leaves the state that adding the rows one by one would leave.">,
      Method<"merge($self, o)", &CovMatrixF64::merge>,
      Method<"covariance($self, i, j)", &CovMatrixF64::try_covariance>,
      Method<"regression($self)", &CovMatrixF64::try_regression>,
      Method<"regression_exact($self)", &CovMatrixF64::try_regression_exact,
             "Exact tier: correctly rounded coefficients \u2014 the normal equations are\n"
             "solved in exact integer arithmetic and each coefficient rounded once.\n"
             "Bit-identical on any machine by mathematical definition.">,
      Method<"sub($self, o)", &CovMatrixF64::try_sub,
             "Exactly remove a previously merged contribution (downdating /\n"
             "unlearning). All-or-nothing; raises on dimension mismatch, on\n"
             "non-finite-flagged subtrahends, or on count underflow.">,
      Method<"encode($self)", &CovMatrixF64::encode>,
      Method<"decode(b)", &CovMatrixF64::decode>,
      Method<"state_hash($self)", &state_hash<CovMatrixF64>>>;
  // clang-format on
};

TALLIX_CLASS(CovMatrixF64)

}  // namespace tallix::py
