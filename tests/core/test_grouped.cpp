// Grouped states (stats/grouped.hpp) against one MomentsF64 fed the same
// values: a compact group expands to the very bytes of that state, and every
// group answers as the state does, however its rows were split and merged.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "stats/compact.hpp"
#include "stats/grouped.hpp"
#include "stats/rows.hpp"

namespace {

using namespace tallix;

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// Values of one kind each: a narrow range, the compact form's edges, and
// what sends a group to full accumulators.
std::vector<double> sample(std::mt19937_64& rng, int kind, size_t n) {
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> exponent(-60, 60), wild(-1074, 1023), pick(0, 9);
  std::vector<double> out;
  for (size_t i = 0; i < n; ++i) {
    double x = normal(rng);
    switch (kind) {
      case 0:
        break;
      case 1:
        x = std::ldexp(x, exponent(rng));
        break;
      case 2: {  // the edges of note 3 and exact cancellation
        const double edges[] = {0x1p-485, -0x1p-485, 0x1.fffffffffffffp510, -0x1p510, 0.0,
                                -0.0,     0x1p-484,  1.0 + 0x1p-52,         -1.0,     0x1.8p100};
        x = edges[pick(rng)];
        break;
      }
      case 3:
        x = pick(rng) == 0 ? std::ldexp(x, wild(rng)) : x;
        break;
      default: {
        const double odd[] = {std::numeric_limits<double>::infinity(), 0x1p-1074, 0x1p600, 1e-300};
        x = pick(rng) == 0 ? odd[pick(rng) % 4] : x;
      }
    }
    out.push_back(x);
  }
  return out;
}

struct Reference {
  MomentsF64 state;
  explicit Reference(const std::vector<double>& xs) {
    for (double x : xs) state.add(x);
  }
  // NaN where the state has no answer (exactness lost: the groups answer
  // through bands there, which only the companion's oracle checks).
  double answer(MomentAnswer what, double ddof, Precision p) const {
    const ScaledMoments part{&state.sum_x, &state.sum_xx, 0};
    Result<double> r = moment_answer({&part, 1}, what, ddof, 0, p);
    return r.ok() ? r.value() : std::numeric_limits<double>::quiet_NaN();
  }
};

void check_answers(const GroupedMoments& g, size_t k, const Reference& ref) {
  for (MomentAnswer what :
       {MomentAnswer::Sum, MomentAnswer::Mean, MomentAnswer::Var, MomentAnswer::Std})
    for (Precision p : {Precision::Binary64, Precision::Binary32})
      for (double ddof : {0.0, 1.0}) {
        const double want = ref.answer(what, ddof, p);
        if (std::isnan(want)) continue;
        Result<double> got = g.answer(k, what, ddof, p);
        CHECK(got.ok());
        if (got.ok()) CHECK_EQ(bits(got.value()), bits(want));
      }
}

TEST(compact_groups_expand_to_the_bytes_of_one_state) {
  std::mt19937_64 rng(7);
  for (int kind = 0; kind < 3; ++kind)
    for (size_t n : {size_t{1}, size_t{2}, size_t{17}, size_t{1000}}) {
      const std::vector<double> xs = sample(rng, kind, n);
      CompactMoments c;
      bool held = true;
      for (double x : xs) held = held && c.add(x, true);
      if (!held) continue;
      MomentsF64 expanded;
      c.expand(n, expanded);
      CHECK(expanded.to_bytes() == Reference(xs).state.to_bytes());
      CHECK(c.valid());
    }
}

TEST(compact_merges_far_apart_values_exactly) {
  // Placed two words apart, the larger sum no longer fits the words of the
  // lower placement: the merge must refuse, not wrap around.
  for (double big : {-0x1.d71c7dfa26dadp+13, 0x1.d71c7dfa26dadp+13, 0x1p120, -0x1p-100})
    for (double small : {-0x1.08ed8146410fbp-77, 0x1p-140, 3.0}) {
      CompactMoments a, b;
      CHECK(a.add(big, true) && b.add(small, true));
      MomentsF64 want;
      want.add(big);
      want.add(small);
      for (int order = 0; order < 2; ++order) {
        CompactMoments m = order == 0 ? a : b;
        if (!m.merge(order == 0 ? b : a)) continue;  // refused: the caller moves to full states
        MomentsF64 got;
        m.expand(2, got);
        CHECK(got.to_bytes() == want.to_bytes());
      }
    }
}

TEST(compact_form_refuses_what_it_cannot_hold_and_changes_nothing) {
  CompactMoments c;
  CHECK(c.add(1.0, true));
  const CompactMoments before = c;
  for (double x : {0x1p-486, 0x1p511, 0x1p-1074, std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN(), 0x1p-200, 0x1p300}) {
    CHECK(!c.add(x, true));
    CHECK(c.sum == before.sum && c.squares == before.squares && c.sum_at == before.sum_at);
  }
  CHECK(c.add(0.0, true) && c.add(0x1p-60, true) && c.add(0x1p60, true));
}

TEST(groups_answer_as_one_state_however_rows_are_split) {
  std::mt19937_64 rng(11);
  constexpr size_t kGroups = 6;
  for (int kind = 0; kind < 5; ++kind) {
    std::vector<std::vector<double>> by_group(kGroups);
    std::vector<int64_t> codes;
    std::vector<double> values;
    for (double x : sample(rng, kind, 3000)) {
      const auto k = static_cast<int64_t>(rng() % (kGroups + 1)) - 1;  // -1: dropped
      codes.push_back(k);
      values.push_back(x);
      if (k >= 0) by_group[static_cast<size_t>(k)].push_back(x);
    }
    GroupedMoments whole(kGroups, true), left(kGroups, true), right(kGroups, true),
        merged(kGroups, true);
    whole.feed(codes, values, Absent{nullptr, false});
    const size_t cut = rng() % codes.size();
    left.feed({codes.data(), cut}, {values.data(), cut}, Absent{nullptr, false});
    right.feed({codes.data() + cut, codes.size() - cut}, {values.data() + cut, values.size() - cut},
               Absent{nullptr, false});
    std::vector<int64_t> same(kGroups);
    for (size_t k = 0; k < kGroups; ++k) same[k] = static_cast<int64_t>(k);
    merged.merge(right, same);
    for (size_t k = 0; k < kGroups; ++k) {
      auto record = left.read_record(left.record(k));
      CHECK(record.ok());
      if (record.ok()) merged.merge_record(k, record.value());
    }
    for (size_t k = 0; k < kGroups; ++k) {
      const Reference ref(by_group[k]);
      CHECK_EQ(whole.n(k), by_group[k].size());
      CHECK_EQ(merged.n(k), by_group[k].size());
      check_answers(whole, k, ref);
      check_answers(merged, k, ref);
    }
  }
}

TEST(integer_groups_answer_as_the_big_integer_path) {
  std::mt19937_64 rng(5);
  for (int width : {3, 20, 40, 63}) {
    GroupedIntegers g(3);
    std::vector<int64_t> codes, values;
    for (int i = 0; i < 200; ++i) {
      codes.push_back(i % 3);
      values.push_back(static_cast<int64_t>(rng()) >> (64 - width));
    }
    values[0] = width == 63 ? INT64_MIN : values[0];
    g.feed(codes, std::span<const int64_t>(values), nullptr);
    for (size_t k = 0; k < 3; ++k) {
      WideInt n;
      n.words = {g.n(k)};
      for (MomentAnswer what : {MomentAnswer::Mean, MomentAnswer::Var, MomentAnswer::Std})
        for (double ddof : {0.0, 1.0}) {
          const Result<double> want =
              integer_moment(g.sums(k).sum(), g.sums(k).squares(), n, what, ddof);
          const Result<double> got = g.answer(k, what, ddof);
          CHECK(got.ok() && want.ok());
          if (got.ok() && want.ok()) CHECK_EQ(bits(got.value()), bits(want.value()));
        }
    }
  }
}

TEST(row_windows_answer_as_one_state) {
  std::mt19937_64 rng(13);
  std::normal_distribution<double> normal;
  size_t answered = 0;
  for (size_t width :
       {size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{7}, size_t{8}, size_t{63}, size_t{64}}) {
    for (int spread : {0, 30, 70, 80}) {
      std::uniform_int_distribution<int> exponent(-spread / 2, spread / 2);
      for (int trial = 0; trial < 40; ++trial) {
        std::vector<double> row(width);
        for (double& x : row) x = std::ldexp(normal(rng), exponent(rng));
        const Reference ref(row);
        if (auto s = window_sum(row, false)) {
          ++answered;
          CHECK_EQ(bits(window_answer(*s, false, false)),
                   bits(ref.answer(MomentAnswer::Sum, 0, Precision::Binary64)));
          CHECK_EQ(bits(window_answer(*s, true, true)),
                   bits(ref.answer(MomentAnswer::Mean, 0, Precision::Binary32)));
        }
        for (bool root : {false, true})
          if (auto v = window_spread(row, false, 1.0, root, false))
            CHECK_EQ(bits(*v), bits(ref.answer(root ? MomentAnswer::Std : MomentAnswer::Var, 1.0,
                                               Precision::Binary64)));
      }
    }
  }
  CHECK(answered > 1000);
  // NaNs skipped: answered as the row without them.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> holed = {1.5, nan, -0.25, nan, 3.0}, kept = {1.5, -0.25, 3.0};
  const Reference ref(kept);
  const auto s = window_sum(holed, true);
  CHECK(s.has_value() && s->n == 3 && s->missing == 2);
  if (s)
    CHECK_EQ(bits(window_answer(*s, true, false)),
             bits(ref.answer(MomentAnswer::Mean, 0, Precision::Binary64)));
  const auto v = window_spread(holed, true, 1.0, false, false);
  CHECK(v.has_value());
  if (v) CHECK_EQ(bits(*v), bits(ref.answer(MomentAnswer::Var, 1.0, Precision::Binary64)));
}

TEST(records_that_no_group_wrote_are_refused) {
  GroupedMoments g(1, true);
  const double xs[] = {1.5, -2.25};
  const int64_t codes[] = {0, 0};
  g.feed(codes, xs, Absent{});
  Bytes good = g.record(0);
  CHECK(g.read_record(good).ok());
  Bytes shorter(good.begin(), good.end() - 1), longer = good, wrong_kind = good, off_limbs = good;
  longer.push_back(0);
  wrong_kind[1] = 0;   // squares: no
  off_limbs[18] = 40;  // the sum placed beyond the limbs
  for (const Bytes& b : {shorter, longer, wrong_kind, off_limbs}) CHECK(!g.read_record(b).ok());
  GroupedIntegers ints(1);
  CHECK(!ints.read_record(good).ok());
}

}  // namespace
