// Chunk contents that reach a holder with its lock grant instead of being
// fetched from their actors.
//
// Note [Commits travel with the lock]
// Under contention most of a block's time went to fetching, one after
// another, the chunks that other holders had committed since its copies were
// made. So a block that ends cleanly leaves with its release the chunks it
// committed, and the lock hands the small ones (pickled) to each later holder
// that names an older copy of them in its request. The holder keeps them in
// `carried` (chunk index -> CarriedChunk(version, pickled contents)) in place of its stale
// copies and unpickles one only when an operation first needs that chunk: it
// pays for the bytes riding on a call it makes anyway, and for the chunks it
// touches. The chunk's actor still holds the chunk; the lock forgets what it
// carries whenever a holder ends abnormally, and an entry is used only at the
// version that the instance's record names for its chunk, so a carried copy is
// always what the actor holds as committed.
#include <algorithm>

#include "core.hpp"

namespace quor::core {
namespace {

// The version the instance's record names for chunk `i`.
Ref version_of(const Names& n, QuorBaseObject* b, Py_ssize_t i) {
  Ref versions = get_attr(b->quor_meta, n.str_chunk_versions);
  return Ref::check(PySequence_GetItem(versions.get(), i));
}

bool has_carried(QuorBaseObject* b, PyObject* index) {
  return PyDict_Check(b->carried) && check(PyDict_Contains(b->carried, index));
}

}  // namespace

Ref held_copies(PyObject* self) {
  const Names& n = state_of(self).names;
  QuorBaseObject* b = as_base(self);
  if (b->quor_meta == Py_None || !PyList_Check(b->chunk_list)) return Ref::borrow(Py_None);
  Ref versions = Ref::check(PySequence_List(
      get_attr(b->quor_meta, n.str_chunk_versions).get()));
  Ref copies = Ref::check(PyDict_New());
  Py_ssize_t count = std::min(PyList_GET_SIZE(b->chunk_list), PyList_GET_SIZE(versions.get()));
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref index = new_int(i);
    if (PyList_GET_ITEM(b->chunk_list, i) == Py_None && !has_carried(b, index.get())) continue;
    check(PyDict_SetItem(copies.get(), index.get(), PyList_GET_ITEM(versions.get(), i)));
  }
  return copies;
}

void adopt_carried(PyObject* self, PyObject* chunks) {
  const Names& n = state_of(self).names;
  QuorBaseObject* b = as_base(self);
  if (!PyDict_Check(chunks) || b->quor_meta == Py_None || !PyList_Check(b->chunk_list)) return;
  Py_ssize_t pos = 0;
  PyObject *index, *entry;
  while (PyDict_Next(chunks, &pos, &index, &entry)) {
    if (!PyLong_Check(index)) continue;
    Py_ssize_t i = PyLong_AsSsize_t(index);
    if (i == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (i < 0 || i >= PyList_GET_SIZE(b->chunk_list) || i >= b->num_chunks) continue;
    if (PyList_GET_ITEM(b->chunk_list, i) != Py_None) continue;  // a current copy is resident
    Ref expected = version_of(n, b, i);
    Ref version = get_attr(entry, n.str_version);
    if (!check(PyObject_RichCompareBool(version.get(), expected.get(), Py_EQ))) continue;
    if (!PyDict_Check(b->carried)) {
      Ref fresh = Ref::check(PyDict_New());
      set_field(b->carried, fresh.get());
    }
    check(PyDict_SetItem(b->carried, index, entry));
  }
}

bool take_carried(PyObject* self, Py_ssize_t chunk_idx) {
  const Names& n = state_of(self).names;
  QuorBaseObject* b = as_base(self);
  if (!PyDict_Check(b->carried) || b->quor_meta == Py_None) return false;
  Ref index = new_int(chunk_idx);
  Ref entry = Ref::borrow(PyDict_GetItemWithError(b->carried, index.get()));
  if (!entry) {
    if (PyErr_Occurred()) throw PyErrSet{};
    return false;
  }
  check(PyDict_DelItem(b->carried, index.get()));
  Ref expected = version_of(n, b, chunk_idx);
  Ref version = get_attr(entry.get(), n.str_version);
  if (!check(PyObject_RichCompareBool(version.get(), expected.get(), Py_EQ))) return false;
  Ref data;
  try {
    Ref pickle = n.lookup(n.str_pickle);
    Ref contents = get_attr(entry.get(), n.str_contents);
    data = call_method(pickle.get(), n.str_loads, contents.get());
  } catch (const PyErrSet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();  // the chunk's actor serves it instead
    return false;
  }
  keep_fetched(b, chunk_idx, data.get());
  return true;
}

void forget_carried(QuorBaseObject* b, Py_ssize_t chunk_idx) {
  if (!PyDict_Check(b->carried)) return;
  Ref index = new_int(chunk_idx);
  if (PyDict_DelItem(b->carried, index.get()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyErrSet{};
    PyErr_Clear();
  }
}

void forget_all_carried(QuorBaseObject* b) noexcept { set_field(b->carried, Py_None); }

}  // namespace quor::core
