// Turning core failures and call mistakes into Python exceptions, once.
#pragma once

#include <string>
#include <string_view>

#include "error.hpp"
#include "python.hpp"

namespace tallix::py {

// Who is being called, for messages: "SumF64.add()", "SumF64.__new__()", "dot()".
struct CallName {
  const char* cls;  // null for module functions
  std::string_view method;
};

std::string full_name(const CallName& who);
PyObject* raise_failure(const Failure& f, const CallName& who);
// Replaces a pending TypeError from converting parameter `param` by
// TypeError "argument '<param>': <message>", keeping the original's cause.
void prefix_argument_error(std::string_view param);
// The name of o's type, or "?" when it has none to give.
std::string type_name(PyObject* o);
// A TypeError "'<type>' object cannot be converted to '<target>'".
void raise_cannot_convert(PyObject* obj, const char* target);
// The exception class for broken invariants, derived from BaseException.
PyObject* panic_exception();

}  // namespace tallix::py
