// Exact states of many groups at once: each row of a column goes to the group
// its code names, and every group is answered rounded once, with no object
// per group. A group lives in the compact form (compact.hpp) while its
// values allow, and moves to full accumulators only when they need it; then
// the values whose squares would leave the exact range go to parts scaled
// towards 1 (answers.hpp), so every finite answer is exact at any range.
//
// Groups of the same kind travel as records (record / merge_record) and
// merge exactly: a group's answers do not depend on how its rows were split
// or in what order they came.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "answers.hpp"
#include "compact.hpp"
#include "integers.hpp"

namespace tallix {

// A group moved to full accumulators: unscaled values (and non-finite ones)
// in the part of scale 0, the others in exponent bands scaled towards 1.
struct BandedMoments {
  std::vector<std::pair<int64_t, MomentsF64>> parts;  // (scale, state)

  void add(double x) noexcept;
  // Takes back a finite non-zero x added before: its negation and its
  // negated square enter the same part, so the sums are exact again (a
  // window sliding past it); the counts keep counting adds.
  void remove(double x) noexcept;
  void merge(const BandedMoments& other);
  MomentsF64& part(int64_t scale);
};

// How a row that holds no value is told apart: `skip[i]` set, or a NaN when
// NaNs are skipped; such rows are counted as missing in their group.
struct Absent {
  const uint8_t* skip = nullptr;  // null: no mask
  bool nans = true;
};

// The checks and counts the grouped states share: values and missing rows
// per group.
class GroupCounts {
 public:
  explicit GroupCounts(size_t count) : missing_(count) {}
  size_t count() const { return missing_.size(); }
  uint64_t missing(size_t g) const { return missing_[g]; }
  // The first code at or beyond count(), or the number of codes if none.
  size_t first_bad_code(std::span<const int64_t> codes) const;

 protected:
  std::vector<uint64_t> missing_;
};

class GroupedMoments : public GroupCounts {
 public:
  // `squares`: keep Σx² too (variances); without it only sums and means.
  GroupedMoments(size_t count, bool squares);
  bool squares() const { return squares_; }
  uint64_t n(size_t g) const { return slots_[g].n; }

  // values[i] into group codes[i]; a negative code drops the row. Codes
  // must be below count() (first_bad_code).
  void feed(std::span<const int64_t> codes, std::span<const double> values, Absent absent) noexcept;
  // A run of values all of group g: a row of a tall array.
  void feed_run(size_t g, std::span<const double> values, bool skip_nans) noexcept;
  // Every group empty again, its memory kept.
  void clear() noexcept;
  // Group g's answer over its values, rounded once; Sum, Mean, Var or Std.
  Result<double> answer(size_t g, MomentAnswer what, double ddof, Precision precision) const;
  // Group k of other into group positions[k] (negative: dropped); both keep
  // squares alike, and positions lie below count().
  void merge(const GroupedMoments& other, std::span<const int64_t> positions);

  // A group as self-contained bytes, and read back: Rejection where the
  // bytes are not a record of a group of this kind. Reading checks the
  // whole record, so a caller can read every record before merging any.
  struct Record {
    uint64_t n = 0, missing = 0;
    CompactMoments compact;
    std::unique_ptr<BandedMoments> banded;  // null for a compact group
  };
  Bytes record(size_t g) const;
  Result<Record> read_record(ByteView bytes) const;
  void merge_record(size_t g, const Record& record);

 private:
  // Two cache lines a group.
  struct alignas(64) Slot {
    CompactMoments compact;
    uint32_t banded = kCompact;  // index into banded_ once moved
    uint64_t n = 0;              // values fed, zeros included
  };
  static constexpr uint32_t kCompact = UINT32_MAX;

  void add(size_t g, double x) noexcept;
  BandedMoments& moved(size_t g);
  void merge_group(size_t g, const CompactMoments* compact, const BandedMoments* banded, uint64_t n,
                   uint64_t missing);

  bool squares_;
  std::vector<Slot> slots_;
  std::vector<std::unique_ptr<BandedMoments>> banded_;
};

// Exact Σx and Σx² of 64-bit integers per group.
class GroupedIntegers : public GroupCounts {
 public:
  explicit GroupedIntegers(size_t count) : GroupCounts(count), sums_(count), n_(count) {}
  uint64_t n(size_t g) const { return n_[g]; }

  // As GroupedMoments::feed, for signed or unsigned 64-bit values.
  void feed(std::span<const int64_t> codes, std::span<const int64_t> values,
            const uint8_t* skip) noexcept;
  void feed(std::span<const int64_t> codes, std::span<const uint64_t> values,
            const uint8_t* skip) noexcept;
  const IntegerSums& sums(size_t g) const { return sums_[g]; }
  // Mean, Var or Std of group g; NaN where undefined.
  Result<double> answer(size_t g, MomentAnswer what, double ddof) const;
  void merge(const GroupedIntegers& other, std::span<const int64_t> positions);

  struct Record {
    uint64_t n = 0, missing = 0;
    IntegerSums sums;
  };
  Bytes record(size_t g) const;
  Result<Record> read_record(ByteView bytes) const;
  void merge_record(size_t g, const Record& record);

 private:
  template <class V>
  void feed_values(std::span<const int64_t> codes, std::span<const V> values,
                   const uint8_t* skip) noexcept;

  std::vector<IntegerSums> sums_;
  std::vector<uint64_t> n_;
};

}  // namespace tallix
