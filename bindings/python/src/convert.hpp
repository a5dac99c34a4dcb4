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
#include "streams.hpp"

namespace tallix::py {

// ---- arguments ---------------------------------------------------------

// An instance of a bound class, borrowed shared for the call.
template <class P>
struct Arg {
  using T = std::remove_cvref_t<P>;
  const T* ptr = nullptr;
  Borrow borrow;

  bool load(PyObject* o) {
    const ClassRecord& record = class_record<T>;
    if (!record.type || Py_TYPE(o) != record.type) {
      raise_cannot_convert(o, record.name ? record.name : "?");
      return false;
    }
    ptr = borrow.shared<T>(o);
    return ptr != nullptr;
  }
  const T& get() const { return *ptr; }
};

// A real number as float() gives it.
template <>
struct Arg<double> {
  double v = 0;
  bool load(PyObject* o) { return AsFloat::value(o, v); }
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

// A sequence of real numbers, read by the documented converters' rules.
template <>
struct Arg<std::span<const double>> {
  ColumnStream<AsFloat> values;
  bool load(PyObject* o) { return values.read_whole(o); }
  std::span<const double> get() const { return values.chunk(); }
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
