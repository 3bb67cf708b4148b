// The shared usage values (Note [The usage record]), len(), and the helpers
// that reach the local chunk copies.
#include "list.hpp"

namespace quor::list {

ListChunkMetaObject* record_of(PyObject* self, const char* field) {
  PyObject* meta = as_list(self)->meta;
  if (!meta || !PyObject_TypeCheck(meta, state_of(self).meta_type))
    raise_format(PyExc_AttributeError, "'%.200s' object has no attribute '%s'",
                 Py_TYPE(meta ? meta : Py_None)->tp_name, field);
  return as_meta(meta);
}

namespace {

// The record's handle field, held for the length of one remote call: the
// record may be changed by Python code that runs while the call waits.
Ref usage_proxy(PyObject* self) { return Ref::borrow(record_of(self, "chunk_used")->chunk_used); }
Ref last_used_proxy(PyObject* self) {
  return Ref::borrow(record_of(self, "last_used_chunk")->last_used_chunk);
}

}  // namespace

namespace {

// The block's copy is this thread's only while it is inside a block on this
// instance: another thread of the process reads the cells.
bool in_own_block(PyObject* self) noexcept {
  unsigned long holder = as_list(self)->block_thread;
  const unsigned long me = PyThread_get_thread_ident();
  const QuorBaseObject* b = as_base(self);
  return holder != 0 && holder == me && b->lock_held && b->lock_owner == me;
}

Ref copy_of(PyObject* usage) { return Ref::check(PyList_GetSlice(usage, 0, PyList_GET_SIZE(usage))); }

// A list the caller may change: the block's copy is never handed out.
Ref private_copy(PyObject* self, Ref usage) {
  if (usage.get() == as_list(self)->counts) return copy_of(usage.get());
  return usage;
}

int32_t counts_total(PyObject* self, PyObject* usage) {
  QuorListObject* l = as_list(self);
  if (usage == l->counts && l->counts_total >= 0) return static_cast<int32_t>(l->counts_total);
  int32_t total = usage_sum(usage);
  if (usage == l->counts) l->counts_total = total;
  return total;
}

void keep_counts(PyObject* self, PyObject* usage) {
  QuorListObject* l = as_list(self);
  set_field(l->counts, usage);
  l->counts_total = -1;
}

}  // namespace

void forget_counts(PyObject* self) noexcept {
  QuorListObject* l = as_list(self);
  Py_CLEAR(l->counts);
  l->counts_total = -1;
  l->last_used = -1;
  l->counts_changed = false;
}

bool counts_are_local(PyObject* self) noexcept {
  // A block with a grant commits them; without a shared lock they are
  // published at once, as outside a block.
  return in_own_block(self) && as_base(self)->grant != Py_None;
}

void keep_block_counts(PyObject* self, PyObject* usage, int32_t last) {
  QuorListObject* l = as_list(self);
  keep_counts(self, copy_of(usage).get());  // a copy: the caller may go on changing its list
  l->last_used = last;
  l->counts_changed = true;
}

Ref counts_view(PyObject* self) {
  QuorListObject* l = as_list(self);
  const bool cached = in_own_block(self);
  if (cached && l->counts) return Ref::borrow(l->counts);
  const Names& n = state_of(self).names;
  Ref proxy = usage_proxy(self);
  Ref usage = n.call_remote(proxy.get(), n.str_get_nocache);
  require_list(usage.get());
  if (!cached) return usage;
  // What a remote read returns is a new list that nobody else holds. The last
  // chunk in use is read with it, so that every later read of the block
  // (the search bounds its scan by it) is local.
  keep_counts(self, usage.get());
  if (l->last_used < 0) read_last_used(self);
  return usage;
}

Ref read_usage(PyObject* self) { return private_copy(self, counts_view(self)); }

int32_t read_last_used(PyObject* self) {
  QuorListObject* l = as_list(self);
  const bool cached = in_own_block(self);
  if (cached && l->last_used >= 0) return l->last_used;
  const Names& n = state_of(self).names;
  Ref proxy = last_used_proxy(self);
  Ref value = n.call_remote(proxy.get(), n.str_get_nocache);
  int32_t last = as_int32(value.get());
  if (cached) l->last_used = last;
  return last;
}

void write_usage(PyObject* self, PyObject* old, PyObject* usage) {
  const Names& n = state_of(self).names;
  Ref proxy = usage_proxy(self);
  Ref done = n.call_remote(proxy.get(), n.str_swap, old, usage);
}

void write_last_used(PyObject* self, int32_t old, int32_t chunk_idx) {
  const Names& n = state_of(self).names;
  Ref proxy = last_used_proxy(self);
  Ref expected = new_int(old);
  Ref value = new_int(chunk_idx);
  Ref done = n.call_remote(proxy.get(), n.str_swap, expected.get(), value.get());
}

void restore_counts(PyObject* self, PyObject* old_usage, int32_t old_last, PyObject* new_usage,
                    int32_t new_last, bool last_too) {
  Ref now = counts_view(self);
  if (check(PyObject_RichCompareBool(now.get(), new_usage, Py_EQ)))
    write_usage(self, new_usage, old_usage);
  if (last_too && read_last_used(self) == new_last) write_last_used(self, new_last, old_last);
}

int list_block_started(PyObject* self) {
  forget_counts(self);
  as_list(self)->block_thread = PyThread_get_thread_ident();
  return 0;
}

void list_block_ended(PyObject* self) {
  forget_counts(self);
  as_list(self)->block_thread = 0;
}

PyObject* list_commit_cells(PyObject* self) {
  return guard([&]() -> PyObject* {
    QuorListObject* l = as_list(self);
    if (!l->counts_changed || !l->counts) Py_RETURN_NONE;
    Ref cells = Ref::check(PyDict_New());
    Ref usage = usage_proxy(self);
    Ref last_cell = last_used_proxy(self);
    Ref last = new_int(l->last_used);
    check(PyDict_SetItem(cells.get(), usage.get(), l->counts));
    check(PyDict_SetItem(cells.get(), last_cell.get(), last.get()));
    return cells.release();
  });
}

int32_t count_at(PyObject* usage, Py_ssize_t i) {
  i = list_position(usage, i);
  // The entry is held while it converts: __int__ may run Python code.
  Ref entry = Ref::borrow(PyList_GET_ITEM(usage, i));
  return as_int32(entry.get());
}

void add_to_count(PyObject* usage, Py_ssize_t i, int delta) {
  i = list_position(usage, i);
  Ref entry = Ref::borrow(PyList_GET_ITEM(usage, i));
  Ref step = new_int(delta);
  Ref updated = Ref::check(PyNumber_Add(entry.get(), step.get()));
  check(PyList_SetItem(usage, i, updated.release()));
}

int32_t usage_sum(PyObject* usage) {
  long long total = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(usage); ++i) total += count_at(usage, i);
  if (total < INT32_MIN || total > INT32_MAX) raise(PyExc_OverflowError, kIntTooLarge);
  return static_cast<int32_t>(total);
}

