// Matching a call's positional and keyword arguments to the parameters of a
// text signature, with the interpreter's TypeError messages.
#pragma once

#include <array>

#include "errors.hpp"
#include "python.hpp"
#include "signature.hpp"

namespace tallix::py {

// The arguments of one call in parameter order, each held by a strong
// reference until the call returns. The caller's references are not enough:
// a conversion hook (__len__, __iter__, __float__) runs Python code that may
// drop them, for example by clearing the keyword dict a constructor was given.
class BoundArguments {
 public:
  BoundArguments() = default;
  BoundArguments(const BoundArguments&) = delete;
  BoundArguments& operator=(const BoundArguments&) = delete;
  ~BoundArguments() {
    for (PyObject* o : slots_) Py_XDECREF(o);
  }
  void hold(int i, PyObject* o) {
    Py_INCREF(o);
    slots_[static_cast<size_t>(i)] = o;
  }
  bool has(int i) const { return slots_[static_cast<size_t>(i)] != nullptr; }
  PyObject* operator[](size_t i) const { return slots_[i]; }

 private:
  std::array<PyObject*, kMaxParams> slots_{};
};

// Fills `bound` for a vectorcall; false with TypeError set.
bool bind_arguments(const Signature& sig, const CallName& who, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, BoundArguments& bound);

// The same for a (tuple, dict) call, as a constructor receives it.
bool bind_tuple_arguments(const Signature& sig, const CallName& who, PyObject* args,
                          PyObject* kwargs, BoundArguments& bound);

}  // namespace tallix::py
