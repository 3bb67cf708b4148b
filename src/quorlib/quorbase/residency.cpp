// The chunk and version-record protocol: the base's table of internal
// operations. Every remote call is waited for before the operation goes on.
#include "core.hpp"

namespace quor::core {
namespace {

// Interpreter list indexing: a negative index counts from the end.
Py_ssize_t list_index(PyObject* list, Py_ssize_t idx) {
  if (!PyList_Check(list)) {
    if (list == Py_None) raise(PyExc_TypeError, "'NoneType' object is not subscriptable");
    raise(PyExc_TypeError, "expected a list");
  }
  Py_ssize_t size = PyList_GET_SIZE(list);
  if (idx < 0) idx += size;
  if (idx < 0 || idx >= size) raise(PyExc_IndexError, "list index out of range");
  return idx;
}

PyObject* list_at(PyObject* list, Py_ssize_t idx) {  // borrowed
  Py_ssize_t at = list_index(list, idx);  // checks that `list` is a list first
  return PyList_GET_ITEM(list, at);
}

void list_store(PyObject* list, Py_ssize_t idx, PyObject* value) {
  Py_ssize_t at = list_index(list, idx);
  PyObject* old = PyList_GET_ITEM(list, at);
  PyList_SET_ITEM(list, at, Py_NewRef(value));
  Py_DECREF(old);
}

Ref chunk_proxy(QuorBaseObject* b, int32_t chunk_idx) {
  PyObject* handle = list_at(b->chunk_ref_list, chunk_idx);
  if (Py_TYPE(handle) == chunk_type)
    return Ref::borrow(reinterpret_cast<QuorChunkObject*>(handle)->ref);
  return get_attr(handle, "ref");
}

Ref chunk_versions(PyObject* meta) { return get_attr(meta, "chunk_versions"); }

Ref requester_id() {
  Ref gen = names.lookup("gen_quor_id");
  return Ref::check(PyObject_CallNoArgs(gen.get()));
}

// The rate-limited report of a failed write: at most one line per second.
void report_write_failure(QuorBaseObject* b, int32_t chunk_idx, PyObject* exc) {
  Ref time_module = names.lookup("time");
  Ref now = call_method(time_module.get(), "time");
  double now_s = PyFloat_AsDouble(now.get());
  if (now_s == -1.0 && PyErr_Occurred()) throw PyErrSet{};
  if (!(b->last_msg_time + 1.0 < now_s)) return;
  Ref class_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "__name__");
  Ref line = Ref::check(PyUnicode_FromFormat("Exception for evicting chunk %d: %U :: %S",
                                             static_cast<int>(chunk_idx), class_name.get(), exc));
  print_line(line.get());
  b->last_msg_time = as_int32(now.get());
}

int op_init_new_chunk_list(PyObject*, int32_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "This method should be implemented in the subclass");
  return -1;
}

int op_fetch_chunk(PyObject* self, int32_t chunk_idx) {
  return guard([&] {
    fetch_chunk(self, chunk_idx);
    return 0;
  });
}

int op_evict_chunk(PyObject* self, int32_t chunk_idx, int32_t remove_data, PyObject** failure) {
  if (failure) *failure = nullptr;
  return guard([&] {
    Ref failed = write_back(self, chunk_idx, remove_data);
    if (failed) {
      report_write_failure(as_base(self), chunk_idx, failed.get());
      if (failure) *failure = failed.release();
    }
    return 0;
  });
}

int op_ensure_chunks(PyObject* self) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    int32_t num_chunks = b->num_chunks;
    for (int32_t i = 0; i < num_chunks; ++i)
      if (list_at(b->chunk_list, i) == Py_None) check(b->ops->fetch_chunk(self, i));
    return 0;
  });
}

int op_init_meta(PyObject* self, int32_t num_chunks) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    Ref meta_class = names.lookup("QuorMeta");
    Ref meta = Ref::check(PyObject_CallFunction(meta_class.get(), "i", num_chunks));
    set_field(b->quor_meta, meta.get());
    Ref proxy_class = names.lookup("QuorProxy");
    Ref remote = get_attr(proxy_class.get(), "remote");
    Ref args = Ref::check(PyTuple_Pack(1, meta.get()));
    Ref kwargs = Ref::check(Py_BuildValue("{s:O}", "cache_class", Py_None));
    Ref proxy = Ref::check(PyObject_Call(remote.get(), args.get(), kwargs.get()));
    set_field(b->quor_meta_ref, proxy.get());
    return 0;
  });
}

