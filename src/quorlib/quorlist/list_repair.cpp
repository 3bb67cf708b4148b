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

Ref chunk_proxy(PyObject* self, Py_ssize_t chunk_idx) {
  PyObject* handles = as_base(self)->chunk_ref_list;
  if (!PyList_Check(handles) || chunk_idx >= PyList_GET_SIZE(handles))
    raise(PyExc_IndexError, "list index out of range");
  return get_attr(PyList_GET_ITEM(handles, chunk_idx), "ref");
}

// The stored chunk, or null when its actor cannot be read either (then there
// is nothing to line the count up with, and the copy is kept).
Ref read_stored_chunk(PyObject* self, Py_ssize_t chunk_idx) {
  Ref proxy = chunk_proxy(self, chunk_idx);
  try {
    Ref gen = state.names.lookup("gen_quor_id");
    Ref id = Ref::check(PyObject_CallNoArgs(gen.get()));
    return state.names.call_remote(proxy.get(), "get", {id.get()});
  } catch (const PyErrSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return Ref();
  }
}

}  // namespace

int repair_counts_after_failed_write(PyObject* self, PyObject* failed) {
  return guard([&] {
    Ref usage = read_usage(self);
    bool changed = false;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(failed); ++k) {
      Py_ssize_t chunk_idx = PyLong_AsSsize_t(PyList_GET_ITEM(failed, k));
      if (chunk_idx < 0) throw PyErrSet{};
      Ref stored = read_stored_chunk(self, chunk_idx);
      if (!stored) continue;
      Py_ssize_t size = PyObject_Size(stored.get());
      if (size < 0) throw PyErrSet{};
      if (chunk_idx >= PyList_GET_SIZE(usage.get())) raise(PyExc_IndexError, "list index out of range");
      check(PyList_SetItem(usage.get(), chunk_idx, new_int(size).release()));
      PyObject* chunks = as_base(self)->chunk_list;
      if (PyList_Check(chunks) && chunk_idx < PyList_GET_SIZE(chunks))
        check(PyList_SetItem(chunks, chunk_idx, Py_NewRef(Py_None)));
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
