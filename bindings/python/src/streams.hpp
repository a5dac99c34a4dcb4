// The one reader of real numbers from Python arguments. A policy holds the
// rules of acceptance, which differ between the two kinds of call:
//   AsFloat  the documented converters of single calls (`dot`,
//            `DotF64.extend`, `FastSumF64.extend`, `CovMatrixF64.add`, the
//            constructors): lists, tuples and other sequences (a generator is
//            refused), native binary64 arrays read in place, every value as
//            float() gives it.
//   Exactly  the batch methods: any iterable, arrays of any real dtype, Arrow
//            data, __array__; a value only when binary64 holds it exactly.
//
// A batch argument is read a chunk at a time, so that a batch of any length
// runs in bounded memory, can be interrupted between chunks and can work on
// buffers without the interpreter lock. Every stream follows one protocol,
// driven by `feed` in batch_call.hpp:
//   open(obj)   classify the argument; refuse what is not numbers (lock held)
//   preferred() how many items (values, rows, keys) a chunk should hold
//   pull(n)     take the next n items from an iterable or Arrow batches
//               (lock held); a buffer only moves its window. Every stream of
//               a call pulls the same n, so that their chunks pair item for
//               item
//   convert()   read the window of a buffer into binary64 (no lock needed);
//               false when a value (a wide integer, a long double) has no
//               exact binary64 value
//   refuse()    raise the ValueError for that value (lock held)
//   chunk()     the values of this chunk, as the core takes them
// A single call reads its argument whole: one chunk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "arrays.hpp"
#include "observations.hpp"
#include "python.hpp"
#include "scoped.hpp"

namespace tallix::py {

// Values per chunk read through scratch: large enough that the work of a
// chunk (a signal check, letting the lock go) vanishes beside its values,
// small enough to answer Ctrl-C at once.
inline constexpr size_t kScratchChunk = size_t{1} << 14;
// Values per chunk read in place (contiguous native binary64, no scratch):
// longer, since a core call has a fixed cost of its own, still about a
// millisecond of work at most.
inline constexpr size_t kInPlaceChunk = size_t{1} << 18;

struct AsFloat {
  static constexpr bool kSequencesOnly = true;
  static constexpr ArrayKinds kArrays = ArrayKinds::Binary64;
  // Only str is refused as text: bytes are a sequence of small integers.
  static bool refuse_text(PyObject* o, const char* expected);
  static bool value(PyObject* o, double& out);
};

struct Exactly {
  static constexpr bool kSequencesOnly = false;
  static constexpr ArrayKinds kArrays = ArrayKinds::AnyReal;
  static bool refuse_text(PyObject* o, const char* expected);
  static bool value(PyObject* o, double& out);
};

// What the streams of numbers share: an argument read as an array, a window
// at a time, or else through its iterator into `values_`.
class NumberStream {
 public:
  bool convert() { return array_.convert(values_, data_); }
  bool refuse() const { return array_.refuse(); }
  bool needs_lock() const { return !array_.is_open(); }
  bool exhausted() const { return exhausted_; }
  size_t pending() const { return count_; }
  // Numbers in the pending chunk, which is what decides whether to unlock.
  size_t values() const { return count_; }

 protected:
  // The next rows of the array, at most `most`; false with the error set.
  bool pull_array(size_t most) {
    if (!array_.pull(most, values_, data_, count_)) return false;
    exhausted_ = array_.exhausted();
    return true;
  }

  ArrayInput array_;
  Owned iterator_;
  std::vector<double> values_;
  const double* data_ = nullptr;
  size_t count_ = 0;
  bool exhausted_ = false;
};

// A column of real numbers.
template <class Policy>
class ColumnStream : public NumberStream {
 public:
  bool open(PyObject* o);
  size_t preferred() const { return array_.in_place() ? kInPlaceChunk : kScratchChunk; }
  bool pull(size_t most);
  std::span<const double> chunk() const { return {data_, count_}; }
  // Opens `o` and reads it whole, as one chunk; false with the error set.
  bool read_whole(PyObject* o);
};

// Observations of several features each, read as the batch methods read
// them: a 2-D numeric array (one observation per row), an Arrow table, or
// any iterable of rows, each read like a column. All rows have one length.
class ObservationStream : public NumberStream {
 public:
  bool open(PyObject* o);
  // About kScratchChunk values, once the row length is known.
  size_t preferred() const {
    return std::max<size_t>(1, kScratchChunk / std::max<size_t>(1, width_));
  }
  bool pull(size_t most);
  Observations chunk() const {
    return Observations{{data_, count_ * width_}, count_, count_ ? width_ : 0};
  }
  // A chunk holds `pending()` rows of `width_` numbers each.
  size_t values() const { return count_ * width_; }

 private:
  bool pull_row(PyObject* row);

  size_t width_ = 0, rows_seen_ = 0;
};

// Text keys: any iterable of str. The chunk's str objects are held so that
// their UTF-8 views stay valid while the core reads them.
class KeyStream {
 public:
  KeyStream() = default;
  KeyStream(const KeyStream&) = delete;
  KeyStream& operator=(const KeyStream&) = delete;
  ~KeyStream() { release(); }

  bool open(PyObject* o);
  size_t preferred() const { return kScratchChunk; }
  bool pull(size_t most);
  bool convert() { return true; }
  bool refuse() const { return false; }
  bool needs_lock() const { return true; }
  bool exhausted() const { return exhausted_; }
  size_t pending() const { return views_.size(); }
  size_t values() const { return views_.size(); }
  std::span<const std::string_view> chunk() const { return views_; }

 private:
  void release();

  Owned iterator_;
  std::vector<PyObject*> held_;
  std::vector<std::string_view> views_;
  bool exhausted_ = false;
};

}  // namespace tallix::py
