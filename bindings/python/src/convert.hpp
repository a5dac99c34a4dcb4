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

namespace tallix::py {

template <class T>
inline const char* class_name = nullptr;

// ---- arguments ---------------------------------------------------------

// An instance of a bound class, borrowed shared for the call.
template <class P>
struct Arg {
  using T = std::remove_cvref_t<P>;
  const T* ptr = nullptr;
  BorrowGuard guard;

  bool load(PyObject* o) {
    if (!type_object<T> || Py_TYPE(o) != type_object<T>) {
      raise_cannot_convert(o, class_name<T> ? class_name<T> : "?");
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

// A sequence of real numbers: read in place from a C-contiguous float64
// buffer, otherwise collected through the iteration protocol.
template <>
struct Arg<std::span<const double>> {
  std::vector<double> owned;
  Py_buffer view{};
  bool has_view = false;
  std::span<const double> v;

  Arg() = default;
  Arg(const Arg&) = delete;
  Arg& operator=(const Arg&) = delete;
  ~Arg() {
    if (has_view) PyBuffer_Release(&view);
  }
  bool load(PyObject* o);
  std::span<const double> get() const { return v; }

 private:
  bool try_buffer(PyObject* o);
  bool iterate(PyObject* o);
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
