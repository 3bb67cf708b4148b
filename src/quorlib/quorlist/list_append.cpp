// append and extend: the only operations that move the end of the list into
// the next chunk. Room in chunks before the last one in use is never reused,
// so an appended element is always the last element of the list.
#include "list.hpp"

namespace quor::list {
namespace {

void append_item(PyObject* self, PyObject* item) {
  const int32_t last_used = read_last_used(self);
  int32_t chunk_idx = last_used;
  Ref usage = read_usage(self);
  int32_t num_chunks = as_base(self)->num_chunks;
  int32_t capacity = record_of(self, "max_element_per_chunk")->max_element_per_chunk;
  // ">=": a chunk that insert has pushed past the capacity counts as full too.
  while (chunk_idx < num_chunks && count_at(usage.get(), chunk_idx) >= capacity) ++chunk_idx;
  if (chunk_idx >= num_chunks) raise(PyExc_OverflowError, "Exceeded maximum number of chunks");

  Py_ssize_t position = chunk_position(self, chunk_idx);
  Ref chunk = resident_chunk(self, position);
  const Names& n = state_of(self).names;
  Py_ssize_t old_size = PyObject_Size(chunk.get());
  if (old_size < 0) throw PyErrSet{};
  Ref old_usage = Ref::check(PyList_GetSlice(usage.get(), 0, PyList_GET_SIZE(usage.get())));
  add_to_count(usage.get(), chunk_idx, 1);
  if (PyList_CheckExact(chunk.get())) {
    check(PyList_Append(chunk.get(), item));
  } else {
    Ref appended = call_method(chunk.get(), n.str_append, item);
  }
  publish_counts(self, old_usage.get(), last_used, usage.get(), chunk_idx, [&] {
    check(PySequence_DelItem(chunk.get(), old_size));
  });
  mark_changed(self, position);
  set_length(self, static_cast<long long>(length_of(self)) + 1);
}

}  // namespace

PyObject* list_append(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    require_change(self, "append()");
    static const char* kwlist[] = {"item", nullptr};
    PyObject* item = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:append", const_cast<char**>(kwlist), &item))
      throw PyErrSet{};
    append_item(self, item);
    Py_RETURN_NONE;
  });
}

PyObject* list_extend(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    require_change(self, "extend()");
    static const char* kwlist[] = {"items", nullptr};
    PyObject* items = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:extend", const_cast<char**>(kwlist), &items))
      throw PyErrSet{};
    const Names& n = state_of(self).names;
    // The library's own append: the elements are placed in bulk, the counts
    // published once.
    if (is_own_method(self, n.str_append, as_cfunction(list_append))) {
      extend_items(self, items);
      Py_RETURN_NONE;
    }
    Ref iterator = Ref::check(PyObject_GetIter(items));
    // A replaced append is called for each element: no batching, no rollback.
    while (Ref item = Ref::steal(PyIter_Next(iterator.get())))
      Ref done = call_method(self, n.str_append, item.get());
    if (PyErr_Occurred()) throw PyErrSet{};
    Py_RETURN_NONE;
  });
}

}  // namespace quor::list
