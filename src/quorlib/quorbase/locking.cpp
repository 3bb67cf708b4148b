// Scoped use of a container: the two locks, write-back of resident chunks,
// the commit of the block through its version record, and the finaliser.
//
// Note [A block commits whole or not at all]
// __lock__ takes the local lock, then a grant of the shared lock for the
// block's scope (Note [What a block took]). The grant carries a rising epoch
// and the chunks of the scope that a holder which ended abnormally (died, was
// forced out, or aborted without cleaning up) may have left half-written; the
// new holder rolls those back to the commit the record names before anything
// else runs. __unlock__ commits the block: its changed chunks and its record
// go with its release, or the larger chunks first (Note [A block's end in one
// call] in quorlib.quorblock); a block that wrote nothing has nothing to
// commit. If any write or the commit fails the block aborts: the holder,
// still holding the lock, rolls its own writes back, drops its copies and
// releases normally (or as aborted, when the clean-up failed too, so that the
// next holder of those chunks rolls back), then raises WriteBackError. A
// holder that dies anywhere in between leaves nothing the next holder sees.
//
// Note [The record travels with the lock]
// Reading the record is a round trip on every block, and under contention the
// lock is held for it. The record's cell lives in the control actor that
// holds the lock, so the grant brings the record as committed. A record held
// elsewhere is read from its actor.
//
// Note [Locks are never left taken]
// If a step of __lock__ fails it releases what it took before raising.
// __unlock__ always runs every step and raises only after both locks are
// released.

#include <algorithm>
#include <vector>

#include "core.hpp"

namespace quor::core {
namespace {

// Runs a release step whose failure must not hide the error being raised: a
// failure here is reported as unraisable.
void report_unraisable(const char* where) noexcept {
  PyObject* context = PyUnicode_FromString(where);
  PyErr_WriteUnraisable(context);
  Py_XDECREF(context);
}

template <class F>
void cleanup_step(const char* where, F&& step) {
  try {
    step();
  } catch (const PyErrSet&) {
    report_unraisable(where);
  }
}

// Runs `step`, keeping the first failure in `first`; later failures are
// reported as unraisable, so that every release step runs whatever failed.
template <class F>
void run_step(Ref& first, const char* where, F&& step) {
  if (first) return cleanup_step(where, step);
  try {
    step();
  } catch (const PyErrSet&) {
    first = fetch_error();
  }
}

void release_local(const Names& n, QuorBaseObject* b) {
  b->lock_held = 0;
  Ref released = call_method(b->local_lock, n.str_release);
}

// The grant is for `scope` (Note [What a block took]); it brings the version
// record as its cell holds it, when the lock holds the cell (Note [The record
// travels with the lock]), and newer contents of the chunks `copies` names
// (Note [Commits travel with the lock]).
Ref acquire_grant(const Names& n, PyObject* lock, PyObject* record_ref, PyObject* copies,
                  PyObject* scope) {
  n.require_ray();
  Ref helpers = n.lookup(n.str_quorlock);
  return call_method(helpers.get(), n.str_acquire, lock, Py_None, record_ref, copies, scope);
}

// The chunks the grant says a holder that ended abnormally may have left
// uncommitted writes in; null for every chunk.
std::vector<Py_ssize_t> chunks_to_repair(PyObject* grant, const Names& n, bool& every) {
  std::vector<Py_ssize_t> chunks;
  Ref repair = get_attr(grant, n.str_repair);
  every = repair.get() == Py_None;
  if (every) return chunks;
  Ref listed = Ref::check(PySequence_Fast(repair.get(), "a grant's repair must be a sequence"));
  for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(listed.get()); ++k) {
    Py_ssize_t i = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(listed.get(), k));
    if (i == -1 && PyErr_Occurred()) throw PyErrSet{};
    chunks.push_back(i);
  }
  return chunks;
}