Ref fetch_usage_and_length(PyObject* self, int32_t index, bool for_change) {
  Ref usage = counts_view(self);
  set_length(self, counts_total(self, usage.get()));
  if (index >= 0 && index >= length_of(self)) raise(PyExc_IndexError, "list index out of range");
  return for_change ? private_copy(self, std::move(usage)) : std::move(usage);
}

Ref usage_for_index(PyObject* self, int32_t index, bool for_change) {
  const Names& n = state_of(self).names;
  if (is_own_method(self, n.str__fetch_chunk_usage_and_length, as_cfunction(list_fetch_usage_method)))
    return fetch_usage_and_length(self, index, for_change);
  Ref position = new_int(index);
  Ref usage = call_method(self, n.str__fetch_chunk_usage_and_length, position.get());
  require_list(usage.get());
  return usage;
}

PyObject* list_fetch_usage_method(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"index", nullptr};
    PyObject* index = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:_fetch_chunk_usage_and_length",
                                     const_cast<char**>(kwlist), &index))
      throw PyErrSet{};
    return fetch_usage_and_length(self, as_int32(index), true).release();
  });
}

Py_ssize_t list_length(PyObject* self) {
  return guard([&]() -> Py_ssize_t {
    Ref usage = counts_view(self);
    int32_t total = counts_total(self, usage.get());
    // The interpreter refuses a negative length anyway; say why it is wrong.
    if (total < 0) raise(PyExc_ValueError, "stored chunk counts sum to a negative length");
    return total;
  });
}

void make_resident(PyObject* self, Py_ssize_t first, Py_ssize_t last) {
  check(state_of(self).base->fetch_chunks(self, first, last));
}

Ref resident_chunk(PyObject* self, Py_ssize_t chunk_idx) {
  chunk_idx = chunk_position(self, chunk_idx);
  PyObject* chunk = PyList_GET_ITEM(as_base(self)->chunk_list, chunk_idx);
  if (chunk != Py_None) return Ref::borrow(chunk);
  check(state_of(self).base->fetch_chunk(self, static_cast<int32_t>(chunk_idx)));
  // The fetch ran Python code: look the slot up again.
  chunk_idx = chunk_position(self, chunk_idx);
  return Ref::borrow(PyList_GET_ITEM(as_base(self)->chunk_list, chunk_idx));
}

}  // namespace quor::list
