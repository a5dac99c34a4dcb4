// Argument converters (one per parameter kind) and result converters (one per
// result kind). A converter is picked by the C++ type of the core parameter.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "merge.hpp"
#include "python.hpp"
#include "rows.hpp"

namespace tallix::py {

// ---- arguments ---------------------------------------------------------

// An instance of a bound class, borrowed shared for the call.
template <class P>
struct Arg {
  using T = std::remove_cvref_t<P>;
  const T* ptr = nullptr;
  BorrowGuard guard;

  bool load(PyObject* o) {
    const ClassRecord& record = class_record<T>;
    if (!record.type || Py_TYPE(o) != record.type) {
      raise_cannot_convert(o, record.name ? record.name : "?");
      return false;
    }
    auto* inst = instance_of<T>(o);
    if (!guard.shared(inst->borrow)) return false;
    ptr = &inst->state;
    return true;
  }
  const T& get() const { return *ptr; }
};

template <>
struct Arg<double> {
  double v = 0;
  bool load(PyObject* o) {
    v = PyFloat_AsDouble(o);
    return !(v == -1.0 && PyErr_Occurred());
  }
  double get() const { return v; }
};

// A real number rounded to nearest-even binary32 (overflow gives infinity).
template <>
struct Arg<float> {
  float v = 0;
  bool load(PyObject* o) {
    Arg<double> d;
    if (!d.load(o)) return false;
    v = static_cast<float>(d.v);
    return true;
  }
  float get() const { return v; }
};

template <>
struct Arg<uint64_t> {
  uint64_t v = 0;
  bool load(PyObject* o);
  uint64_t get() const { return v; }
};

template <>
struct Arg<std::string_view> {
  std::string_view v;
  bool load(PyObject* o);
  std::string_view get() const { return v; }
};

template <>
struct Arg<ByteView> {
  ByteView v;
  bool load(PyObject* o);
  ByteView get() const { return v; }
};

// Binary64 values read from Python: borrowed in place from a C-contiguous
// native float64 buffer, or collected through the iteration protocol.
class FloatSource {
 public:
  FloatSource() = default;
  FloatSource(const FloatSource&) = delete;
  FloatSource& operator=(const FloatSource&) = delete;
  ~FloatSource();

  // Borrows a buffer of `ndim` dimensions; false, with no error set, when the
  // object exports no such buffer.
  bool borrow_buffer(PyObject* o, int ndim);
  // Appends every element of an iterable; false with the error set.
  bool append_iterated(PyObject* o);
  void append(std::span<const double> more) {
    owned_.insert(owned_.end(), more.begin(), more.end());
  }
  std::span<const double> values() const { return has_view_ ? borrowed_ : owned_; }
  size_t extent(int dim) const { return static_cast<size_t>(view_.shape[dim]); }

 private:
  Py_buffer view_{};
  bool has_view_ = false;
  std::span<const double> borrowed_;
  std::vector<double> owned_;
};

// A sequence of real numbers.
template <>
struct Arg<std::span<const double>> {
  FloatSource source;
  bool load(PyObject* o);
  std::span<const double> get() const { return source.values(); }
};

// A sequence of rows of real numbers, or a 2-D float64 buffer.
template <>
struct Arg<Rows> {
  FloatSource source;
  Rows rows;
  bool load(PyObject* o);
  Rows get() const { return rows; }
};

// ---- results -----------------------------------------------------------

PyObject* to_python(double v);
PyObject* to_python(float v);
PyObject* to_python(bool v);
PyObject* to_python(uint64_t v);
PyObject* to_python(const Bytes& b);
PyObject* to_python(const std::vector<double>& v);
PyObject* to_python(const std::vector<uint64_t>& v);
PyObject* to_python(const std::pair<double, double>& v);

template <size_t N>
PyObject* to_python(const std::array<uint8_t, N>& b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), N);
}

// A state returned by value (decoded, finished) becomes a new instance.
template <class T>
  requires Encodable<std::remove_cvref_t<T>>
PyObject* to_python(T&& state) {
  return wrap(std::forward<T>(state));
}

template <class T>
PyObject* to_python(Result<T>&& r, const CallName& who) {
  if (!r.ok()) return raise_failure(r.failure(), who);
  return to_python(std::move(r).value());
}

inline PyObject* to_python(Status&& r, const CallName& who) {
  if (!r.ok()) return raise_failure(r.failure(), who);
  Py_RETURN_NONE;
}

template <class T>
PyObject* to_python(T&& v, const CallName&) {
  return to_python(std::forward<T>(v));
}

}  // namespace tallix::py
