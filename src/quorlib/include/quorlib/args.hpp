// Argument checks shared by the constructors and pickled-state loaders, with
// the messages every module uses for them.
#pragma once

#include "quorlib/ref.hpp"

namespace quor {

// A parameter that takes exactly `type` or None; a subclass is refused.
inline void require_exact_or_none(PyObject* value, PyTypeObject* type, const char* param) {
  if (value == Py_None || Py_TYPE(value) == type) return;
  raise_format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", param,
               type->tp_name, Py_TYPE(value)->tp_name);
}

inline void require_list_or_none(PyObject* value, const char* param) {
  require_exact_or_none(value, &PyList_Type, param);
}

// A value that must be exactly a list (a stored usage list, a state element).
inline void require_list(PyObject* value) {
  if (!PyList_CheckExact(value))
    raise_format(PyExc_TypeError, "Expected list, got %s", Py_TYPE(value)->tp_name);
}

// A pickled state must be a tuple.
inline void require_tuple(PyObject* value) {
  if (!PyTuple_Check(value))
    raise_format(PyExc_TypeError, "Expected tuple, got %s", Py_TYPE(value)->tp_name);
}

// A refused layout checksum in lower-case hexadecimal, as %x writes it: a
// checksum that is no integer is a TypeError (and a raising __index__ keeps
// its own error).
inline Ref checksum_hex(PyObject* checksum) {
  Ref format = Ref::check(PyUnicode_FromString("%x"));
  Ref args = Ref::check(PyTuple_Pack(1, checksum));
  return Ref::check(PyUnicode_Format(format.get(), args.get()));
}

// Raises pickle.PickleError with `message`.
[[noreturn]] inline void raise_pickle_error(PyObject* message) {
  Ref pickle = Ref::check(PyImport_ImportModule("pickle"));
  Ref error_type = Ref::check(PyObject_GetAttrString(pickle.get(), "PickleError"));
  PyErr_SetObject(error_type.get(), message);
  throw PyErrSet{};
}

}  // namespace quor
