// Matching a call's positional and keyword arguments to the parameters of a
// text signature, with the interpreter's TypeError messages.
#pragma once

#include "errors.hpp"
#include "python.hpp"
#include "signature.hpp"

namespace tallix::py {

// Fills slots[0..sig.count) with borrowed references; false with TypeError set.
bool bind_arguments(const Signature& sig, const CallName& who, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// The same for a (tuple, dict) call, as a constructor receives it.
bool bind_tuple_arguments(const Signature& sig, const CallName& who, PyObject* args,
                          PyObject* kwargs, PyObject** slots);

}  // namespace tallix::py
