// The system keeps no log; its few messages are single lines on standard
// output, written through sys.stdout (so that they can be redirected or
// captured like print's) and flushed at once.
#pragma once

#include "quorlib/ref.hpp"

namespace quor {

inline void print_line(PyObject* text) {
  PyObject* out = PySys_GetObject("stdout");  // borrowed
  if (!out || out == Py_None) return;
  Ref line = Ref::check(PyUnicode_FromFormat("%U\n", text));
  Ref written = Ref::check(PyObject_CallMethod(out, "write", "(O)", line.get()));
  Ref flushed = call_method(out, "flush");
}

}  // namespace quor
