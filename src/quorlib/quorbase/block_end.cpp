// The end of a block: its commit (Note [A block's end in one call] in
// quorlib.quorblock, which sends it), or, when its body raised, the return
// to the last commit.
#include <algorithm>
#include <vector>

#include "core.hpp"

namespace quor::core {
namespace {

// The chunks the block writes at its end: every resident copy of a chunk it
// took that may differ from its slot. Each is marked written (the record that
// commits the block names it) and its write-back state is settled from the
// contents sent, so a change made meanwhile marks it again. A reading block
// writes nothing: a copy that may have been changed in place goes instead.
std::vector<Py_ssize_t> plan_chunks(QuorBaseObject* b) {
  std::vector<Py_ssize_t> planned;
  Ref chunks = Ref::borrow(b->chunk_list);
  if (!PyList_Check(chunks.get())) raise(PyExc_TypeError, "'NoneType' object is not iterable");
  if (b->block_kind & kReadOnly) {
    drop_unclean_copies(b);
    return planned;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
    PyObject* copy = PyList_GET_ITEM(chunks.get(), i);
    if (copy == Py_None || is_clean(b, i) || !takes_chunk(b, i)) continue;
    planned.push_back(i);
    if (i < b->written_len) b->written[i] = 1;
    mark_sent(b, i, copy);
  }
  return planned;
}

Ref commit_cells(PyObject* self) {
  QuorBaseObject* b = as_base(self);
  if (!b->ops->commit_cells) return Ref::borrow(Py_None);
  return Ref::check(b->ops->commit_cells(self));
}

bool truthy(PyObject* obj, PyObject* name) {
  Ref value = get_attr(obj, name);
  return check(PyObject_IsTrue(value.get()));
}

// `error` as the caller would meet it: Ray's error for a dead actor becomes
// the RuntimeError that names it (Note [Dead services are named]).
Ref named(PyObject* self, Ref error, const char* what) {
  try {
    try {
      restore_error(std::move(error));
    } catch (const PyErrSet&) {
      rethrow_naming_death(self, what);
    }
  } catch (const PyErrSet&) {
    return fetch_error();
  }
  return Ref();  // not reached: restore_error always throws
}

}  // namespace

void release_grant(PyObject* self, PyObject* grant, bool aborted, PyObject* record,
                   PyObject* chunks) {
  const Names& n = state_of(self).names;
  Ref lock = Ref::borrow(as_base(self)->lock);
  named_death(self, "the lock actor", [&] {
    n.require_ray();
    Ref helpers = n.lookup(n.str_quorlock);
    return call_method(helpers.get(), n.str_release, lock.get(), grant,
                       aborted ? Py_True : Py_False, record, chunks);
  });
}

void end_block(QuorBaseObject* b) noexcept {
  if (b->ops->block_ended) b->ops->block_ended(reinterpret_cast<PyObject*>(b));
  b->block_raised = 0;
  set_field(b->grant, Py_None);
  set_field(b->block_failures, Py_None);
  b->epoch = 0;
  clear_scope(b);
  if (b->written) std::fill(b->written, b->written + b->written_len, uint8_t{0});
}

// The abort of a block: nothing uncommitted may stay, locally or in the actors.
void roll_back_own_writes(PyObject* self) {
  QuorBaseObject* b = as_base(self);
  drop_all_copies(b);
  if (b->quor_meta == Py_None) return;
  Ref epoch = new_int(b->epoch);
  Ref committed = get_attr(b->quor_meta, state_of(self).names.str_committed_epochs);
  std::vector<Py_ssize_t> taken = taken_chunks(b);
  Ref lengths = rollback_wave(self, epoch.get(), committed.get(), &taken);
}

void commit_block(PyObject* self, BlockOutcome& out) {
  const Names& n = state_of(self).names;
  QuorBaseObject* b = as_base(self);
  Ref grant = Ref::borrow(b->grant);
  std::vector<Py_ssize_t> planned = plan_chunks(b);
  Ref cells = commit_cells(self);
  if (!any_written(b) && cells.get() == Py_None) {
    // Nothing to commit: the release leaves the record as read (None when the
    // block holds none: the lock then forgets the one it knew).
    out.committed = true;
    release_grant(self, grant.get(), false, b->quor_meta, Py_None);
    out.released = true;
    return;
  }
  // A block whose record was taken from it cannot name what it commits.
  if (b->quor_meta == Py_None)
    raise(PyExc_RuntimeError, "the block holds no version record: nothing of it can be committed");
  n.require_ray();
  Ref record = committing_record(n, b, true);
  Ref versions = get_attr(record.get(), n.str_chunk_versions);
  Ref helpers = n.lookup(n.str_quorblock);
  Ref end = call_method(helpers.get(), n.str_BlockEnd, b->lock, grant.get(), b->quor_meta_ref,
                        record.get());
  for (Py_ssize_t i : planned) {
    Ref index = new_int(i);
    Ref handle = chunk_handle(self, i);
    Ref id = block_requester_id(self, i);
    Ref version = Ref::check(PySequence_GetItem(versions.get(), i));
    Ref contents = Ref::borrow(PyList_GET_ITEM(b->chunk_list, i));
    Ref added = call_method(end.get(), n.str_add_chunk, index.get(), handle.get(), id.get(),
                            contents.get(), version.get());
  }
  if (PyDict_Check(cells.get())) {
    Py_ssize_t pos = 0;
    PyObject *handle, *value;
    while (PyDict_Next(cells.get(), &pos, &handle, &value))
      Ref added = call_method(end.get(), n.str_add_cell, handle, value);
  }
  Ref finished = call_method(helpers.get(), n.str_finish, end.get());
  Ref interrupt = get_attr(end.get(), n.str_interrupt);
  if (interrupt.get() != Py_None) out.interrupt = std::move(interrupt);
  if (truthy(end.get(), n.str_unknown)) {
    out.unknown = true;
    return;
  }
  if (truthy(end.get(), n.str_committed)) {
    set_field(b->quor_meta, record.get());
    out.committed = true;
    out.released = truthy(end.get(), n.str_released);
    if (!out.released) {
      Ref error = get_attr(end.get(), n.str_release_error);
      out.release_error = named(self, std::move(error), "the lock actor");
    }
    return;
  }
  Ref failures = get_attr(end.get(), n.str_failures);
  for (Py_ssize_t k = 0; k < PySequence_Size(failures.get()); ++k) {
    Ref failure = Ref::check(PySequence_GetItem(failures.get(), k));
    Ref triple = Ref::check(PySequence_Tuple(failure.get()));
    check(PyList_Append(b->block_failures, triple.get()));
  }
  Ref error = get_attr(end.get(), n.str_error);
  if (error.get() != Py_None) out.commit_error = named(self, std::move(error), "the lock actor");
}

void discard_block(PyObject* self, BlockOutcome& out) {
  QuorBaseObject* b = as_base(self);
  Ref grant = Ref::borrow(b->grant);
  // Every copy the block may have changed goes: the next use reads the commit.
  drop_unclean_copies(b);
  bool cleanup_failed = false;
  if (any_written(b)) {  // a flush inside the block sent writes: undo them
    try {
      roll_back_own_writes(self);
    } catch (const PyErrSet&) {
      out.cleanup_error = fetch_error();
      cleanup_failed = true;
    }
  }
  if (grant.get() == Py_None) return;
  // Only a block that left nothing behind knows its record is the last commit.
  release_grant(self, grant.get(), cleanup_failed, cleanup_failed ? Py_None : b->quor_meta,
                Py_None);
  out.released = true;
}

}  // namespace quor::core
