// Module initialisation: the classes in their fixed order, then the module
// functions (`dot`, and the companion's private `_extend_rows`, `_replica`,
// `_moments`, `_cov`, `_int_sums`, `_row_answers` and `_int_answer`), the
// grouped feed `_Groups`, then PanicException.
#include "frame.hpp"
#include "registry.hpp"

namespace tallix::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tallix", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

using AddFn = int (*)(PyObject*);

// The order of this list is the order of the module's __all__.
constexpr AddFn kClasses[] = {TALLIX_CLASS_LIST};

int add_functions(PyObject* module) {
  static std::deque<std::string> text;
  static std::vector<PyMethodDef> defs = module_functions(text);
  for (PyMethodDef& def : defs) {
    if (!def.ml_name) break;
    PyObject* name = PyUnicode_FromString("tallix");
    PyObject* fn = name ? PyCFunction_NewEx(&def, module, name) : nullptr;
    Py_XDECREF(name);
    if (!fn) return -1;
    int rc = add_to_module(module, def.ml_name, fn);
    Py_DECREF(fn);
    if (rc < 0) return -1;
  }
  return 0;
}

PyObject* init() {
  static bool initialized = false;
  if (initialized) {
    PyErr_SetString(PyExc_ImportError,
                    "tallix can only be initialized once per interpreter process");
    return nullptr;
  }
  PyObject* module = PyModule_Create2(&module_def, 3);
  if (!module) return nullptr;
  initialized = true;
  for (AddFn add : kClasses) {
    if (add(module) < 0) {
      Py_DECREF(module);
      return nullptr;
    }
  }
  PyObject* panic = panic_exception();
  if (!panic || add_functions(module) < 0 || add_groups_class(module) < 0 ||
      PyModule_AddObject(module, "PanicException", (Py_INCREF(panic), panic)) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

}  // namespace
}  // namespace tallix::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tallix() {
  return tallix::py::init();
}
