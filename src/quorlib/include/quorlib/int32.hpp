// The one integer conversion for counts, indices, capacities and flags:
// signed 32-bit, through the object's own integer conversion (a float is
// truncated), text refused, with the project's exact messages.
#pragma once

#include <cstdint>

#include "quorlib/ref.hpp"

namespace quor {

inline constexpr const char* kIntRequired = "an integer is required";
inline constexpr const char* kIntTooLarge = "value too large to convert to int";

inline int32_t as_int32(PyObject* o) {
  Ref converted;
  if (!PyLong_Check(o)) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (nb && nb->nb_int) {
      converted = Ref::check(nb->nb_int(o));
    } else if (nb && nb->nb_index) {
      converted = Ref::check(nb->nb_index(o));
    } else {
      raise(PyExc_TypeError, kIntRequired);
    }
    if (!PyLong_Check(converted.get())) raise(PyExc_TypeError, kIntRequired);
    o = converted.get();
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
  if (overflow || v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, kIntTooLarge);
  return static_cast<int32_t>(v);
}

}  // namespace quor
