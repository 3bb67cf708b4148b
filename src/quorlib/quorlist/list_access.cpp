// lst[i] and lst[i] = x: a position of the whole list resolved to a chunk and
// an offset through the shared usage counts (read afresh outside a block, the
// block's copy inside one).
#include "list.hpp"

namespace quor::list {
namespace {

struct Location {
  Py_ssize_t chunk_idx;
  int32_t offset;
};

// Empty chunks are skipped because a count of 0 is never greater than the
// remainder, so a position at a chunk boundary lands in the next chunk that
// holds elements.
Location resolve(PyObject* self, int32_t index) {
  Ref usage = usage_for_index(self, index, false);
  long long position = index;
  if (position < 0) position += length_of(self);
  if (position < 0) raise(PyExc_IndexError, "list index out of range");
  int32_t num_chunks = as_base(self)->num_chunks;
  for (int32_t i = 0; i < num_chunks; ++i) {
    int32_t count = count_at(usage.get(), i);
    if (position < count) return {i, static_cast<int32_t>(position)};
    position -= count;
  }
  // Only counts that disagree with the length they were summed to get here.
  raise(PyExc_IndexError, "list index out of range");
}

Ref element_of(PyObject* self, int32_t index) {
  Location at = resolve(self, index);
  Ref chunk = resident_chunk(self, at.chunk_idx);
  Ref offset = new_int(at.offset);
  if (PyList_CheckExact(chunk.get())) return Ref::check(PyObject_GetItem(chunk.get(), offset.get()));
  ChunkRecursionGuard recursion;
  return Ref::check(PyObject_GetItem(chunk.get(), offset.get()));
}

}  // namespace

PyObject* list_subscript(PyObject* self, PyObject* index) {
  return guard([&]() -> PyObject* { return element_of(self, as_int32(index)).release(); });
}

PyObject* list_sq_item(PyObject* self, Py_ssize_t index) {
  return guard([&]() -> PyObject* {
    Ref position = Ref::check(PyLong_FromSsize_t(index));
    return Ref::check(PyObject_GetItem(self, position.get())).release();
  });
}

int list_ass_subscript(PyObject* self, PyObject* index, PyObject* value) {
  return guard([&] {
    require_change(self, value ? "setting an element" : "deleting an element");
    if (!value)
      raise_format(PyExc_NotImplementedError, "Subscript deletion not supported by %.200s",
                   Py_TYPE(self)->tp_name);
    Location at = resolve(self, as_int32(index));
    Ref chunk = resident_chunk(self, at.chunk_idx);
    Ref offset = new_int(at.offset);
    if (PyList_CheckExact(chunk.get())) {
      check(PyObject_SetItem(chunk.get(), offset.get(), value));
    } else {
      ChunkRecursionGuard recursion;
      check(PyObject_SetItem(chunk.get(), offset.get(), value));
    }
    mark_changed(self, at.chunk_idx);
    return 0;
  });
}

}  // namespace quor::list
