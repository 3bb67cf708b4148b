// What a list does, under its lock, when some of its chunks could not be
// written back at the end of a block.
//
// Note [Counts follow what the actors hold]
// append, insert and pop publish the new counts at once while the chunks
// reach their actors only when the block ends. A chunk that cannot be written
// (an element that does not pickle, an actor that refuses the write) would
// leave counts for elements no actor holds, and every other holder would then
// fail reading, iterating or popping. So each such chunk is read back: its
// count becomes what its actor holds and the unwritable copy is dropped. The
// changes to that chunk are lost; the WriteBackError raised next says which.
#include "list.hpp"

namespace quor::list {
namespace {

// The stored chunk, or null when its actor cannot be read either (then there
// is nothing to line the count up with, and the copy is kept).
Ref read_stored_chunk(const ListState& st, PyObject* self, Py_ssize_t chunk_idx) {
  PyObject* stored = st.base->read_stored_chunk(self, chunk_idx);
  if (stored) return Ref::steal(stored);
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrSet{};
  PyErr_Clear();
  return Ref();
}

}  // namespace

int repair_counts_after_failed_write(PyObject* self, PyObject* failed) {
  return guard([&] {
    const ListState& st = state_of(self);
    Ref usage = read_usage(self);
    bool changed = false;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(failed); ++k) {
      Py_ssize_t chunk_idx = PyLong_AsSsize_t(PyList_GET_ITEM(failed, k));
      if (chunk_idx < 0) throw PyErrSet{};
      Ref stored = read_stored_chunk(st, self, chunk_idx);
      if (!stored) continue;
      Py_ssize_t size = PyObject_Size(stored.get());
      if (size < 0) throw PyErrSet{};
      Py_ssize_t entry = normalise_index(chunk_idx, PyList_GET_SIZE(usage.get()));
      check(PyList_SetItem(usage.get(), entry, new_int(size).release()));
      check(st.base->drop_copy(self, chunk_idx));
      changed = true;
    }
    if (!changed) return 0;
    write_usage(self, usage.get());
    int32_t last = 0;
    for (Py_ssize_t i = PyList_GET_SIZE(usage.get()) - 1; i > 0; --i)
      if (count_at(usage.get(), i) > 0) {
        last = static_cast<int32_t>(i);
        break;
      }
    write_last_used(self, last);
    return 0;
  });
}

}  // namespace quor::list
