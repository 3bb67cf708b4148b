// The chunk and version-record protocol: the base's table of internal
// operations, the operations the core exports to the containers, and the
// changed marks they keep. Every remote call is waited for before the
// operation goes on, but for the publish that __unlock__ sends as part of a
// chain and waits for itself.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

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

// Exact types only: a subclass may carry mutable attributes, and checking the
// type pointer never runs Python code. Containers nested deeper than this are
// taken as possibly mutable rather than walked.
constexpr int kScanDepth = 8;

bool immutable_value(PyObject* v, int depth) {
  PyTypeObject* t = Py_TYPE(v);
  if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || v == Py_None ||
      t == &PyBool_Type || t == &PyBytes_Type || t == &PyComplex_Type)
    return true;
  if (depth >= kScanDepth) return false;
  if (t == &PyTuple_Type) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i)
      if (!immutable_value(PyTuple_GET_ITEM(v, i), depth + 1)) return false;
    return true;
  }
  if (t == &PyFrozenSet_Type) {
    Ref it = Ref::steal(PyObject_GetIter(v));
    if (!it) {
      PyErr_Clear();
      return false;
    }
    while (PyObject* item = PyIter_Next(it.get())) {
      Ref owned = Ref::steal(item);
      if (!immutable_value(item, depth + 1)) return false;
    }
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    return true;
  }
  return false;
}

// Whether `chunk` is a plain dict or list whose keys and values are all
// immutable (Note [Which copies may differ from their actor]).
bool holds_only_immutable(PyObject* chunk) {
  if (PyDict_CheckExact(chunk)) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(chunk, &pos, &key, &value))
      if (!immutable_value(key, 0) || !immutable_value(value, 0)) return false;
    return true;
  }
  if (PyList_CheckExact(chunk)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunk); ++i)
      if (!immutable_value(PyList_GET_ITEM(chunk, i), 0)) return false;
    return true;
  }
  return false;
}

void set_state(QuorBaseObject* b, Py_ssize_t chunk_idx, ChunkState state) noexcept {
  if (chunk_idx >= 0 && chunk_idx < b->changed_len) b->changed[chunk_idx] = state;
}

Ref chunk_proxy(const CoreState& st, QuorBaseObject* b, Py_ssize_t chunk_idx) {
  PyObject* handle = list_at(b->chunk_ref_list, chunk_idx);
  if (Py_TYPE(handle) == st.chunk_type)
    return Ref::borrow(reinterpret_cast<QuorChunkObject*>(handle)->ref);
  return get_attr(handle, st.names.str_ref);
}

Ref chunk_versions(const Names& n, PyObject* meta) { return get_attr(meta, n.str_chunk_versions); }

// Note [Requester ids carry epochs]
// Every chunk call names (fresh id, holder epoch, committed epoch): the epoch
// of the lock grant of the block it belongs to (None outside a block) and the
// epoch that this instance's version record names as the chunk's last commit.
// From them the chunk's actor serves the block's own uncommitted write to its
// writer and the last commit to everyone else, refuses a holder the lock has
// left behind, and turns a write from outside a block into a compare-and-set
// against the commit its writer last saw.
Ref committed_epoch(const Names& n, QuorBaseObject* b, Py_ssize_t chunk_idx) {
  if (b->quor_meta == Py_None) return new_int(0);
  Ref epochs = get_attr(b->quor_meta, n.str_committed_epochs);
  return Ref::check(PySequence_GetItem(epochs.get(), chunk_idx));
}

Ref requester_id(const Names& n, QuorBaseObject* b, Py_ssize_t chunk_idx, bool in_block) {
  if (in_block && !takes_chunk(b, chunk_idx)) refuse_chunk(reinterpret_cast<PyObject*>(b), chunk_idx);
  Ref gen = n.lookup(n.str_gen_quor_id);
  Ref id = call(gen.get());
  Ref holder = in_block ? new_int(b->epoch) : Ref::borrow(Py_None);
  Ref committed = committed_epoch(n, b, chunk_idx);
  Ref message = n.lookup(n.str_RequesterId);
  return call(message.get(), id.get(), holder.get(), committed.get());
}

// proxy.get(requester id), not yet waited for.
Ref request_chunk(const CoreState& st, QuorBaseObject* b, Py_ssize_t chunk_idx) {
  check_assertion(st, list_at(b->chunk_ref_list, chunk_idx) != Py_None,
                  "Chunk reference must be initialized");
  check_assertion(st, b->quor_meta != Py_None, "Metadata must be initialized/fetched");
  Ref proxy = chunk_proxy(st, b, chunk_idx);
  Ref id = requester_id(st.names, b, chunk_idx, holds_block(b));
  return st.names.remote(proxy.get(), st.names.str_get, id.get());
}

