// The declarative frame. A class is a table:
//
//   template <> struct Binding<SumF64> {
//     static constexpr const char* name = "SumF64";
//     using ctor = Ctor<"()", &make_default<SumF64>>;
//     using methods = Methods<Method<"add($self, x)", &SumF64::add>, ...>;
//   };
//   TALLIX_CLASS(SumF64)
//
// and the templates below bind arguments by the text signature, borrow the
// instance (exclusive when the core operation takes it non-const), convert
// arguments by their C++ type, call the core once and convert the result or
// the failure. Every method is a MethodCall; a batch method (batch_call.hpp)
// is one whose arguments reach the core a chunk at a time.
#pragma once

#include <deque>
#include <functional>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "arguments.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "python.hpp"
#include "signature.hpp"

namespace tallix::py {

template <class T>
struct Binding;  // specialised once per class, in its bind_*.cpp

template <class T>
T make_default() {
  return T{};
}

// ---- what a core callable takes and gives ------------------------------

template <class... A>
struct TypeList {
  static constexpr size_t size = sizeof...(A);
};

template <class F>
struct Callable;

template <class C, class R, class... A>
struct Callable<R (C::*)(A...)> {
  using self = C&;
  using result = R;
  using params = TypeList<A...>;
  using all_params = params;
};
template <class C, class R, class... A>
struct Callable<R (C::*)(A...) noexcept> : Callable<R (C::*)(A...)> {};
template <class C, class R, class... A>
struct Callable<R (C::*)(A...) const> {
  using self = const C&;
  using result = R;
  using params = TypeList<A...>;
  using all_params = params;
};
template <class C, class R, class... A>
struct Callable<R (C::*)(A...) const noexcept> : Callable<R (C::*)(A...) const> {};

// Free functions: with an instance, the first parameter is the state.
template <class R, class First, class... A>
struct Callable<R (*)(First, A...)> {
  using self = First;
  using result = R;
  using params = TypeList<A...>;
  using all_params = TypeList<First, A...>;
};
template <class R>
struct Callable<R (*)()> {
  using self = void;
  using result = R;
  using params = TypeList<>;
  using all_params = TypeList<>;
};
template <class R, class... A>
struct Callable<R (*)(A...) noexcept> : Callable<R (*)(A...)> {};

template <class L>
struct ArgTuple;
template <class... A>
struct ArgTuple<TypeList<A...>> {
  using type =
      std::tuple<Arg<std::conditional_t<std::is_reference_v<A>, A, std::remove_cv_t<A>>>...>;
};

// Applies f(item, i) to the item of every parameter i in order, stopping
// at the first that fails; a TypeError it raised names its parameter.
template <class Tuple, class F, size_t... I>
bool each_parameter(Tuple& items, const Signature& sig, [[maybe_unused]] F f,
                    std::index_sequence<I...>) {
  bool ok = true;
  ((ok = ok && (f(std::get<I>(items), I) || (prefix_argument_error(sig.params[I]), false))), ...);
  return ok;
}

// Converts the bound arguments in parameter order; the first failure ends it.
template <class Tuple, size_t... I>
bool load_arguments(Tuple& args, const BoundArguments& bound, const Signature& sig,
                    std::index_sequence<I...> every) {
  return each_parameter(args, sig, [&](auto& arg, size_t i) { return arg.load(bound[i]); }, every);
}

template <auto Fn, class Self, class Tuple, size_t... I>
decltype(auto) invoke_core(Self* self, Tuple& args, std::index_sequence<I...>) {
  if constexpr (std::is_void_v<Self>)
    return std::invoke(Fn, std::get<I>(args).get()...);
  else
    return std::invoke(Fn, *self, std::get<I>(args).get()...);
}

template <auto Fn, class Self, class Tuple, size_t N>
PyObject* call_and_convert(Self* self, Tuple& args, const CallName& who) {
  using R = decltype(invoke_core<Fn>(self, args, std::make_index_sequence<N>{}));
  if constexpr (std::is_void_v<R>) {
    invoke_core<Fn>(self, args, std::make_index_sequence<N>{});
    Py_RETURN_NONE;
  } else {
    return to_python(invoke_core<Fn>(self, args, std::make_index_sequence<N>{}), who);
  }
}

// A core update's outcome as a Status: an update that returns nothing
// cannot fail.
template <auto Fn, class... A>
Status outcome(A&&... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<decltype(Fn), A...>>) {
    std::invoke(Fn, std::forward<A>(args)...);
    return {};
  } else {
    return std::invoke(Fn, std::forward<A>(args)...);
  }
}

// Runs one call's body; a C++ exception never crosses into the interpreter.
// The core reports failures as values, so only allocation failures and
// faults in the frame itself can arrive here.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "tallix: unexpected internal error");
    return nullptr;
  }
}

// Binds a vectorcall's arguments to the signature, then runs body(bound)
// guarded: the preamble of every method wrapper.
template <class Body>
PyObject* bound_call(const Signature& sig, const CallName& who, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, Body body) noexcept {
  BoundArguments bound;
  if (!bind_arguments(sig, who, args, nargs, kwnames, bound)) return nullptr;
  return guarded([&]() -> PyObject* { return body(bound); });
}

// ---- one wrapper for every method, static method and function ----------

// How a method's arguments reach the core: each converted whole, then one
// core call. Batch methods read theirs a chunk at a time instead
// (batch_call.hpp).
struct WholeArguments {
  template <auto Fn, class Params, class Self>
  static PyObject* run(Self* self, const BoundArguments& bound, const Signature& sig,
                       const CallName& who) {
    using Args = typename ArgTuple<Params>::type;
    constexpr size_t N = std::tuple_size_v<Args>;
    Args converted;
    if (!load_arguments(converted, bound, sig, std::make_index_sequence<N>{})) return nullptr;
    return call_and_convert<Fn, Self, Args, N>(self, converted, who);
  }
};

