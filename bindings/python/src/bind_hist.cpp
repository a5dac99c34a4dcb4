// HistogramF64 and ExtremaF64: total-order bins and extrema.
#include "batch_call.hpp"
#include "frame.hpp"
#include "hist.hpp"
#include "lattice.hpp"
#include "receipt.hpp"

namespace tallix::py {

template <>
struct Binding<HistogramF64> {
  static constexpr const char* name = "HistogramF64";
  using ctor = Ctor<"(edges)", &HistogramF64::create>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x)", &HistogramF64::add>,
      Batch<"extend($self, xs)", &HistogramF64::extend>,
      Method<"merge($self, other)", &HistogramF64::merge,
             "Add the counts of another histogram, as if its values had been added here.\n"
             "Exact and commutative. Both must have bit-identical edges, else ValueError\n"
             "and nothing changes; the result is undefined if either side is.">,
      Method<"edges($self)", &HistogramF64::edge_list>,
      Method<"counts($self)", &HistogramF64::try_counts>,
      Method<"total($self)", &HistogramF64::total>,
      Method<"quantile_bounds($self, q)", &HistogramF64::try_quantile_bounds>,
      Method<"encode($self)", &encode<HistogramF64>>,
      Method<"decode(b)", &HistogramF64::decode>,
      Method<"state_hash($self)", &state_hash<HistogramF64>>>;
  // clang-format on
};

template <>
struct Binding<ExtremaF64> {
  static constexpr const char* name = "ExtremaF64";
  using ctor = Ctor<"()", &make_default<ExtremaF64>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x)", &ExtremaF64::add>,
      Batch<"extend($self, xs)", &ExtremaF64::extend>,
      Method<"merge($self, other)", &ExtremaF64::merge,
             "Combine with another state, as if its values had been added here.\n"
             "Exact and commutative: minimum and maximum in total order, counts\n"
             "added (saturating), a NaN on either side is kept.">,
      Method<"min($self)", &ExtremaF64::try_min>,
      Method<"max($self)", &ExtremaF64::try_max>,
      Method<"range($self)", &ExtremaF64::try_range>,
      Method<"to_bytes($self)", &ExtremaF64::to_bytes>,
      Method<"from_bytes(b)", &ExtremaF64::from_bytes>,
      Method<"state_hash($self)", &state_hash<ExtremaF64>>>;
  // clang-format on
};

TALLIX_CLASS(HistogramF64)
TALLIX_CLASS(ExtremaF64)

}  // namespace tallix::py