// Waits for `pending`, a request_chunk of chunk `chunk_idx`; a dead actor is named.
Ref wait_for_chunk(QuorBaseObject* b, PyObject* pending, Py_ssize_t chunk_idx) {
  try {
    return state_of(reinterpret_cast<PyObject*>(b)).names.ray_get(pending);
  } catch (const PyErrSet&) {
    char what[48];
    std::snprintf(what, sizeof what, "the actor of chunk %zd", chunk_idx);
    rethrow_naming_death(reinterpret_cast<PyObject*>(b), what);
  }
}

int op_init_new_chunk_list(PyObject*, int32_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "This method should be implemented in the subclass");
  return -1;
}

}  // namespace

const BaseOps base_ops = {op_init_new_chunk_list, nullptr, nullptr, nullptr};

void init_meta(PyObject* self, int32_t num_chunks) {
  const Names& n = state_of(self).names;
  QuorBaseObject* b = as_base(self);
  Ref meta_class = n.lookup(n.str_QuorMeta);
  Ref count = new_int(num_chunks);
  Ref meta = call(meta_class.get(), count.get());
  set_field(b->quor_meta, meta.get());
  Ref proxy = n.new_proxy(meta.get(), Py_None, b->lock);
  set_field(b->quor_meta_ref, proxy.get());
}

void refresh_record(PyObject* self) {
  const CoreState& st = state_of(self);
  const Names& n = st.names;
  QuorBaseObject* b = as_base(self);
  check_assertion(st, b->quor_meta_ref != Py_None, "Metadata reference must be initialized");
  // Note [The record travels with the lock]
  Ref fresh;
  if (b->grant && b->grant != Py_None) {
    fresh = get_attr(b->grant, n.str_record);
    if (fresh.get() == Py_None) fresh = Ref();
  }
  if (fresh) {
    adopt_record(self, fresh.get());
    // Note [Commits travel with the lock]
    Ref chunks = get_attr(b->grant, n.str_chunks);
    adopt_carried(self, chunks.get());
    return;
  }
  fresh = named_death(self, "the version record actor",
                      [&] { return n.call_remote(b->quor_meta_ref, n.str_get_nocache); });
  adopt_record(self, fresh.get());
}

// Note [Publishing the record is the commit point]
// The record names, per chunk, the epoch of the block that last committed it,
// and its own epoch. A block's writes become what everyone reads at the one
// actor step that stores its record; the record's cell refuses a record from
// an epoch older than the newest it has seen, so a holder the lock has left
// behind cannot commit late. The instance adopts the new record only once the
// commit succeeded: if it fails, the block did not commit.
//
// Note [Versions count commits]
// chunk_versions[i] is raised once for every block that commits chunk i, in the
// record that commits it; another holder whose copy carries a lower version
// drops it at its next __lock__. Nothing else raises it, so copies that nobody
// changed stay resident everywhere. A block that wrote no chunk has nothing to
// commit and publishes nothing: the record as read is still the last commit,
// and a holder the lock has left behind is kept out without it (the control
// actor takes commits only from holders; a record held elsewhere is fenced by
// the grant after an abnormal end).
Ref committing_record(const Names& n, QuorBaseObject* b, bool shared_lock) {
  Ref copy_module = n.lookup(n.str_copy);
  Ref record = call_method(copy_module.get(), n.str_copy, b->quor_meta);
  Ref versions = Ref::check(PySequence_List(chunk_versions(n, b->quor_meta).get()));
  Ref old_committed = get_attr(b->quor_meta, n.str_committed_epochs);
  Ref committed = Ref::check(PySequence_List(old_committed.get()));
  Ref epoch = new_int(b->epoch);
  Ref one = new_int(1);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(versions.get()) && i < b->written_len; ++i) {
    if (!b->written[i]) continue;
    Ref raised = Ref::check(PyNumber_Add(PyList_GET_ITEM(versions.get(), i), one.get()));
    check(PyList_SetItem(versions.get(), i, raised.release()));
    if (shared_lock && i < PyList_GET_SIZE(committed.get()))
      check(PyList_SetItem(committed.get(), i, epoch.new_ref()));
  }
  check(PyObject_SetAttr(record.get(), n.str_chunk_versions, versions.get()));
  if (shared_lock) {
    check(PyObject_SetAttr(record.get(), n.str_committed_epochs, committed.get()));
    check(PyObject_SetAttr(record.get(), n.str_epoch, epoch.get()));
  }
  return record;
}