// Binds the arguments by the text signature, borrows the instance
// (exclusively when the core operation takes it non-const) and lets
// `Reading` bring the arguments to the core.
template <class T, Lit Sig, auto Fn, class Reading = WholeArguments>
struct MethodCall {
  static constexpr Signature sig = parse_signature(Sig.view());
  using C = Callable<decltype(Fn)>;
  using Params = std::conditional_t<sig.has_self, typename C::params, typename C::all_params>;
  static_assert(Params::size == static_cast<size_t>(sig.count), "signature and core call disagree");
  static constexpr bool kExclusive = !std::is_const_v<std::remove_reference_t<typename C::self>>;

  static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    const CallName who{class_record<T>.name, sig.name};
    return bound_call(
        sig, who, args, nargs, kwnames, [&](const BoundArguments& bound) -> PyObject* {
          if constexpr (!sig.has_self) {
            return Reading::template run<Fn, Params>(static_cast<void*>(nullptr), bound, sig, who);
          } else {
            Borrow borrow;
            if (!(kExclusive ? borrow.exclusive(self) : borrow.shared(self))) return nullptr;
            return Reading::template run<Fn, Params>(&instance_of<T>(self)->state, bound, sig, who);
          }
        });
  }
};

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

// The table entry of a hand-written fast call (the companion's private
// functions and methods), with its text signature at the head of `doc`.
template <FastCall Fn>
PyMethodDef fastcall_def(const char* name, const char* doc) {
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn)),
                     METH_FASTCALL | METH_KEYWORDS, doc};
}

// The method definition of a wrapper; `text` keeps its strings alive.
template <Lit Sig, Lit Doc>
PyMethodDef method_def(std::deque<std::string>& text, FastCall fn) {
  constexpr Signature sig = parse_signature(Sig.view());
  text.emplace_back(sig.name);
  const char* name = text.back().c_str();
  text.emplace_back(std::string(Sig.view()) + "\n--\n\n" + std::string(Doc.view()));
  int flags = METH_FASTCALL | METH_KEYWORDS | (sig.has_self ? 0 : METH_STATIC);
  return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), flags,
                     text.back().c_str()};
}

// A table entry: text signature, core callable, optional docstring text.
template <Lit Sig, auto Fn, Lit Doc = "">
struct Method {
  template <class T>
  static PyMethodDef def(std::deque<std::string>& text) {
    return method_def<Sig, Doc>(text, &MethodCall<T, Sig, Fn>::call);
  }
};

template <class... M>
struct Methods {
  template <class T>
  static std::vector<PyMethodDef> defs(std::deque<std::string>& text) {
    std::vector<PyMethodDef> out{M::template def<T>(text)...};
    out.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return out;
  }
};

// The constructor: its text signature ("()", "(d)") and a core factory
// returning the state or a Result of it.
template <Lit Sig, auto Fn>
struct Ctor {
  static constexpr Signature sig = parse_signature(Sig.view());
  using C = Callable<decltype(Fn)>;
  using Args = typename ArgTuple<typename C::all_params>::type;
  static constexpr size_t N = std::tuple_size_v<Args>;

  static constexpr std::string_view sig_text() { return Sig.view(); }

  template <class T>
  static PyObject* make(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    const CallName who{class_record<T>.name, "__new__"};
    BoundArguments bound;
    if (!bind_tuple_arguments(sig, who, args, kwargs, bound)) return nullptr;
    return guarded([&]() -> PyObject* {
      Args converted;
      if (!load_arguments(converted, bound, sig, std::make_index_sequence<N>{})) return nullptr;
      auto made = invoke_core<Fn, void>(nullptr, converted, std::make_index_sequence<N>{});
      if constexpr (std::is_same_v<decltype(made), T>) {
        return wrap_in(type, std::move(made));
      } else {
        if (!made.ok()) return raise_failure(made.failure(), who);
        return wrap_in(type, std::move(made).value());
      }
    });
  }
};

// Creates T's class object once; adds it to the module and to __all__.
PyTypeObject* create_type(const char* name, const std::string& doc, size_t basicsize,
                          newfunc tp_new, destructor tp_dealloc, PyMethodDef* methods);
int add_to_module(PyObject* module, const char* name, PyObject* obj);

template <class T>
int add_class(PyObject* module) {
  using B = Binding<T>;
  ClassRecord& record = class_record<T>;
  if (!record.type) {
    static std::deque<std::string> text;
    static std::vector<PyMethodDef> defs = B::methods::template defs<T>(text);
    record.name = B::name;
    std::string doc = std::string(B::name) + std::string(B::ctor::sig_text()) + "\n--\n\n";
    record.type = create_type(B::name, doc, sizeof(Instance<T>), &B::ctor::template make<T>,
                              &dealloc<T>, defs.data());
    if (!record.type) return -1;
  }
  return add_to_module(module, B::name, reinterpret_cast<PyObject*>(record.type));
}

// A module-level function: "dot(xs, ys)" and its core callable.
template <Lit Sig, auto Fn>
struct Function {
  static PyMethodDef def(std::deque<std::string>& text) {
    struct NoClass {};
    PyMethodDef def = Method<Sig, Fn>::template def<NoClass>(text);
    // Bound to the module like any built-in function: __self__ is the module.
    def.ml_flags &= ~METH_STATIC;
    return def;
  }
};

}  // namespace tallix::py

// Instantiates add_class for a bound type in its own translation unit.
#define TALLIX_CLASS(T) template int add_class<T>(PyObject*);
