// The chunk and version-record protocol: the base's table of internal
// operations, the operations the core exports to the containers, and the
// changed marks they keep. Every remote call is waited for before the
// operation goes on.
#include <cstring>

#include "core.hpp"

namespace quor::core {
namespace {

PyObject* list_at(PyObject* list, Py_ssize_t idx) {  // borrowed
  Py_ssize_t at = list_position(list, idx);  // checks that `list` is a list first
  return PyList_GET_ITEM(list, at);
}

void list_store(PyObject* list, Py_ssize_t idx, PyObject* value) {
  Py_ssize_t at = list_position(list, idx);
  PyObject* old = PyList_GET_ITEM(list, at);
  PyList_SET_ITEM(list, at, Py_NewRef(value));
  Py_DECREF(old);
}

Ref chunk_proxy(const CoreState& st, QuorBaseObject* b, Py_ssize_t chunk_idx) {
  PyObject* handle = list_at(b->chunk_ref_list, chunk_idx);
  if (Py_TYPE(handle) == st.chunk_type)
    return Ref::borrow(reinterpret_cast<QuorChunkObject*>(handle)->ref);
  return get_attr(handle, st.names.str_ref);
}

Ref chunk_versions(const Names& n, PyObject* meta) { return get_attr(meta, n.str_chunk_versions); }

Ref requester_id(const Names& n) {
  Ref gen = n.lookup(n.str_gen_quor_id);
  return call(gen.get());
}

// proxy.get(requester id), waited for.
Ref read_chunk(const CoreState& st, QuorBaseObject* b, Py_ssize_t chunk_idx) {
  Ref proxy = chunk_proxy(st, b, chunk_idx);
  Ref id = requester_id(st.names);
  return st.names.call_remote(proxy.get(), st.names.str_get, id.get());
}

// The rate-limited report of a failed write: at most one line per second.
void report_write_failure(const Names& n, QuorBaseObject* b, int32_t chunk_idx, PyObject* exc) {
  Ref time_module = n.lookup(n.str_time);
  Ref now = call_method(time_module.get(), n.str_time);
  double now_s = PyFloat_AsDouble(now.get());
  if (now_s == -1.0 && PyErr_Occurred()) throw PyErrSet{};
  if (!(b->last_msg_time + 1.0 < now_s)) return;
  Ref class_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(exc)), n.str___name__);
  Ref line = Ref::check(PyUnicode_FromFormat("Exception for evicting chunk %d: %U :: %S",
                                             static_cast<int>(chunk_idx), class_name.get(), exc));
  print_line(n, line.get());
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
      report_write_failure(state_of(self).names, as_base(self), chunk_idx, failed.get());
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
    const Names& n = state_of(self).names;
    QuorBaseObject* b = as_base(self);
    Ref meta_class = n.lookup(n.str_QuorMeta);
    Ref count = new_int(num_chunks);
    Ref meta = call(meta_class.get(), count.get());
    set_field(b->quor_meta, meta.get());
    Ref proxy = n.new_proxy(meta.get(), Py_None);
    set_field(b->quor_meta_ref, proxy.get());
    return 0;
  });
}

int op_fetch_and_update_meta(PyObject* self) {
  return guard([&] {
    const CoreState& st = state_of(self);
    const Names& n = st.names;
    QuorBaseObject* b = as_base(self);
    check_assertion(st, b->quor_meta_ref != Py_None, "Metadata reference must be initialized");
    Ref fresh = n.call_remote(b->quor_meta_ref, n.str_get_nocache);
    if (b->quor_meta != Py_None) {
      Ref shared = chunk_versions(n, fresh.get());
      Ref mine = chunk_versions(n, b->quor_meta);
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
    const CoreState& st = state_of(self);
    QuorBaseObject* b = as_base(self);
    check_assertion(st, b->quor_meta_ref != Py_None, "Metadata reference must be initialized");
    // A holder that never read the record has nothing to publish; sending
    // None would destroy the shared record for every holder.
    if (b->quor_meta == Py_None) return 0;
    Ref done = st.names.call_remote(b->quor_meta_ref, st.names.str_set_nocache, b->quor_meta);
    return 0;
  });
}

}  // namespace

