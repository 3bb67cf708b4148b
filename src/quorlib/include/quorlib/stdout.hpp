// The system keeps no log; its few messages are single lines on standard
// output, written through sys.stdout (so that they can be redirected or
// captured like print's) and flushed at once.
#pragma once

#include "quorlib/names.hpp"

namespace quor {

inline void print_line(const Names& names, PyObject* text) {
  // Held across write and flush: either may run code that replaces sys.stdout.
  Ref out = Ref::borrow(PySys_GetObject("stdout"));
  if (!out || out.get() == Py_None) return;
  Ref line = Ref::check(PyUnicode_FromFormat("%U\n", text));
  Ref written = call_method(out.get(), names.str_write, line.get());
  Ref flushed = call_method(out.get(), names.str_flush);
}

// The line, then a pause of three seconds (through the module's `time`) that
// leaves the reader time to see it before the error it precedes.
inline void print_line_and_pause(const Names& names, PyObject* text) {
  print_line(names, text);
  Ref time_module = names.lookup(names.str_time);
  Ref seconds = Ref::check(PyLong_FromLong(3));
  Ref slept = call_method(time_module.get(), names.str_sleep, seconds.get());
}

}  // namespace quor