// After a grant that names chunks a holder that ended abnormally may have left
// half-written: the record as committed (the grant's, or read from its cell
// and fenced so that the abandoned holder can no longer publish it), those
// chunks brought back to that commit, stale copies dropped. A list's counts
// need no repair: they change only with a commit.
void recover_last_commit(PyObject* self, PyObject* grant) {
  const CoreState& st = state_of(self);
  const Names& n = st.names;
  QuorBaseObject* b = as_base(self);
  check_assertion(st, b->quor_meta_ref != Py_None, "Metadata reference must be initialized");
  Ref epoch = new_int(b->epoch);
  Ref record = get_attr(grant, n.str_record);
  if (record.get() == Py_None) {
    record = named_death(self, "the version record actor", [&] {
      return n.call_remote(b->quor_meta_ref, n.str_fence, epoch.get());
    });
  }
  bool every = false;
  std::vector<Py_ssize_t> chunks = chunks_to_repair(grant, n, every);
  Ref committed = get_attr(record.get(), n.str_committed_epochs);
  Ref lengths = rollback_wave(self, epoch.get(), committed.get(), every ? nullptr : &chunks);
  adopt_record(self, record.get());
}

PyObject* base_lock(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    const CoreState& st = state_of(self);
    const Names& n = st.names;
    QuorBaseObject* b = as_base(self);
    static const char* kwlist[] = {"scope", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:__lock__", const_cast<char**>(kwlist),
                                     &requested))
      throw PyErrSet{};
    check_scope(self, requested);
    Ref local = Ref::borrow(b->local_lock);
    if (local.get() == Py_None) raise(PyExc_RuntimeError, "container is not initialised");
    if (b->lock_held && b->lock_owner == PyThread_get_thread_ident())
      raise(PyExc_RuntimeError,
            "this thread already holds this container's lock: blocks on the same container "
            "cannot be nested");
    n.require_ray();
    Ref scope = requested == Py_None ? new_scope(self, Py_None, false) : Ref::borrow(requested);
    Ref acquired = call_method(local.get(), n.str_acquire);
    Ref grant;
    bool abnormal = false;
    try {
      if (b->lock != Py_None) {
        Ref copies = held_copies(self);
        grant = named_death(self, "the lock actor", [&] {
          return acquire_grant(n, b->lock, b->quor_meta_ref, copies.get(), scope.get());
        });
        Ref epoch = get_attr(grant.get(), n.str_epoch);
        long long value = PyLong_AsLongLong(epoch.get());
        if (value == -1 && PyErr_Occurred()) throw PyErrSet{};
        Ref flag = get_attr(grant.get(), n.str_abnormal);
        abnormal = check(PyObject_IsTrue(flag.get()));
        set_field(b->grant, grant.get());
        b->epoch = value;
        take_scope(self, scope.get());
      }
      if (abnormal) {
        recover_last_commit(self, grant.get());
      } else {
        refresh_record(self);
      }
      reset_written(b, PyList_Check(b->chunk_list) ? PyList_GET_SIZE(b->chunk_list) : 0);
      Ref failures = Ref::check(PyList_New(0));
      set_field(b->block_failures, failures.get());
      b->block_raised = 0;
      if (b->ops->block_started) check(b->ops->block_started(self));
    } catch (const PyErrSet&) {
      Ref error = fetch_error();
      const char* where = "quorlib.quorbase.QuorBase.__lock__";
      // A repair cut short leaves the next holder to repair again.
      if (grant) cleanup_step(where, [&] { release_grant(self, grant.get(), abnormal); });
      end_block(b);
      cleanup_step(where, [&] { Ref released = call_method(local.get(), n.str_release); });
      restore_error(std::move(error));
    }
    b->lock_owner = PyThread_get_thread_ident();
    b->lock_held = 1;
    Py_RETURN_NONE;
  });
}

// At most this many failed chunks are described one by one; `chunks` lists all.
constexpr Py_ssize_t kChunksDescribed = 4;

// "chunk 0 (TypeError: ...); chunk 2 (...)" for the (index, exception,
// description) triples in `failures` (Note [Failures name no stored value]).
Ref describe_failures(const Names& n, PyObject* failures) {
  Ref parts = Ref::check(PyList_New(0));
  Py_ssize_t count = PyList_GET_SIZE(failures);
  for (Py_ssize_t k = 0; k < count && k < kChunksDescribed; ++k) {
    PyObject* failure = PyList_GET_ITEM(failures, k);
    PyObject* exc = PyTuple_GET_ITEM(failure, 1);
    Ref type_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(exc)), n.str___name__);
    Ref part = Ref::check(PyUnicode_FromFormat("chunk %S (%U: %U)", PyTuple_GET_ITEM(failure, 0),
                                               type_name.get(), PyTuple_GET_ITEM(failure, 2)));
    check(PyList_Append(parts.get(), part.get()));
  }
  if (count > kChunksDescribed) {
    Ref rest = Ref::check(PyUnicode_FromFormat("and %zd more chunks (see .chunks)",
                                               count - kChunksDescribed));
    check(PyList_Append(parts.get(), rest.get()));
  }
  Ref separator = Ref::check(PyUnicode_FromString("; "));
  return Ref::check(PyUnicode_Join(separator.get(), parts.get()));
}