// Without a shared lock there are no epochs to commit under: the record is
// stored as is, after the writes.
void publish_without_lock(PyObject* self) {
  const CoreState& st = state_of(self);
  const Names& n = st.names;
  QuorBaseObject* b = as_base(self);
  check_assertion(st, b->quor_meta_ref != Py_None, "Metadata reference must be initialized");
  // A holder that never read the record has nothing to publish; sending
  // None would destroy the shared record for every holder.
  if (b->quor_meta == Py_None || !any_written(b)) return;
  Ref record = committing_record(n, b, false);
  Ref done = named_death(self, "the version record actor", [&] {
    return n.call_remote(b->quor_meta_ref, n.str_set_nocache, record.get());
  });
  set_field(b->quor_meta, record.get());
}

bool any_written(const QuorBaseObject* b) noexcept {
  for (Py_ssize_t i = 0; i < b->written_len; ++i)
    if (b->written[i]) return true;
  return false;
}

Ref chunk_handle(PyObject* self, Py_ssize_t chunk_idx) {
  return chunk_proxy(state_of(self), as_base(self), chunk_idx);
}

Ref block_requester_id(PyObject* self, Py_ssize_t chunk_idx) {
  return requester_id(state_of(self).names, as_base(self), chunk_idx, true);
}

void mark_sent(QuorBaseObject* b, Py_ssize_t chunk_idx, PyObject* contents) {
  set_state(b, chunk_idx, holds_only_immutable(contents) ? kClean : kMayDiffer);
}

void keep_fetched(QuorBaseObject* b, Py_ssize_t chunk_idx, PyObject* data) {
  Py_ssize_t at = list_position(b->chunk_list, chunk_idx);
  if (PyList_GET_ITEM(b->chunk_list, at) != Py_None) return;
  list_store(b->chunk_list, at, data);
  // A fetch changes nothing: the chunk's version is raised when a block
  // commits new contents for it (Note [Versions count commits]).
  set_state(b, at, holds_only_immutable(data) ? kClean : kMayDiffer);
}

// Replaces the instance's record by `fresh`, dropping every local copy
// (resident or carried) that another holder has committed since ours was made.
void adopt_record(PyObject* self, PyObject* fresh) {
  const Names& n = state_of(self).names;
  QuorBaseObject* b = as_base(self);
  Ref keep = Ref::borrow(fresh);
  if (b->quor_meta != Py_None) {
    Ref shared = chunk_versions(n, fresh);
    Ref mine = chunk_versions(n, b->quor_meta);
    for (int32_t i = 0; i < b->num_chunks; ++i) {
      Ref theirs_v = Ref::check(PySequence_GetItem(shared.get(), i));
      Ref mine_v = Ref::check(PySequence_GetItem(mine.get(), i));
      if (check(PyObject_RichCompareBool(theirs_v.get(), mine_v.get(), Py_GT))) {
        list_store(b->chunk_list, i, Py_None);
        clear_changed(b, i);
        forget_carried(b, i);
      }
    }
  }
  set_field(b->quor_meta, fresh);
}

Ref describe_failure(const Names& n, PyObject* error, PyObject* contents) {
  try {
    Ref describe = n.lookup(n.str_describe_write_failure);
    return call(describe.get(), error, contents ? contents : Py_None);
  } catch (const PyErrSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();  // the class alone still names the failure
    return Ref::check(PyUnicode_FromString("(no description)"));
  }
}

// The rate-limited report of a failed write: at most one line per second.
void report_write_failure(const Names& n, QuorBaseObject* b, int32_t chunk_idx,
                          const WriteFailure& failure) {
  Ref time_module = n.lookup(n.str_time);
  Ref now = call_method(time_module.get(), n.str_time);
  double now_s = PyFloat_AsDouble(now.get());
  if (now_s == -1.0 && PyErr_Occurred()) throw PyErrSet{};
  if (!(b->last_msg_time + 1.0 < now_s)) return;
  Ref class_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(failure.error.get())),
                            n.str___name__);
  Ref line = Ref::check(PyUnicode_FromFormat("Exception for evicting chunk %d: %U :: %U",
                                             static_cast<int>(chunk_idx), class_name.get(),
                                             failure.text.get()));
  print_line(n, line.get());
  b->last_msg_time = as_int32(now.get());
}

bool holds_block(const QuorBaseObject* b) noexcept {
  return b->lock_held && b->lock_owner == PyThread_get_thread_ident() && b->grant != Py_None;
}

