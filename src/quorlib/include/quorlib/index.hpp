// The one index normalisation: interpreter list indexing, where a negative
// index counts from the end and anything outside is "list index out of range".
#pragma once

#include "quorlib/ref.hpp"

namespace quor {

inline Py_ssize_t normalise_index(Py_ssize_t idx, Py_ssize_t size) {
  if (idx < 0) idx += size;
  if (idx < 0 || idx >= size) raise(PyExc_IndexError, "list index out of range");
  return idx;
}

// `list` (a field that holds a list or None) indexed as the interpreter would:
// the position, or the error that subscripting a non-list raises.
inline Py_ssize_t list_position(PyObject* list, Py_ssize_t idx) {
  if (!PyList_Check(list))
    raise_format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(list)->tp_name);
  return normalise_index(idx, PyList_GET_SIZE(list));
}

}  // namespace quor
