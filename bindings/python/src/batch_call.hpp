// Batch methods: `extend` and its kin. A table names one as
//
//   Batch<"extend($self, xs)", &SumF64::extend>
//
// which is a MethodCall (frame.hpp) whose core call receives the input a
// chunk at a time (streams.hpp):
//   1. The instance is borrowed exclusively for the whole call, so another
//      thread that touches it meets the borrow error, never a torn state.
//   2. Buffers are read, and the core works on them, without the
//      interpreter lock once a chunk is large enough to be worth it.
//   3. Signals are checked between chunks, so Ctrl-C lands at once.
//   4. All or nothing: a batch of more than one chunk goes into a copy of
//      the state, which replaces the state only when every chunk went in. A
//      failure half-way (a bad element, a signal, a length mismatch) leaves
//      the state byte for byte as it was. A single chunk goes straight in
//      when the core call cannot fail half-way (it is noexcept).
// The core call's result is the state's bytes after a loop of single
// updates, however the input is cut into chunks.
#pragma once

#include <optional>
#include <tuple>
#include <type_traits>

#include "frame.hpp"
#include "row_feed.hpp"
#include "scoped.hpp"
#include "streams.hpp"

namespace tallix::py {

template <class P>
struct StreamFor;
template <>
struct StreamFor<std::span<const double>> {
  using type = ColumnStream<Exactly>;
};
template <>
struct StreamFor<Observations> {
  using type = ObservationStream;
};
template <>
struct StreamFor<std::span<const std::string_view>> {
  using type = KeyStream;
};

template <class L>
struct StreamTuple;
template <class... P>
struct StreamTuple<TypeList<P...>> {
  using type = std::tuple<typename StreamFor<std::remove_cvref_t<P>>::type...>;
  template <class T, auto Fn>
  static constexpr bool nothrow = std::is_nothrow_invocable_v<decltype(Fn), T&, P...>;
};

template <class Streams, class F>
bool all_of(Streams& s, F f) {
  return std::apply([&](auto&... each) { return (f(each) && ...); }, s);
}

// The largest of one measure over the streams' pending chunks: their items
// (`pending`), or the numbers they hold (`values`), which decide the unlocking
// since a chunk of observations holds fewer rows the wider they are.
template <class Streams, class Measure>
size_t largest(const Streams& s, Measure measure) {
  return std::apply([&](const auto&... each) { return std::max({size_t{0}, measure(each)...}); },
                    s);
}

// One chunk of every stream into `target`: conversion and the core call run
// without the lock when every stream is a buffer and the chunk is long.
template <auto Fn, class T, class Streams>
PyObject* feed_chunk(T& target, Streams& streams, const CallName& who) {
  bool unlocked = all_of(streams, [](auto& s) { return !s.needs_lock(); }) &&
                  largest(streams, [](const auto& e) { return e.values(); }) >= kMinUnlockedValues;
  bool converted = false;
  Status status;
  {
    Unlocked scope(unlocked);
    converted = all_of(streams, [](auto& s) { return s.convert(); });
    if (converted)
      status =
          std::apply([&](auto&... each) { return outcome<Fn>(target, each.chunk()...); }, streams);
  }
  if (!converted) {
    all_of(streams, [](auto& s) { return !s.refuse(); });
    return nullptr;
  }
  if (!status.ok()) return raise_failure(status.failure(), who);
  Py_RETURN_NONE;
}

template <auto Fn, bool Nothrow, class T, class Streams>
PyObject* feed(T& state, Streams& streams, const Signature& sig, const CallName& who) {
  constexpr auto every = std::make_index_sequence<std::tuple_size_v<Streams>>{};
  std::optional<T> scratch;
  for (bool first = true;; first = false) {
    if (PyErr_CheckSignals() < 0) return nullptr;
    size_t most =
        std::apply([](const auto&... s) { return std::min({s.preferred()...}); }, streams);
    auto pull = [most](auto& s, size_t) { return s.pull(most); };
    if (!each_parameter(streams, sig, pull, every)) return nullptr;
    bool last = all_of(streams, [](auto& s) { return s.exhausted(); });
    if (!first && last && largest(streams, [](const auto& e) { return e.pending(); }) == 0) break;
    if (first && last && Nothrow) return feed_chunk<Fn>(state, streams, who);
    if (!scratch) scratch.emplace(state);
    Owned done(feed_chunk<Fn>(*scratch, streams, who));
    if (!done) return nullptr;
    if (last) break;
  }
  state = std::move(*scratch);
  Py_RETURN_NONE;
}

// How a batch method's arguments reach the core: as streams, a chunk at a
// time, into the instance MethodCall borrowed exclusively.
struct ArgumentsInChunks {
  template <auto Fn, class Params, class T>
  static PyObject* run(T* state, const BoundArguments& bound, const Signature& sig,
                       const CallName& who) {
    static_assert(!std::is_void_v<T>, "a batch method takes the instance");
    using Shape = StreamTuple<Params>;
    typename Shape::type streams;
    constexpr auto every = std::make_index_sequence<Params::size>{};
    auto open = [&](auto& s, size_t i) { return s.open(bound[i]); };
    if (!each_parameter(streams, sig, open, every)) return nullptr;
    return feed<Fn, Shape::template nothrow<T, Fn>>(*state, streams, sig, who);
  }
};

// A table entry for a batch method: text signature, core callable,
// docstring. A batch `extend` of columns only also gives its class the row
// feed (row_feed.hpp).
template <Lit Sig, auto Fn, Lit Doc = "">
struct Batch {
  template <class T>
  static PyMethodDef def(std::deque<std::string>& text) {
    using Feed = RowFeedCall<T, Sig, Fn>;
    if constexpr (Feed::kTakesColumns) class_record<T>.row_feed = &Feed::call;
    return method_def<Sig, Doc>(text, &MethodCall<T, Sig, Fn, ArgumentsInChunks>::call);
  }
};

}  // namespace tallix::py