// Note [A dead chunk actor does not stop the rollback]
// Its state is gone with it: there is nothing to roll back, and every
// operation that needs it fails on its own, naming it. So a wave in which
// some actors have died still completes; their lengths are None. Only the
// failure case waits for the calls one by one, to tell which actors died.
Ref rollback_wave(PyObject* self, PyObject* epoch, PyObject* committed,
                  const std::vector<Py_ssize_t>* only) {
  const CoreState& st = state_of(self);
  const Names& n = st.names;
  QuorBaseObject* b = as_base(self);
  Ref handles = Ref::borrow(b->chunk_ref_list);
  require_list(handles.get());
  std::vector<Py_ssize_t> every;
  if (!only) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(handles.get()); ++i) every.push_back(i);
    only = &every;
  }
  Ref pending = Ref::check(PyList_New(0));
  for (Py_ssize_t i : *only) {
    if (holds_block(b) && !takes_chunk(b, i)) refuse_chunk(self, i);
    Ref proxy = chunk_proxy(st, b, i);
    Ref last_commit = Ref::check(PySequence_GetItem(committed, i));
    Ref call_ref = n.remote(proxy.get(), n.str_rollback, epoch, last_commit.get());
    check(PyList_Append(pending.get(), call_ref.get()));
  }
  try {
    Ref lengths = n.ray_get(pending.get());
    require_list(lengths.get());
    return lengths;
  } catch (const PyErrSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
  }
  Ref ray = n.lookup(n.str_ray);
  Ref exceptions = get_attr(ray.get(), n.str_exceptions);
  Ref actor_died = get_attr(exceptions.get(), n.str_RayActorError);
  Ref lengths = Ref::check(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending.get()); ++i) {
    Ref length;
    try {
      length = n.ray_get(PyList_GET_ITEM(pending.get(), i));
    } catch (const PyErrSet&) {
      if (!PyErr_ExceptionMatches(actor_died.get())) throw;
      PyErr_Clear();
      length = Ref::borrow(Py_None);
    }
    check(PyList_Append(lengths.get(), length.get()));
  }
  return lengths;
}

void drop_unclean_copies(QuorBaseObject* b) {
  Ref chunks = Ref::borrow(b->chunk_list);
  if (!PyList_Check(chunks.get())) return;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
    if (PyList_GET_ITEM(chunks.get(), i) == Py_None || is_clean(b, i)) continue;
    list_store(chunks.get(), i, Py_None);
    clear_changed(b, i);
  }
}

void drop_all_copies(QuorBaseObject* b) {
  forget_all_carried(b);
  Ref chunks = Ref::borrow(b->chunk_list);
  if (!PyList_Check(chunks.get())) return;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
    list_store(chunks.get(), i, Py_None);
    clear_changed(b, i);
  }
}

[[noreturn]] void rethrow_naming_death(PyObject* self, const char* what) {
  Ref error = fetch_error();
  const CoreState& st = state_of(self);
  const Names& n = st.names;
  int died = 0;
  try {
    Ref ray = n.lookup(n.str_ray);
    Ref exceptions = get_attr(ray.get(), n.str_exceptions);
    Ref actor_died = get_attr(exceptions.get(), n.str_RayActorError);
    died = check(PyObject_IsInstance(error.get(), actor_died.get()));
  } catch (const PyErrSet&) {
    PyErr_Clear();  // without Ray's exception types there is nothing to rename
  }
  if (!died) restore_error(std::move(error));
  Ref container = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), n.str___name__);
  Ref message = Ref::check(PyUnicode_FromFormat("%s of this %U has died", what, container.get()));
  Ref replacement = call(PyExc_RuntimeError, message.get());
  PyException_SetCause(replacement.get(), error.new_ref());
  PyException_SetContext(replacement.get(), error.release());
  PyErr_SetObject(PyExc_RuntimeError, replacement.get());
  throw PyErrSet{};
}

void fetch_chunk(PyObject* self, int32_t chunk_idx) {
  const CoreState& st = state_of(self);
  QuorBaseObject* b = as_base(self);
  check_assertion(st, list_at(b->chunk_list, chunk_idx) == Py_None, "Chunk must be None to fetch");
  if (take_carried(self, chunk_idx)) return;
  Ref pending = request_chunk(st, b, chunk_idx);
  Ref data = wait_for_chunk(b, pending.get(), chunk_idx);
  keep_fetched(b, chunk_idx, data.get());
}