// "RuntimeError: first line of its message" for an error raised whole.
Ref describe_error(const Names& n, PyObject* error) {
  Ref type_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(error)), n.str___name__);
  Ref text = describe_failure(n, error, nullptr);
  return Ref::check(PyUnicode_FromFormat("%U: %U", type_name.get(), text.get()));
}

// Raises WriteBackError(message) with `chunks` and `__cause__` set.
[[noreturn]] void raise_write_back_error(const CoreState& st, PyObject* message,
                                         PyObject* chunks, PyObject* cause) {
  Ref error = call(st.write_back_error, message);
  check(PyObject_SetAttr(error.get(), st.names.str_chunks, chunks));
  PyException_SetCause(error.get(), Py_XNewRef(cause));
  PyErr_SetObject(st.write_back_error, error.get());
  throw PyErrSet{};
}

Ref failed_indices(PyObject* failures) {
  Ref indices = Ref::check(PyList_New(0));
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(failures); ++k)
    check(PyList_Append(indices.get(), PyTuple_GET_ITEM(PyList_GET_ITEM(failures, k), 0)));
  return indices;
}

// Whether `method` is this module's own _flush_chunks_/flush, not an override.
bool is_own_flush(PyObject* method) {
  return PyCFunction_Check(method) &&
         PyCFunction_GET_FUNCTION(method) == reinterpret_cast<PyCFunction>(base_flush_chunks);
}

// Runs `step`, keeping an interrupt or exit request (the first) in `interrupt`
// and any other error in `error`.
template <class F>
void keep_errors(Ref& interrupt, Ref& error, F&& step) {
  try {
    step();
  } catch (const PyErrSet&) {
    Ref raised = fetch_error();
    if (PyObject_IsInstance(raised.get(), PyExc_Exception)) {
      if (!error) error = std::move(raised);
    } else if (!interrupt) {
      interrupt = std::move(raised);
    }
  }
}

// A block without a shared lock writes back through _flush_chunks_ and then
// stores its record; there are no epochs to commit under.
void end_without_lock(PyObject* self, BlockOutcome& out) {
  const Names& n = state_of(self).names;
  QuorBaseObject* b = as_base(self);
  keep_errors(out.interrupt, out.flush_error,
              [&] { Ref done = call_method(self, n.str__flush_chunks_); });
  if (out.interrupt || out.flush_error || PyList_GET_SIZE(b->block_failures) > 0) return;
  keep_errors(out.interrupt, out.commit_error, [&] { publish_without_lock(self); });
  out.committed = !out.interrupt && !out.commit_error;
  out.released = true;
}

// "the block was not committed: ..." for what stopped it.
Ref not_committed_message(const Names& n, PyObject* failures, const BlockOutcome& out) {
  Ref message;
  if (PyList_GET_SIZE(failures) > 0) {
    Ref described = describe_failures(n, failures);
    message = Ref::check(PyUnicode_FromFormat(
        "the block was not committed: write-back failed for %U", described.get()));
  } else {
    PyObject* error = out.flush_error ? out.flush_error.get() : out.commit_error.get();
    Ref described = describe_error(n, error);
    message = Ref::check(PyUnicode_FromFormat(
        out.flush_error ? "the block was not committed: writing the chunks back failed (%U)"
                        : "the block was not committed: publishing the version record failed (%U)",
        described.get()));
  }
  if (out.cleanup_error) {
    Ref described = describe_error(n, out.cleanup_error.get());
    message = Ref::check(PyUnicode_FromFormat(
        "%U; rolling its writes back failed too (%U), the next holder rolls them back",
        message.get(), described.get()));
  }
  if (out.release_error) {  // a holder forced out meanwhile: its ticket is refused
    Ref described = describe_error(n, out.release_error.get());
    message = Ref::check(PyUnicode_FromFormat("%U; releasing the lock failed (%U)",
                                              message.get(), described.get()));
  }
  return message;
}

