// The row feed: many states of one class fed from one pass over blocks
// (2-D arrays). Row i of every block goes to state i through the core
// update of the class's batch `extend`, so state i ends with the bytes
// `states[i].extend(row_i...)` would leave. The Batch entry of that
// `extend` makes the feed, when the update takes only columns. The rules of
// a batch method hold for the whole call:
//   1. Every instance is borrowed exclusively until the call ends.
//   2. Tiles are read, and the states fed, without the interpreter lock once
//      a tile is large enough to be worth it.
//   3. Signals are checked between tiles.
//   4. All or nothing: a state is copied before its first update when any
//      later step could fail (another tile, an integer with no binary64
//      value, a refused core call), and every copy is put back on failure.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "blocks.hpp"
#include "frame.hpp"

namespace tallix::py {

// Every state of one call, borrowed exclusively until it ends; false with
// the error set when another borrow holds one, or when one is listed twice
// (this call would hold it already). The caller holds strong references.
inline bool borrow_each(Borrow& borrow, std::span<PyObject* const> objects) {
  borrow.reserve(objects.size());
  for (PyObject* o : objects) {
    if (borrow.exclusive(o)) continue;
    if (borrow.holds(o))
      PyErr_SetString(PyExc_ValueError, "each state may appear only once in states");
    return false;
  }
  return true;
}

// The states of a row feed, by row.
template <class T>
class States {
 public:
  explicit States(std::span<PyObject* const> objects) : objects_(objects) {}
  T& operator[](size_t i) const { return instance_of<T>(objects_[i])->state; }

 private:
  std::span<PyObject* const> objects_;
};

// What a failed call must put back, in row order: a copy of each state, or
// for a state still as constructed only a mark, since the companion feeds
// fresh states and copying a million of them costs more than feeding them.
// A state counts as fresh when its object representation equals a fresh
// one's; a state whose padding differs is merely copied.
template <class T>
class Backups {
 public:
  Backups(States<T>& states, bool wanted, size_t rows) : states_(states), wanted_(wanted) {
    if (wanted) fresh_.reserve(rows);
  }
  void keep(size_t first, size_t rows) {
    if (!wanted_) return;
    for (size_t r = 0; r < rows; ++r) {
      const T& state = states_[first + r];
      bool fresh = is_fresh(state);
      // The copy before its mark: restore() takes a copy for every mark that
      // is not fresh, so a mark whose copy failed (out of memory) would send it
      // past the end of copies_. A copy without its mark is never read.
      if (!fresh) copies_.push_back(state);
      fresh_.push_back(fresh);
    }
  }
  void restore() noexcept {
    size_t copied = 0;
    for (size_t i = 0; i < fresh_.size(); ++i)
      states_[i] = fresh_[i] ? T{} : std::move(copies_[copied++]);
  }

 private:
  static bool is_fresh(const T& state) {
    if constexpr (std::is_trivially_copyable_v<T>) {
      static const T fresh{};
      return std::memcmp(&state, &fresh, sizeof(T)) == 0;
    } else {
      return false;
    }
  }

  States<T>& states_;
  bool wanted_;
  std::vector<uint8_t> fresh_;
  std::vector<T> copies_;
};

// Whether every parameter of a core update is a column of values.
template <class L>
struct AllColumns : std::false_type {};
template <class... P>
struct AllColumns<TypeList<P...>>
    : std::bool_constant<(std::is_same_v<std::remove_cvref_t<P>, std::span<const double>> && ...)> {
};

// The row feed of the batch method `Sig` of T, whose core update is Fn.
template <class T, Lit Sig, auto Fn>
struct RowFeedCall {
  using C = Callable<decltype(Fn)>;
  static constexpr size_t K = C::params::size;
  // Only an update of columns, one block each, can be fed by rows.
  static constexpr bool kTakesColumns =
      AllColumns<typename C::params>::value && K >= 1 && K <= kMaxBlocks;
  static constexpr bool kMayRefuse = !std::is_void_v<typename C::result>;

  static PyObject* call(std::span<PyObject* const> objects, Blocks& blocks) {
    static_assert(kTakesColumns, "a row feed takes one block per column of extend");
    const CallName who{class_record<T>.name, parse_signature(Sig.view()).name};
    if (blocks.count() != K) {
      PyErr_Format(PyExc_TypeError,
                   "%s takes %zu array(s), so each state needs %zu block(s), not %zu",
                   full_name(who).c_str(), K, K, blocks.count());
      return nullptr;
    }
    if (!blocks.equal_widths()) return refuse_widths(blocks, who);
    Borrow borrow;
    if (!borrow_each(borrow, objects)) return nullptr;
    States<T> states(objects);
    TilePlan plan = blocks.plan(objects.size());
    Backups<T> backups(states, !plan.single() || blocks.may_refuse() || kMayRefuse, objects.size());
    try {
      auto step = [&](const Tile& t) {
        if (t.opens_group()) backups.keep(t.row, t.rows);
        return feed_tile(states, blocks, t, std::make_index_sequence<K>{});
      };
      if (blocks.each_tile(plan, who, step)) Py_RETURN_NONE;
      backups.restore();
      return nullptr;
    } catch (...) {
      backups.restore();
      throw;
    }
  }

 private:
  template <size_t... I>
  static Status feed_tile(States<T>& states, const Blocks& blocks, const Tile& t,
                          std::index_sequence<I...>) {
    for (size_t r = 0; r < t.rows; ++r) {
      Status status = outcome<Fn>(states[t.row + r], blocks.row(I, r)...);
      if (!status.ok()) return status;
    }
    return {};
  }

  // Rows of unequal lengths: the message the batch method gives for them,
  // from the core call on a throwaway state.
  static PyObject* refuse_widths(const Blocks& blocks, const CallName& who) {
    if constexpr (kMayRefuse) {
      size_t longest = 0;
      for (size_t k = 0; k < K; ++k) longest = std::max(longest, blocks.width(k));
      std::vector<double> zeros(longest);
      T scratch{};
      Status status = with_widths(scratch, blocks, zeros, std::make_index_sequence<K>{});
      if (!status.ok()) return raise_failure(status.failure(), who);
    }
    PyErr_SetString(PyExc_ValueError, "the blocks must have equal shapes");
    return nullptr;
  }

  template <size_t... I>
  static Status with_widths(T& scratch, const Blocks& blocks, const std::vector<double>& zeros,
                            std::index_sequence<I...>) {
    return std::invoke(Fn, scratch, std::span<const double>(zeros.data(), blocks.width(I))...);
  }
};

}  // namespace tallix::py
