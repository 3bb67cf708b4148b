// index and `in`: read-only searches over the list, whole chunks at a time,
// each made resident only when the search reaches it: a search that ends
// early needs no later chunk.
#include "list.hpp"

namespace quor::list {
namespace {

Ref find_item(PyObject* self, PyObject* item, int32_t start, int32_t end) {
  const Names& n = state_of(self).names;
  int32_t last_used = read_last_used(self);
  Ref usage = counts_view(self);

  // Note [Negative start]
  // `start` is a chunk index. A negative one counts chunks from the end of the
  // chunk list, as list.index counts positions from the end of a list, and
  // one below -num_chunks means chunk 0: the scan runs from there up to the
  // last chunk in use and never wraps around to chunk 0 again.
  long long first = start;
  if (first < 0) first += as_base(self)->num_chunks;
  if (first < 0) first = 0;

  long long passed = 0;  // elements in the chunks searched so far
  for (long long i = first; i <= last_used; ++i) {
    Ref chunk = resident_chunk(self, static_cast<Py_ssize_t>(i));
    int found;
    if (PyList_CheckExact(chunk.get())) {
      found = PySequence_Contains(chunk.get(), item);
    } else {
      ChunkRecursionGuard recursion;
      found = PySequence_Contains(chunk.get(), item);
    }
    if (found < 0) throw PyErrSet{};
    if (found) {
      Ref inside = call_method(chunk.get(), n.str_index, item);
      Ref offset = Ref::check(PyLong_FromLongLong(passed));
      return Ref::check(PyNumber_Add(offset.get(), inside.get()));
    }
    passed += count_at(usage.get(), static_cast<Py_ssize_t>(i));
    // `end` bounds the elements passed, checked only between chunks.
    if (end != -1 && passed >= end) break;
  }
  Ref text = Ref::check(PyObject_Format(item, nullptr));
  raise_format(PyExc_ValueError, "%U is not in list", text.get());
}

}  // namespace

PyObject* list_index(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"item", "start", "end", nullptr};
    PyObject* item = nullptr;
    PyObject* start = nullptr;
    PyObject* end = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:index", const_cast<char**>(kwlist), &item,
                                     &start, &end))
      throw PyErrSet{};
    int32_t first = start ? as_int32(start) : 0;
    int32_t bound = end ? as_int32(end) : -1;
    return find_item(self, item, first, bound).release();
  });
}

int list_contains(PyObject* self, PyObject* item) {
  return guard([&] {
    const Names& n = state_of(self).names;
    try {
      if (is_own_method(self, n.str_index, as_cfunction(list_index))) {
        find_item(self, item, 0, -1);
      } else {
        Ref found = call_method(self, n.str_index, item);
      }
      return 1;
    } catch (const PyErrSet&) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
      PyErr_Clear();
      return 0;
    }
  });
}

}  // namespace quor::list