// Note [A block that raises commits nothing]
// When the body of a `with` block raises (any exception, an interrupt
// included), __exit__ marks the block and __unlock__ discards it: the copies
// it may have changed are dropped, whatever a flush inside it wrote is rolled
// back, and the lock is released as after a clean block that wrote nothing.
// The block's own exception then propagates; nothing of it was committed.
PyObject* base_unlock(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"cache", nullptr};
    PyObject* cache = Py_True;  // accepted for compatibility; write-back is unconditional
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:__unlock__", const_cast<char**>(kwlist),
                                     &cache))
      throw PyErrSet{};
    const CoreState& st = state_of(self);
    const Names& n = st.names;
    QuorBaseObject* b = as_base(self);
    if (!b->lock_held || b->lock_owner != PyThread_get_thread_ident())
      raise(PyExc_RuntimeError, "__unlock__ called by a thread that does not hold the container's lock");
    const char* where = "quorlib.quorbase.QuorBase.__unlock__";
    if (!PyList_Check(b->block_failures)) {
      Ref fresh = Ref::check(PyList_New(0));
      set_field(b->block_failures, fresh.get());
    }
    Ref failures = Ref::borrow(b->block_failures);
    Ref grant = Ref::borrow(b->grant);
    const bool raised = b->block_raised;
    BlockOutcome out;
    if (raised) {
      keep_errors(out.interrupt, out.cleanup_error, [&] { discard_block(self, out); });
    } else if (grant.get() == Py_None) {
      end_without_lock(self, out);
    } else {
      Ref flush = get_attr(self, n.str__flush_chunks_);
      if (!is_own_flush(flush.get()))  // a subclass's write-back is part of the block
        keep_errors(out.interrupt, out.flush_error, [&] { Ref done = call(flush.get()); });
      if (!out.interrupt && !out.flush_error && PyList_GET_SIZE(failures.get()) == 0)
        keep_errors(out.interrupt, out.flush_error, [&] { commit_block(self, out); });
    }
    const bool aborted = !raised && !out.committed && !out.unknown;
    if (aborted) {
      keep_errors(out.interrupt, out.cleanup_error, [&] { roll_back_own_writes(self); });
    } else if (out.unknown) {
      drop_all_copies(b);  // what the block's copies are to the others is not known
    }
    if (grant.get() != Py_None && !out.released && !out.release_error && !out.unknown) {
      // Only a block that ended cleanly knows its record is what was committed.
      keep_errors(out.interrupt, out.release_error, [&] {
        Ref record = Ref::borrow(aborted ? Py_None : b->quor_meta);
        release_grant(self, grant.get(), bool(out.cleanup_error), record.get(), Py_None);
      });
    }
    end_block(b);
    Ref local_error;
    run_step(local_error, where, [&] { release_local(n, b); });
    if (out.interrupt) {
      if (out.release_error)
        cleanup_step(where, [&] { restore_error(std::move(out.release_error)); });
      restore_error(std::move(out.interrupt));
    }
    if (raised) {
      // The block's own exception is what the caller sees; a failed clean-up
      // is told as unraisable, and the next holder rolls back.
      if (out.cleanup_error)
        cleanup_step(where, [&] { restore_error(std::move(out.cleanup_error)); });
      if (out.release_error)
        cleanup_step(where, [&] { restore_error(std::move(out.release_error)); });
      if (local_error) restore_error(std::move(local_error));
      Py_RETURN_NONE;
    }
    if (!aborted) {
      if (out.release_error) restore_error(std::move(out.release_error));
      if (local_error) restore_error(std::move(local_error));
      Py_RETURN_NONE;
    }
    // The block did not commit: say why, chunk by chunk.
    Ref message = not_committed_message(n, failures.get(), out);
    PyObject* cause = PyList_GET_SIZE(failures.get()) > 0
                          ? PyTuple_GET_ITEM(PyList_GET_ITEM(failures.get(), 0), 1)
                          : out.flush_error ? out.flush_error.get() : out.commit_error.get();
    Ref indices = failed_indices(failures.get());
    raise_write_back_error(st, message.get(), indices.get(), cause);
  });
}

PyObject* base_enter(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Ref done = call_method(self, state_of(self).names.str___lock__);
    return Py_NewRef(self);
  });
}

