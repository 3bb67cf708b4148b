// Scoped use of a container: the two locks, write-back of resident chunks,
// publication of the version record, and the finaliser.
//
// Note [Locks are never left taken]
// __lock__ takes the local lock, then the shared lock, then reads the version
// record; if a later step fails it releases what it took before raising.
// __unlock__ always runs every step (write-back, publish, shared unlock, local
// unlock) and raises the first failure only after both locks are released, so
// a failed write-back ends the `with` block with an exception and no lock held.

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

void release_shared(const Names& n, QuorBaseObject* b) {
  if (b->lock != Py_None) Ref done = n.call_remote(b->lock, n.str_unlock);
}

PyObject* base_lock(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const Names& n = state_of(self).names;
    QuorBaseObject* b = as_base(self);
    Ref local = Ref::borrow(b->local_lock);
    if (local.get() == Py_None) raise(PyExc_RuntimeError, "container is not initialised");
    Ref acquired = call_method(local.get(), n.str_acquire);
    bool shared_taken = false;
    try {
      if (b->lock != Py_None) {
        Ref granted = n.call_remote(b->lock, n.str_lock);
        shared_taken = true;
      }
      check(b->ops->fetch_and_update_meta(self));
    } catch (const PyErrSet&) {
      Ref error = fetch_error();
      const char* where = "quorlib.quorbase.QuorBase.__lock__";
      if (shared_taken) cleanup_step(where, [&] { release_shared(n, b); });
      cleanup_step(where, [&] { Ref released = call_method(local.get(), n.str_release); });
      restore_error(std::move(error));
    }
    b->lock_owner = PyThread_get_thread_ident();
    b->lock_held = 1;
    Py_RETURN_NONE;
  });
}

PyObject* base_unlock(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"cache", nullptr};
    PyObject* cache = Py_True;  // accepted for compatibility; write-back is unconditional
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:__unlock__", const_cast<char**>(kwlist),
                                     &cache))
      throw PyErrSet{};
    const Names& n = state_of(self).names;
    QuorBaseObject* b = as_base(self);
    if (!b->lock_held || b->lock_owner != PyThread_get_thread_ident())
      raise(PyExc_RuntimeError, "__unlock__ called by a thread that does not hold the container's lock");
    Ref first;
    const char* where = "quorlib.quorbase.QuorBase.__unlock__";
    run_step(first, where, [&] { Ref done = call_method(self, n.str__flush_chunks_); });
    run_step(first, where, [&] { check(b->ops->evict_meta(self)); });
    run_step(first, where, [&] { release_shared(n, b); });
    run_step(first, where, [&] { release_local(n, b); });
    if (first) restore_error(std::move(first));
    Py_RETURN_NONE;
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

// Whether `method` is this module's own _flush_chunks_/flush, not an override.
bool is_own_flush(PyObject* method) {
  return PyCFunction_Check(method) &&
         PyCFunction_GET_FUNCTION(method) == reinterpret_cast<PyCFunction>(base_flush_chunks);
}

}  // namespace

PyObject* base_flush_chunks(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    flush_resident(self, false);
    Py_RETURN_NONE;
  });
}

void flush_resident(PyObject* self, bool changed_only) {
  QuorBaseObject* b = as_base(self);
  Ref chunks = Ref::borrow(b->chunk_list);
  if (!PyList_Check(chunks.get())) raise(PyExc_TypeError, "'NoneType' object is not iterable");
  std::vector<int32_t> failed;
  Ref first_failure;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
    if (PyList_GET_ITEM(chunks.get(), i) == Py_None) continue;
    if (changed_only && !is_changed(b, i)) continue;
    PyObject* failure = nullptr;
    check(b->ops->evict_chunk(self, static_cast<int32_t>(i), 0, &failure));
    if (failure) {
      failed.push_back(static_cast<int32_t>(i));
      if (!first_failure) first_failure = Ref::steal(failure);
      else Py_DECREF(failure);
    }
  }
  if (failed.empty()) return;
  Ref indices = Ref::check(PyList_New(0));
  for (int32_t i : failed) check(PyList_Append(indices.get(), new_int(i).get()));
  // Only a holder of the lock may repair shared bookkeeping; the write-back
  // error stays the one reported.
  auto repair = b->ops->on_write_failure;
  if (repair && b->lock_held && b->lock_owner == PyThread_get_thread_ident())
    cleanup_step("quorlib.quorbase.QuorBase._flush_chunks_", [&] { check(repair(self, indices.get())); });
  Ref text = Ref::check(PyObject_Str(indices.get()));
  Ref message = Ref::check(PyUnicode_FromFormat("write-back failed for chunks %U", text.get()));
  const CoreState& st = state_of(self);
  Ref error = call(st.write_back_error, message.get());
  check(PyObject_SetAttr(error.get(), st.names.str_chunks, indices.get()));
  PyException_SetCause(error.get(), first_failure.release());
  PyErr_SetObject(st.write_back_error, error.get());
  throw PyErrSet{};
}

// Note [The finaliser writes back changed chunks only]
// It runs without the lock, possibly long after this holder's last `with`
// block, so an unchanged resident copy may be older than what other holders
// have written since; writing it back would silently undo their work. Only
// chunks changed since their last write-back are written. An interpreter
// subclass that overrides _flush_chunks_ gets its override called instead.
void base_finalize(PyObject* self) {
  SavedError saved;
  const char* where = "quorlib.quorbase.QuorBase.__del__";
  // Every failure, a C++ one included, is reported: the finaliser cannot raise.
  if (guard([&] {
        const Names& n = state_of(self).names;
        Ref flush = get_attr(self, n.str__flush_chunks_);
        if (is_own_flush(flush.get())) {
          flush_resident(self, true);
        } else {
          Ref done = call(flush.get());
        }
        join_inval_threads(n, as_base(self));
        return 0;
      }) < 0)
    report_unraisable(where);
}

PyMethodDef base_locking_methods[] = {
    {"__lock__", base_lock, METH_NOARGS,
     "Takes the local lock, then the shared lock, and refreshes the version record,\n"
     "dropping local chunk copies that other holders have made stale."},
    {"__unlock__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(base_unlock)),
     METH_VARARGS | METH_KEYWORDS,
     "Writes every resident chunk back, publishes the version record and releases\n"
     "the shared lock, then the local lock."},
    {"_flush_chunks_", base_flush_chunks, METH_NOARGS,
     "Writes every resident chunk back to its actor; the copies stay resident."},
    {"flush", base_flush_chunks, METH_NOARGS,
     "Writes every resident chunk back to its actor; the copies stay resident."},
    {"__enter__", base_enter, METH_NOARGS, "__lock__(), then returns the container."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(base_exit)),
     METH_VARARGS | METH_KEYWORDS, "__unlock__(); an exception of the block propagates."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quor::core