const BaseOps base_ops = {
    op_init_new_chunk_list, op_fetch_chunk,           op_evict_chunk, op_ensure_chunks,
    op_init_meta,           op_fetch_and_update_meta, op_evict_meta,  nullptr,
};

void fetch_chunk(PyObject* self, int32_t chunk_idx) {
  const CoreState& st = state_of(self);
  const Names& n = st.names;
  QuorBaseObject* b = as_base(self);
  check_assertion(st, list_at(b->chunk_list, chunk_idx) == Py_None, "Chunk must be None to fetch");
  check_assertion(st, list_at(b->chunk_ref_list, chunk_idx) != Py_None,
                  "Chunk reference must be initialized");
  check_assertion(st, b->quor_meta != Py_None, "Metadata must be initialized/fetched");
  Ref data = read_chunk(st, b, chunk_idx);
  list_store(b->chunk_list, chunk_idx, data.get());
  clear_changed(b, list_position(b->chunk_list, chunk_idx));
  Ref versions = chunk_versions(n, b->quor_meta);
  Ref current = Ref::check(PySequence_GetItem(versions.get(), chunk_idx));
  Ref one = new_int(1);
  Ref raised = Ref::check(PyNumber_Add(current.get(), one.get()));
  check(PySequence_SetItem(versions.get(), chunk_idx, raised.get()));
}

// Note [Write-back keeps the copy until the write succeeded]
// With remove_data the copy is dropped only after the proxy has the data, so
// a failed write never loses the only current copy of a chunk.
Ref write_back(PyObject* self, int32_t chunk_idx, int32_t remove_data) {
  const CoreState& st = state_of(self);
  QuorBaseObject* b = as_base(self);
  Ref data = Ref::borrow(list_at(b->chunk_list, chunk_idx));
  if (data.get() == Py_None) return Ref();
  Ref proxy = chunk_proxy(st, b, chunk_idx);
  try {
    Ref id = requester_id(st.names);
    Ref done = st.names.call_remote(proxy.get(), st.names.str_set, id.get(), data.get());
  } catch (const PyErrSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;  // interrupts and exits propagate
    return fetch_error();
  }
  Py_ssize_t at = list_position(b->chunk_list, chunk_idx);
  clear_changed(b, at);
  if (remove_data) list_store(b->chunk_list, at, Py_None);
  return Ref();
}

PyObject* read_stored_chunk(PyObject* self, Py_ssize_t chunk_idx) {
  return guard([&]() -> PyObject* {
    return read_chunk(state_of(self), as_base(self), chunk_idx).release();
  });
}

int drop_copy(PyObject* self, Py_ssize_t chunk_idx) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    Py_ssize_t at = list_position(b->chunk_list, chunk_idx);
    list_store(b->chunk_list, at, Py_None);
    clear_changed(b, at);
    return 0;
  });
}

// --- changed marks ---

void reset_changed(QuorBaseObject* b, Py_ssize_t size) {
  auto* fresh = static_cast<uint8_t*>(PyMem_Calloc(size > 0 ? size : 1, 1));
  if (!fresh) throw std::bad_alloc();
  PyMem_Free(b->changed);
  b->changed = fresh;
  b->changed_len = size;
}

void free_changed(QuorBaseObject* b) noexcept {
  PyMem_Free(b->changed);
  b->changed = nullptr;
  b->changed_len = 0;
}

void clear_changed(QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept {
  if (chunk_idx >= 0 && chunk_idx < b->changed_len) b->changed[chunk_idx] = 0;
}

bool is_changed(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept {
  return chunk_idx >= 0 && chunk_idx < b->changed_len && b->changed[chunk_idx];
}

// Marks outside the current array: the chunk list was replaced by a longer
// one (through __setstate__), so the array grows to cover it.
int mark_changed_slow(PyObject* self, Py_ssize_t chunk_idx) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    if (chunk_idx < 0) raise(PyExc_IndexError, "list index out of range");
    Py_ssize_t size = chunk_idx + 1;
    auto* grown = static_cast<uint8_t*>(PyMem_Realloc(b->changed, size));
    if (!grown) throw std::bad_alloc();
    std::memset(grown + b->changed_len, 0, size - b->changed_len);
    b->changed = grown;
    b->changed_len = size;
    b->changed[chunk_idx] = 1;
    return 0;
  });
}

}  // namespace quor::core