PyObject* base_exit(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"exc_type", "exc_value", "traceback", nullptr};
    PyObject *exc_type, *exc_value, *traceback;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:__exit__", const_cast<char**>(kwlist),
                                     &exc_type, &exc_value, &traceback))
      throw PyErrSet{};
    // Note [A block that raises commits nothing]
    QuorBaseObject* b = as_base(self);
    if (exc_type != Py_None && b->lock_held && b->lock_owner == PyThread_get_thread_ident())
      b->block_raised = 1;
    Ref done = call_method(self, state_of(self).names.str___unlock__);
    Py_RETURN_NONE;
  });
}

void join_inval_threads(const Names& n, QuorBaseObject* b) {
  if (b->quor_inval_threads == Py_None) return;
  Ref threads = Ref::borrow(b->quor_inval_threads);
  Ref threading = n.lookup(n.str_threading);
  Ref current = call_method(threading.get(), n.str_current_thread);
  for (Py_ssize_t i = 0;; ++i) {
    Py_ssize_t size = PySequence_Size(threads.get());  // a join may change the list
    if (size < 0) throw PyErrSet{};
    if (i >= size) break;
    Ref thread = Ref::check(PySequence_GetItem(threads.get(), i));
    if (thread.get() == Py_None) continue;
    if (check(PyObject_RichCompareBool(thread.get(), current.get(), Py_NE)))
      Ref joined = call_method(thread.get(), n.str_join);
  }
}

}  // namespace

PyObject* base_flush_chunks(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    check(refuse_change(self, "flush()"));
    flush_resident(self, false, false);
    Py_RETURN_NONE;
  });
}

void flush_resident(PyObject* self, bool changed_only, bool report_only) {
  if (!PyList_Check(as_base(self)->chunk_list))
    raise(PyExc_TypeError, "'NoneType' object is not iterable");
  // Raised once, not once per chunk; the finaliser reports it by the line.
  if (!report_only) state_of(self).names.require_ray();
  std::vector<PendingWrite> writes = send_resident_writes(self, changed_only);
  finish_resident_writes(self, writes, report_only);
}

// Every write is sent before any is waited for: one wave, about one round
// trip whatever the number of chunks written.
std::vector<PendingWrite> send_resident_writes(PyObject* self, bool changed_only) {
  QuorBaseObject* b = as_base(self);
  Ref chunks = Ref::borrow(b->chunk_list);
  if (!PyList_Check(chunks.get())) raise(PyExc_TypeError, "'NoneType' object is not iterable");
  std::vector<PendingWrite> writes;
  const bool in_block = holds_block(b);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
    if (PyList_GET_ITEM(chunks.get(), i) == Py_None) continue;
    if (changed_only ? !is_changed(b, i) : is_clean(b, i)) continue;
    if (in_block && !takes_chunk(b, i)) continue;  // unchanged by this block, held by others
    writes.push_back(send_write(self, i));
  }
  return writes;
}

void finish_resident_writes(PyObject* self, std::vector<PendingWrite>& writes, bool report_only) {
  QuorBaseObject* b = as_base(self);
  Ref failures = Ref::check(PyList_New(0));
  const Names& n = state_of(self).names;
  for (PendingWrite& write : writes) {
    WriteFailure failure = finish_write(self, write);
    if (!failure) continue;
    // A failure that is raised is not printed as well.
    if (report_only) report_write_failure(n, b, static_cast<int32_t>(write.chunk_idx), failure);
    Ref index = new_int(write.chunk_idx);
    Ref triple = Ref::check(PyTuple_Pack(3, index.get(), failure.error.get(), failure.text.get()));
    check(PyList_Append(failures.get(), triple.get()));
  }
  if (PyList_GET_SIZE(failures.get()) == 0 || report_only) return;
  // Inside a block __unlock__ reports them again, as the reason the block aborts.
  if (holds_block(b) && PyList_Check(b->block_failures))
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(failures.get()); ++k)
      check(PyList_Append(b->block_failures, PyList_GET_ITEM(failures.get(), k)));
  const CoreState& st = state_of(self);
  Ref described = describe_failures(st.names, failures.get());
  Ref message = Ref::check(PyUnicode_FromFormat("write-back failed for %U", described.get()));
  Ref indices = failed_indices(failures.get());
  raise_write_back_error(st, message.get(), indices.get(),
                         PyTuple_GET_ITEM(PyList_GET_ITEM(failures.get(), 0), 1));
}

