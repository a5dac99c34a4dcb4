// DotF64: the exact dot-product accumulator.
#include "dot.hpp"
#include "fast.hpp"
#include "frame.hpp"
#include "receipt.hpp"

namespace tallix::py {

template <>
struct Binding<DotF64> {
  static constexpr const char* name = "DotF64";
  using ctor = Ctor<"()", &make_default<DotF64>>;
  using methods = Methods<
      Method<"push($self, a, b)", &DotF64::push>,
      Method<"extend($self, xs, ys)", &dot_batch>,
      Method<"merge($self, other)", &DotF64::merge>,
      Method<"value($self)", &DotF64::try_value>,
      Method<"state_hash($self)", &state_hash<DotF64>>>;
};

TALLIX_CLASS(DotF64)

}  // namespace tallix::py