// Every chunk without a copy, from `first` to `last` (every chunk from
// `first` when `last` is negative), fetched in one wave: the calls are all
// sent before any is waited for, so the hosts serialise their chunks side by
// side and the wave costs about one round trip, not one per chunk.
void fetch_missing_chunks(PyObject* self, Py_ssize_t first, Py_ssize_t last) {
  const CoreState& st = state_of(self);
  QuorBaseObject* b = as_base(self);
  std::vector<std::pair<Py_ssize_t, Ref>> pending;
  Py_ssize_t end = last < 0 ? b->num_chunks : std::min<Py_ssize_t>(last + 1, b->num_chunks);
  for (Py_ssize_t i = std::max<Py_ssize_t>(first, 0); i < end; ++i) {
    if (list_at(b->chunk_list, i) != Py_None || take_carried(self, i)) continue;
    pending.emplace_back(i, request_chunk(st, b, i));
  }
  for (auto& [chunk_idx, call_ref] : pending) {
    Ref data = wait_for_chunk(b, call_ref.get(), chunk_idx);
    keep_fetched(b, chunk_idx, data.get());
  }
}

// Note [A failed write drops the copy]
// A copy whose write failed is dropped at once: its change is reported (the
// write-back error names it) and must never reach the slot later, neither
// through the next block nor through the finaliser, which would write it over
// whatever other holders have committed since.
PendingWrite send_write(PyObject* self, Py_ssize_t chunk_idx) {
  const CoreState& st = state_of(self);
  QuorBaseObject* b = as_base(self);
  PendingWrite write{chunk_idx, Ref(), WriteFailure()};
  Ref data = Ref::borrow(list_at(b->chunk_list, chunk_idx));
  if (data.get() == Py_None) return write;
  Ref proxy = chunk_proxy(st, b, chunk_idx);
  bool in_block = holds_block(b);
  // The state is settled before the call, from the contents being sent: a
  // change made by another thread while the call is waited for marks the
  // chunk again and is not lost.
  set_state(b, list_position(b->chunk_list, chunk_idx),
            holds_only_immutable(data.get()) ? kClean : kMayDiffer);
  try {
    Ref id = requester_id(st.names, b, chunk_idx, in_block);
    write.call = st.names.remote(proxy.get(), st.names.str_set, id.get(), data.get());
  } catch (const PyErrSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;  // interrupts and exits propagate
    write.failure.error = fetch_error();
    write.failure.text = describe_failure(st.names, write.failure.error.get(), data.get());
  }
  return write;
}

WriteFailure finish_write(PyObject* self, PendingWrite& write) {
  QuorBaseObject* b = as_base(self);
  if (!write.call && !write.failure) return WriteFailure();  // nothing was resident
  if (write.call) {
    try {
      Ref done = state_of(self).names.ray_get(write.call.get());
    } catch (const PyErrSet&) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
      write.failure.error = fetch_error();
      write.failure.text = describe_failure(state_of(self).names, write.failure.error.get(), nullptr);
    }
  }
  if (write.failure) {
    Py_ssize_t at = list_position(b->chunk_list, write.chunk_idx);
    list_store(b->chunk_list, at, Py_None);
    clear_changed(b, at);
    return std::move(write.failure);
  }
  Py_ssize_t at = list_position(b->chunk_list, write.chunk_idx);
  // Between __lock__ and __unlock__ (with or without a shared lock) the write
  // is part of the block: its record raises the chunk's version.
  bool bracketed = b->lock_held && b->lock_owner == PyThread_get_thread_ident();
  if (bracketed && at < b->written_len) b->written[at] = 1;
  return WriteFailure();
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
  clear_scope(b);
  PyMem_Free(b->changed);
  b->changed = nullptr;
  b->changed_len = 0;
  PyMem_Free(b->written);
  b->written = nullptr;
  b->written_len = 0;
}

void reset_written(QuorBaseObject* b, Py_ssize_t size) {
  if (size != b->written_len || !b->written) {
    auto* fresh = static_cast<uint8_t*>(PyMem_Calloc(size > 0 ? size : 1, 1));
    if (!fresh) throw std::bad_alloc();
    PyMem_Free(b->written);
    b->written = fresh;
    b->written_len = size;
  } else {
    std::memset(b->written, 0, size);
  }
}

void clear_changed(QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept {
  set_state(b, chunk_idx, kMayDiffer);
}

bool is_changed(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept {
  return chunk_idx >= 0 && chunk_idx < b->changed_len && b->changed[chunk_idx] == kChanged;
}

bool is_clean(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept {
  return chunk_idx >= 0 && chunk_idx < b->changed_len && b->changed[chunk_idx] == kClean;
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
    b->changed[chunk_idx] = kChanged;
    return 0;
  });
}

}  // namespace quor::core
