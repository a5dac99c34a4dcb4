// The one reader of real numbers: columns, observations and keys, opened
// by the rules of a policy and read a chunk at a time.
#include "streams.hpp"

#include <algorithm>
#include <cstdint>

#include "errors.hpp"
#include "numbers.hpp"

namespace tallix::py {

namespace {

// What a column, observations or keys argument must be, for the message
// refusing a str in its place.
constexpr const char* kColumnExpected = "an iterable of real numbers or a numeric array";
constexpr const char* kObservationsExpected =
    "an iterable of rows of real numbers or a 2-dimensional numeric array";
constexpr const char* kKeysExpected = "an iterable of str keys";

// A sequence's reported length only sizes the first allocation, and never
// by much beyond this for a type that could be lying about it.
constexpr Py_ssize_t kMaxReservedValues = Py_ssize_t{1} << 16;

// Exact lists and tuples know their length; anything else only hints at it.
size_t reservation(PyObject* o) {
  Py_ssize_t n = PyObject_Size(o);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return static_cast<size_t>(n);
  return static_cast<size_t>(std::min<Py_ssize_t>(n, kMaxReservedValues));
}

// The iterator over `o`. Where any iterable is taken, a TypeError says what
// was expected instead of that `o` is not iterable.
template <class Policy>
bool open_iterator(PyObject* o, Owned& iterator) {
  iterator.reset(PyObject_GetIter(o));
  if (iterator) return true;
  if (!Policy::kSequencesOnly && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    raise_cannot_convert(o, "Sequence");
  }
  return false;
}

// Refuses what the policy refuses, and opens `o` as an array of `ndim`
// dimensions where it is one: true when `o` is to be read, as that array or
// else as an iterable; false with the error set.
template <class Policy>
bool admit(PyObject* o, int ndim, const char* expected, ArrayInput& array) {
  if (Policy::refuse_text(o, expected)) return false;
  if (Policy::kSequencesOnly && !PySequence_Check(o)) {
    raise_cannot_convert(o, "Sequence");
    return false;
  }
  if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return true;
  return array.open(o, ndim, Policy::kArrays) || !PyErr_Occurred();
}

}  // namespace

// ---- policies ----------------------------------------------------------

bool AsFloat::refuse_text(PyObject* o, const char*) {
  if (!PyUnicode_Check(o)) return false;
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return true;
}

bool AsFloat::value(PyObject* o, double& out) { return float_from_object(o, out); }

bool Exactly::refuse_text(PyObject* o, const char* expected) {
  return py::refuse_text(o, expected);
}

bool Exactly::value(PyObject* o, double& out) { return real_from_object(o, out); }

// ---- columns -----------------------------------------------------------

template <class Policy>
bool ColumnStream<Policy>::open(PyObject* o) {
  if (!admit<Policy>(o, 1, kColumnExpected, array_)) return false;
  if (array_.is_open()) return true;
  if (Policy::kSequencesOnly) values_.reserve(reservation(o));
  return open_iterator<Policy>(o, iterator_);
}

template <class Policy>
bool ColumnStream<Policy>::pull(size_t most) {
  if (array_.is_open()) return pull_array(most);
  values_.clear();
  while (values_.size() < most) {
    Owned item(PyIter_Next(iterator_.get()));
    if (!item) {
      if (PyErr_Occurred()) return false;
      exhausted_ = true;
      break;
    }
    double x;
    if (!Policy::value(item.get(), x)) return false;
    values_.push_back(x);
  }
  data_ = values_.data();
  count_ = values_.size();
  return true;
}

template <class Policy>
bool ColumnStream<Policy>::read_whole(PyObject* o) {
  if (!open(o) || !pull(SIZE_MAX)) return false;
  if (convert()) return true;
  if (!refuse()) PyErr_SetString(PyExc_RuntimeError, "tallix: a column was not read");
  return false;
}

template class ColumnStream<AsFloat>;
template class ColumnStream<Exactly>;

// ---- observations ------------------------------------------------------

bool ObservationStream::open(PyObject* o) {
  if (!admit<Exactly>(o, 2, kObservationsExpected, array_)) return false;
  if (!array_.is_open()) return open_iterator<Exactly>(o, iterator_);
  width_ = array_.width();
  return true;
}

bool ObservationStream::pull_row(PyObject* row) {
  ColumnStream<Exactly> column;
  if (!column.read_whole(row)) return false;
  std::span<const double> values = column.chunk();
  values_.insert(values_.end(), values.begin(), values.end());
  if (rows_seen_++ > 0 && values.size() != width_) {
    PyErr_SetString(PyExc_ValueError, "rows must all have the same length");
    return false;
  }
  width_ = values.size();
  return true;
}

bool ObservationStream::pull(size_t most) {
  if (array_.is_open()) return pull_array(most);
  values_.clear();
  for (count_ = 0; count_ < most; ++count_) {
    Owned row(PyIter_Next(iterator_.get()));
    if (!row) {
      if (PyErr_Occurred()) return false;
      exhausted_ = true;
      break;
    }
    if (!pull_row(row.get())) return false;
  }
  data_ = values_.data();
  return true;
}

// ---- keys --------------------------------------------------------------

void KeyStream::release() {
  for (PyObject* o : held_) Py_DECREF(o);
  held_.clear();
  views_.clear();
}

bool KeyStream::open(PyObject* o) {
  if (refuse_text(o, kKeysExpected)) return false;
  return open_iterator<Exactly>(o, iterator_);
}

bool KeyStream::pull(size_t most) {
  release();
  // Room first: a str taken from the iterator must be held before anything
  // can fail, or its reference would be lost.
  held_.reserve(most);
  views_.reserve(most);
  while (views_.size() < most) {
    PyObject* item = PyIter_Next(iterator_.get());
    if (!item) {
      if (PyErr_Occurred()) return false;
      exhausted_ = true;
      break;
    }
    held_.push_back(item);
    if (!PyUnicode_Check(item)) {
      raise_cannot_convert(item, "PyString");
      return false;
    }
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &len);
    if (!text) return false;
    views_.emplace_back(text, static_cast<size_t>(len));
  }
  return true;
}

}  // namespace tallix::py
