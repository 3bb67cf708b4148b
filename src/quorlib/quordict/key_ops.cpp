// d[k], d[k] = v, del d[k], k in d: the hot path. A key whose chunk is
// resident costs one stable hash, one modulo, one list slot and one dict
// operation; nothing is looked up by name and nothing is allocated.
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

}  // namespace quor::dict