int op_fetch_and_update_meta(PyObject* self) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    check_assertion(b->quor_meta_ref != Py_None, "Metadata reference must be initialized");
    Ref fresh = names.call_remote(b->quor_meta_ref, "get_nocache");
    if (b->quor_meta != Py_None) {
      Ref shared = chunk_versions(fresh.get());
      Ref mine = chunk_versions(b->quor_meta);
      for (int32_t i = 0; i < b->num_chunks; ++i) {
        Ref theirs_v = Ref::check(PySequence_GetItem(shared.get(), i));
        Ref mine_v = Ref::check(PySequence_GetItem(mine.get(), i));
        if (check(PyObject_RichCompareBool(theirs_v.get(), mine_v.get(), Py_GT))) {
          // Another holder fetched this chunk since our copy was made: ours is stale.
          list_store(b->chunk_list, i, Py_None);
          clear_changed(b, i);
        }
      }
    }
    set_field(b->quor_meta, fresh.get());
    return 0;
  });
}

int op_evict_meta(PyObject* self) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    check_assertion(b->quor_meta_ref != Py_None, "Metadata reference must be initialized");
    // A holder that never read the record has nothing to publish; sending
    // None would destroy the shared record for every holder.
    if (b->quor_meta == Py_None) return 0;
    Ref done = names.call_remote(b->quor_meta_ref, "set_nocache", {b->quor_meta});
    return 0;
  });
}

}  // namespace

const BaseOps base_ops = {
    op_init_new_chunk_list, op_fetch_chunk,           op_evict_chunk, op_ensure_chunks,
    op_init_meta,           op_fetch_and_update_meta, op_evict_meta,
};

void fetch_chunk(PyObject* self, int32_t chunk_idx) {
  QuorBaseObject* b = as_base(self);
  check_assertion(list_at(b->chunk_list, chunk_idx) == Py_None, "Chunk must be None to fetch");
  check_assertion(list_at(b->chunk_ref_list, chunk_idx) != Py_None,
                  "Chunk reference must be initialized");
  check_assertion(b->quor_meta != Py_None, "Metadata must be initialized/fetched");
  Ref proxy = chunk_proxy(b, chunk_idx);
  Ref id = requester_id();
  Ref data = names.call_remote(proxy.get(), "get", {id.get()});
  list_store(b->chunk_list, chunk_idx, data.get());
  clear_changed(b, list_index(b->chunk_list, chunk_idx));
  Ref versions = chunk_versions(b->quor_meta);
  Ref current = Ref::check(PySequence_GetItem(versions.get(), chunk_idx));
  Ref raised = Ref::check(PyNumber_Add(current.get(), Ref::check(PyLong_FromLong(1)).get()));
  check(PySequence_SetItem(versions.get(), chunk_idx, raised.get()));
}

// Note [Write-back keeps the copy until the write succeeded]
// With remove_data the copy is dropped only after the proxy has the data, so
// a failed write never loses the only current copy of a chunk.
Ref write_back(PyObject* self, int32_t chunk_idx, int32_t remove_data) {
  QuorBaseObject* b = as_base(self);
  Ref data = Ref::borrow(list_at(b->chunk_list, chunk_idx));
  if (data.get() == Py_None) return Ref();
  Ref proxy = chunk_proxy(b, chunk_idx);
  try {
    Ref id = requester_id();
    Ref done = names.call_remote(proxy.get(), "set", {id.get(), data.get()});
  } catch (const PyErrSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;  // interrupts and exits propagate
    return fetch_error();
  }
  Py_ssize_t at = list_index(b->chunk_list, chunk_idx);
  clear_changed(b, at);
  if (remove_data) list_store(b->chunk_list, at, Py_None);
  return Ref();
}

}  // namespace quor::core
