// FastSumF64: the banked exact sum for long runs of values.
#include "fast.hpp"
#include "frame.hpp"

namespace tallix::py {

template <>
struct Binding<FastSumF64> {
  static constexpr const char* name = "FastSumF64";
  using ctor = Ctor<"()", &make_default<FastSumF64>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x)", &FastSumF64::add>,
      Method<"extend($self, xs)", &FastSumF64::extend>,
      Method<"count($self)", &FastSumF64::counted>,
      Method<"finish($self)", &FastSumF64::finish>>;
  // clang-format on
};

TALLIX_CLASS(FastSumF64)

}  // namespace tallix::py
