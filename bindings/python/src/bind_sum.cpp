// SumF64 and SumF32: the exact sum and its binary32 twin.
#include "acc.hpp"
#include "batch_call.hpp"
#include "frame.hpp"
#include "receipt.hpp"

namespace tallix::py {

template <>
struct Binding<SumF64> {
  static constexpr const char* name = "SumF64";
  using ctor = Ctor<"()", &make_default<SumF64>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x)", &SumF64::add>,
      Batch<"extend($self, xs)", &SumF64::extend>,
      Method<"merge($self, other)", &SumF64::merge>,
      Method<"try_unmerge($self, other)", &SumF64::try_unmerge,
             "Exactly remove a previously merged contribution (group subtraction).\n"
             "Returns False (state untouched) if `other` carries NaN/infinity flags\n"
             "or a larger count. Kani-verified: the borrow chain inverts merge's\n"
             "carry chain for all valid states.">,
      Method<"count($self)", &SumF64::counted>,
      Method<"value($self)", &SumF64::value>,
      Method<"to_bytes($self)", &SumF64::to_bytes>,
      Method<"from_bytes(b)", &SumF64::from_bytes>,
      Method<"state_hash($self)", &state_hash<SumF64>>>;
  // clang-format on
};

template <>
struct Binding<SumF32> {
  static constexpr const char* name = "SumF32";
  using ctor = Ctor<"()", &make_default<SumF32>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x)", &SumF32::add>,
      Batch<"extend($self, xs)", &SumF32::extend>,
      Method<"merge($self, other)", &SumF32::merge>,
      Method<"count($self)", &SumF32::counted>,
      Method<"value($self)", &SumF32::value>,
      Method<"to_bytes($self)", &SumF32::to_bytes>,
      Method<"from_bytes(b)", &SumF32::from_bytes>,
      Method<"state_hash($self)", &state_hash<SumF32>>>;
  // clang-format on
};

TALLIX_CLASS(SumF64)
TALLIX_CLASS(SumF32)

}  // namespace tallix::py
