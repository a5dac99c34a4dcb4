// SumMap, MomentsMap, ReplicatedSum and DeltasSum: the replication containers.
#include "batch_call.hpp"
#include "frame.hpp"
#include "replicated.hpp"

namespace tallix::py {

template <>
struct Binding<SumMap> {
  static constexpr const char* name = "SumMap";
  using ctor = Ctor<"()", &make_default<SumMap>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, key, x)", &SumMap::add>,
      Batch<"extend($self, keys, xs)", &SumMap::extend,
            "Add xs[i] under keys[i] for every i: keys any iterable of str, xs any\n"
            "iterable or array of real numbers of the same length. All or nothing.">,
      Method<"value($self, key)", &try_value>,
      Method<"merge($self, other)", &SumMap::merge>,
      Method<"len($self)", &SumMap::len>,
      Method<"count($self)", &total_count>,
      Method<"encode($self)", &encode<SumMap>>,
      Method<"decode(b)", &SumMap::decode>>;
  // clang-format on
};

template <>
struct Binding<MomentsMap> {
  static constexpr const char* name = "MomentsMap";
  using ctor = Ctor<"()", &make_default<MomentsMap>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, key, x)", &MomentsMap::add>,
      Batch<"extend($self, keys, xs)", &MomentsMap::extend,
            "Add xs[i] under keys[i] for every i: keys any iterable of str, xs any\n"
            "iterable or array of real numbers of the same length. All or nothing.">,
      Method<"mean($self, key)", &try_mean>,
      Method<"variance($self, key)", &try_variance>,
      Method<"merge($self, other)", &MomentsMap::merge>,
      Method<"len($self)", &MomentsMap::len>,
      Method<"encode($self)", &encode<MomentsMap>>,
      Method<"decode(b)", &MomentsMap::decode>>;
  // clang-format on
};

template <>
struct Binding<ReplicatedSum> {
  static constexpr const char* name = "ReplicatedSum";
  using ctor = Ctor<"()", &make_default<ReplicatedSum>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, replica, x)", &ReplicatedSum::add>,
      Method<"join($self, other)", &ReplicatedSum::join>,
      Method<"value($self)", &ReplicatedSum::value>,
      Method<"encode($self)", &encode<ReplicatedSum>>,
      Method<"decode(b)", &ReplicatedSum::decode>>;
  // clang-format on
};

template <>
struct Binding<DeltasSum> {
  static constexpr const char* name = "DeltasSum";
  using ctor = Ctor<"()", &make_default<DeltasSum>>;
  // clang-format off: a table, one method per row
  using methods = Methods<
      Method<"add($self, x)", &DeltasSum::add>,
      Batch<"extend($self, xs)", &DeltasSum::extend>,
      Method<"value($self)", &DeltasSum::value>>;
  // clang-format on
};

TALLIX_CLASS(SumMap)
TALLIX_CLASS(MomentsMap)
TALLIX_CLASS(ReplicatedSum)
TALLIX_CLASS(DeltasSum)

}  // namespace tallix::py
