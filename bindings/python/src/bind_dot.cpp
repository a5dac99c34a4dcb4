// DotF64: the exact dot-product accumulator.
#include "dot.hpp"
#include "frame.hpp"
#include "receipt.hpp"

namespace tallix::py {

template <>
struct Binding<DotF64> {
  static constexpr const char* name = "DotF64";
  using ctor = Ctor<"()", &make_default<DotF64>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"push($self, a, b)", &DotF64::push>,
      Method<"extend($self, xs, ys)", &DotF64::extend>,
      Method<"merge($self, other)", &DotF64::merge>,
      Method<"value($self)", &DotF64::try_value>,
      Method<"state_hash($self)", &state_hash<DotF64>>>;
  // clang-format on
};

TALLIX_CLASS(DotF64)

}  // namespace tallix::py
