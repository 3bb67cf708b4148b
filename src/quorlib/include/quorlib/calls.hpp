// Calls into Python. Arguments go on the C stack and names are the module's
// interned strings, so a call parses no format and builds no tuple, and an
// argument that is itself a tuple is always passed as one argument.
#pragma once

#include <array>

#include "quorlib/ref.hpp"

namespace quor {

// callable(args...)
template <class... Args>
Ref call(PyObject* callable, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> stack{nullptr, args...};
  return Ref::check(PyObject_Vectorcall(callable, stack.data() + 1,
                                        sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(args...), without creating a bound method where the interpreter can avoid it.
template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> stack{obj, args...};
  return Ref::check(PyObject_VectorcallMethod(
      name, stack.data(), (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(args..., **kw) where `kwnames` is a tuple of interned keyword names
// that the last len(kwnames) arguments are passed as.
template <class... Args>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> stack{obj, args...};
  Py_ssize_t positional = Py_ssize_t(sizeof...(Args)) + 1 - PyTuple_GET_SIZE(kwnames);
  return Ref::check(PyObject_VectorcallMethod(
      name, stack.data(), size_t(positional) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace quor
