// The moment accumulators: MomentsF64, Moments4F64 and PnMomentsF64.
#include "batch_call.hpp"
#include "frame.hpp"
#include "receipt.hpp"
#include "stats.hpp"

namespace tallix::py {

template <>
struct Binding<MomentsF64> {
  static constexpr const char* name = "MomentsF64";
  using ctor = Ctor<"()", &make_default<MomentsF64>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x)", &MomentsF64::add>,
      Batch<"extend($self, xs)", &MomentsF64::extend>,
      Method<"merge($self, o)", &MomentsF64::merge>,
      Method<"count($self)", &MomentsF64::counted>,
      Method<"mean($self)", &MomentsF64::try_mean>,
      Method<"variance($self)", &MomentsF64::try_variance>,
      Method<"sample_variance($self)", &MomentsF64::try_sample_variance>,
      Method<"stddev($self)", &MomentsF64::try_stddev>,
      Method<"to_bytes($self)", &MomentsF64::to_bytes>,
      Method<"from_bytes(b)", &MomentsF64::from_bytes>,
      Method<"state_hash($self)", &state_hash<MomentsF64>>>;
  // clang-format on
};

template <>
struct Binding<Moments4F64> {
  static constexpr const char* name = "Moments4F64";
  using ctor = Ctor<"()", &make_default<Moments4F64>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x)", &Moments4F64::add>,
      Batch<"extend($self, xs)", &Moments4F64::extend>,
      Method<"merge($self, o)", &Moments4F64::merge>,
      Method<"count($self)", &Moments4F64::counted>,
      Method<"mean($self)", &Moments4F64::try_mean>,
      Method<"variance($self)", &Moments4F64::try_variance>,
      Method<"kurtosis($self)", &Moments4F64::try_kurtosis>,
      Method<"excess_kurtosis($self)", &Moments4F64::try_excess_kurtosis>,
      Method<"skewness($self)", &Moments4F64::try_skewness>,
      Method<"skewness_squared($self)", &Moments4F64::try_skewness_squared>,
      Method<"to_bytes($self)", &Moments4F64::to_bytes>,
      Method<"from_bytes(b)", &Moments4F64::from_bytes>,
      Method<"state_hash($self)", &state_hash<Moments4F64>>>;
  // clang-format on
};

template <>
struct Binding<PnMomentsF64> {
  static constexpr const char* name = "PnMomentsF64";
  using ctor = Ctor<"()", &make_default<PnMomentsF64>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x)", &PnMomentsF64::add>,
      Batch<"extend($self, xs)", &PnMomentsF64::extend>,
      Method<"remove($self, x)", &PnMomentsF64::remove>,
      Method<"merge($self, o)", &PnMomentsF64::merge>,
      Method<"live_count($self)", &PnMomentsF64::live_count>,
      Method<"mean($self)", &PnMomentsF64::try_mean>,
      Method<"variance($self)", &PnMomentsF64::try_variance>,
      Method<"to_bytes($self)", &PnMomentsF64::to_bytes>,
      Method<"from_bytes(b)", &PnMomentsF64::from_bytes>,
      Method<"state_hash($self)", &state_hash<PnMomentsF64>>>;
  // clang-format on
};

TALLIX_CLASS(MomentsF64)
TALLIX_CLASS(Moments4F64)
TALLIX_CLASS(PnMomentsF64)

}  // namespace tallix::py
