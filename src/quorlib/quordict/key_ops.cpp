// d[k], d[k] = v, del d[k], k in d: the hot path. A key whose chunk is
// resident costs one stable hash, one modulo, one list slot and one dict
// operation; nothing is looked up by name and nothing is allocated.
#include <set>

#include "quordict.hpp"
#include "stable_hash.hpp"
#include "quorlib/index.hpp"

namespace quor::dict {
Located locate(PyObject* self, PyObject* key) {
  const Py_hash_t hash = stable_hash(key);
  if (hash == -1) throw PyErrSet{};
  QuorBaseObject* b = as_base(self);
  if (b->num_chunks == 0) raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
  // A negative bucket (only a negative num_chunks gives one) counts from the
  // end, as list indexing does.
  Py_ssize_t idx = list_position(b->chunk_list, floor_mod(hash, b->num_chunks));
  quor::require_key_chunk(self, key, idx, [self] { return state_of(self).base; });
  PyObject* chunk = PyList_GET_ITEM(b->chunk_list, idx);
  if (chunk == Py_None) {
    check(state_of(self).base->fetch_chunk(self, int32_t(idx)));
    idx = list_position(b->chunk_list, idx);
    chunk = PyList_GET_ITEM(b->chunk_list, idx);
  }
  return {Ref::borrow(chunk), idx};
}

// The chunk dict's own KeyError: the key wrapped in a 1-tuple, so that a
// tuple key is reported whole.
[[noreturn]] void raise_key_error(PyObject* key) {
  Ref args = Ref::check(PyTuple_Pack(1, key));
  PyErr_SetObject(PyExc_KeyError, args.get());
  throw PyErrSet{};
}

PyObject* dict_subscript(PyObject* self, PyObject* key) {
  return guard([&]() -> PyObject* {
    Located at = locate(self, key);
    if (PyDict_CheckExact(at.chunk.get())) {
      PyObject* found = PyDict_GetItemWithError(at.chunk.get(), key);
      if (found) return Py_NewRef(found);
      if (PyErr_Occurred()) throw PyErrSet{};
      raise_key_error(key);
    }
    ChunkRecursionGuard recursion;
    return Ref::check(PyObject_GetItem(at.chunk.get(), key)).release();
  });
}

int dict_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  return guard([&] {
    require_change(self, value ? "setting a key" : "deleting a key");
    Located at = locate(self, key);
    PyObject* chunk = at.chunk.get();
    if (PyDict_CheckExact(chunk)) {
      check(value ? PyDict_SetItem(chunk, key, value) : PyDict_DelItem(chunk, key));
    } else {
      ChunkRecursionGuard recursion;
      check(value ? PyObject_SetItem(chunk, key, value) : PyObject_DelItem(chunk, key));
    }
    mark_changed(self, at.idx);
    return 0;
  });
}

int dict_contains(PyObject* self, PyObject* key) {
  return guard([&] {
    Located at = locate(self, key);
    PyObject* chunk = at.chunk.get();
    if (PyDict_CheckExact(chunk)) return check(PyDict_Contains(chunk, key));
    ChunkRecursionGuard recursion;
    return check(PySequence_Contains(chunk, key));
  });
}

// The sequence slot looks a position up as the integer key of that value.
PyObject* dict_sq_item(PyObject* self, Py_ssize_t position) {
  return guard([&]() -> PyObject* {
    Ref key = Ref::check(PyLong_FromSsize_t(position));
    return dict_subscript(self, key.get());
  });
}

namespace {

// The chunks that hold `keys`, as a sorted tuple. Each key is placed as d[k]
// places it, so a key that hashes by identity is refused here too.
Ref chunks_of_keys(PyObject* self, PyObject* const* keys, Py_ssize_t count) {
  QuorBaseObject* b = as_base(self);
  if (b->num_chunks <= 0) raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
  std::set<Py_ssize_t> taken;
  for (Py_ssize_t k = 0; k < count; ++k) {
    const Py_hash_t hash = stable_hash(keys[k]);
    if (hash == -1) throw PyErrSet{};
    taken.insert(floor_mod(hash, b->num_chunks));
  }
  Ref chunks = Ref::check(PyTuple_New(Py_ssize_t(taken.size())));
  Py_ssize_t at = 0;
  for (Py_ssize_t i : taken) PyTuple_SET_ITEM(chunks.get(), at++, new_int(i).release());
  return chunks;
}

}  // namespace

PyObject* dict_locking(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    Ref chunks = chunks_of_keys(self, args, nargs);
    return Ref::check(state_of(self).base->block_on_chunks(self, chunks.get(), false)).release();
  });
}

// d.reading() reads every chunk; d.reading(*keys) only the chunks of `keys`.
PyObject* dict_reading(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    Ref chunks = nargs ? chunks_of_keys(self, args, nargs) : Ref::borrow(Py_None);
    return Ref::check(state_of(self).base->block_on_chunks(self, chunks.get(), true)).release();
  });
}

}  // namespace quor::dict