// Note [The finaliser writes back changed chunks only]
// It runs without the lock, possibly long after this holder's last `with`
// block, so an unchanged resident copy may be older than what other holders
// have written since; writing it back would silently undo their work. Only
// chunks changed since their last write-back are written, each as a
// compare-and-set against the commit this instance last saw, so a chunk that
// another holder has committed since is refused, not overwritten. A refusal is
// reported by the rate-limited line like any failed write, not raised. An
// interpreter subclass that overrides _flush_chunks_ gets its override called
// instead, and what that raises is reported as unraisable. The threads are
// joined whatever the write-back did.
//
// An instance freed inside a block (its __unlock__ never ran) gives the lock
// back as aborted, so that the next holder rolls back whatever the block wrote,
// and writes nothing: the lock follows the process, not the instance, and
// would otherwise stay held for as long as the process lives. A failure to
// give it back needs no report: the lock actor drops the grant when the
// process dies, or has done so already.
void base_finalize(PyObject* self) {
  SavedError saved;
  const char* where = "quorlib.quorbase.QuorBase.__del__";
  QuorBaseObject* b = as_base(self);
  if (b->grant && b->grant != Py_None) {
    Ref grant = Ref::borrow(b->grant);
    if (guard([&] {
          drop_all_copies(b);
          release_grant(self, grant.get(), true);
          return 0;
        }) < 0)
      PyErr_Clear();
    end_block(b);
    b->lock_held = 0;
  }
  // Every failure, a C++ one included, is reported: the finaliser cannot raise.
  if (guard([&] {
        const Names& n = state_of(self).names;
        Ref flush = get_attr(self, n.str__flush_chunks_);
        if (is_own_flush(flush.get())) {
          flush_resident(self, true, true);
        } else {
          Ref done = call(flush.get());
        }
        return 0;
      }) < 0)
    report_unraisable(where);
  if (guard([&] {
        join_inval_threads(state_of(self).names, as_base(self));
        return 0;
      }) < 0)
    report_unraisable(where);
}

PyMethodDef base_locking_methods[] = {
    {"__lock__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(base_lock)),
     METH_VARARGS | METH_KEYWORDS,
     "__lock__(scope=None)\n\n"
     "Takes the local lock, then the shared lock for `scope` (a quorlib.messages.Scope;\n"
     "None: every chunk), whose grant brings the version record (read from its cell\n"
     "when the lock does not hold it), and drops local chunk copies that other holders\n"
     "have made stale. After a holder that ended abnormally, first brings the chunks it\n"
     "may have left half-written back to the last commit. RuntimeError when this\n"
     "thread already holds the container or Ray is not running."},
    {"reading", base_reading, METH_NOARGS,
     "reading()\n\n"
     "A block to use in `with`: every chunk, shared with other readers, to read only.\n"
     "Any change inside it raises RuntimeError and changes nothing."},
    {"__unlock__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(base_unlock)),
     METH_VARARGS | METH_KEYWORDS,
     "Writes back every resident chunk that may differ from its actor's and commits\n"
     "the block by publishing the version record (a block that wrote nothing publishes\n"
     "nothing), then releases the shared lock and the local lock. If a write or the\n"
     "publish fails, nothing of the block is committed and WriteBackError is raised."},
    {"_flush_chunks_", base_flush_chunks, METH_NOARGS,
     "Writes back every resident chunk that may differ from its actor's: changed, or\n"
     "holding values that can change in place; the copies stay resident. A copy\n"
     "whose write failed is dropped, and WriteBackError names each failed chunk."},
    {"flush", base_flush_chunks, METH_NOARGS,
     "Writes back every resident chunk that may differ from its actor's: changed, or\n"
     "holding values that can change in place; the copies stay resident. A copy\n"
     "whose write failed is dropped, and WriteBackError names each failed chunk."},
    {"__enter__", base_enter, METH_NOARGS, "__lock__(), then returns the container."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(base_exit)),
     METH_VARARGS | METH_KEYWORDS,
     "__unlock__(). When the block raised, nothing of it is committed: its changes are\n"
     "discarded, the lock is released and the exception propagates."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quor::core
