// Operations over every chunk: len, keys, values, items, clear, iteration.
// Each first makes every chunk resident, then works on the local copies; the
// results are grouped by chunk, chunk 0 first.
#include "quordict.hpp"

namespace quor::dict {
// chunk_list after every chunk was made resident, held for the caller.
Ref resident_chunks(PyObject* self, const char* what) {
  require_every_chunk(self, what);
  QuorBaseObject* b = as_base(self);
  check(state_of(self).base->fetch_chunks(self, 0, -1));
  if (b->chunk_list == Py_None) raise(PyExc_TypeError, "'NoneType' object is not iterable");
  Ref chunks = Ref::borrow(b->chunk_list);
  // Each fetch lets other threads run; one that uses this instance outside any
  // block may have dropped a copy fetched before (a refused flush drops it).
  if (!PyList_Check(chunks.get())) return chunks;
  const bool assertions = state_of(self).assertions;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i)
    check_assertion(assertions, PyList_GET_ITEM(chunks.get(), i) != Py_None,
                    "Chunk must not be None, as it must be fetched first");
  return chunks;
}

namespace {

enum class Listing { keys, values, items };

// The (key, value) pairs of an exact dict, each pair made whole at once.
// PyDict_Items first allocates every pair empty and fills them afterwards, and
// the collector never untracks a pair that is not filled yet: a large chunk's
// pairs then reach the oldest generation as tracked objects and set off one
// full collection after another (ten for a million pairs, 8x the listing
// itself). Whole pairs of untracked keys and values are untracked by the next
// young collection, as those of list(d.items()) are.
Ref whole_pairs(PyObject* chunk) {
  const Py_ssize_t size = PyDict_GET_SIZE(chunk);
  Ref pairs = Ref::check(PyList_New(size));
  Py_ssize_t pos = 0, filled = 0;
  PyObject *key, *value;
  while (filled < size && PyDict_Next(chunk, &pos, &key, &value))
    PyList_SET_ITEM(pairs.get(), filled++, Ref::check(PyTuple_Pack(2, key, value)).release());
  // A collection run by the allocations may run code that resizes the chunk.
  if (filled != size || PyDict_GET_SIZE(chunk) != size)
    raise(PyExc_RuntimeError, "dictionary changed size during iteration");
  return pairs;
}

PyObject* list_chunks(PyObject* self, Listing what) {
  return guard([&]() -> PyObject* {
    const DictState& st = state_of(self);
    Ref result = Ref::check(PyList_New(0));
    Ref chunks = resident_chunks(self, what == Listing::keys     ? "keys()"
                                       : what == Listing::values ? "values()"
                                                                 : "items()");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
      Ref chunk = Ref::borrow(PyList_GET_ITEM(chunks.get(), i));
      check_assertion(st.assertions, chunk.get() != Py_None,
                      "Chunk must not be None, as it must be fetched first");
      Ref part;
      if (PyDict_CheckExact(chunk.get())) {
        part = what == Listing::keys     ? Ref::check(PyDict_Keys(chunk.get()))
               : what == Listing::values ? Ref::check(PyDict_Values(chunk.get()))
                                         : whole_pairs(chunk.get());
      } else {
        const Names& n = st.names;
        part = call_method(chunk.get(), what == Listing::keys     ? n.str_keys
                                        : what == Listing::values ? n.str_values
                                                                  : n.str_items);
      }
      const Py_ssize_t end = PyList_GET_SIZE(result.get());
      check(PyList_SetSlice(result.get(), end, end, part.get()));
    }
    return result.release();
  });
}

}  // namespace

Py_ssize_t dict_length(PyObject* self) {
  return guard([&]() -> Py_ssize_t {
    Ref chunks = resident_chunks(self, "len()");
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
      Ref chunk = Ref::borrow(PyList_GET_ITEM(chunks.get(), i));
      if (PyDict_CheckExact(chunk.get())) {
        total += PyDict_GET_SIZE(chunk.get());
        continue;
      }
      ChunkRecursionGuard recursion;
      const Py_ssize_t size = PyObject_Size(chunk.get());
      if (size < 0) throw PyErrSet{};
      total += size;
    }
    return total;
  });
}

PyObject* dict_keys(PyObject* self, PyObject*) { return list_chunks(self, Listing::keys); }
PyObject* dict_values(PyObject* self, PyObject*) { return list_chunks(self, Listing::values); }
PyObject* dict_items(PyObject* self, PyObject*) { return list_chunks(self, Listing::items); }

PyObject* dict_clear(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    require_change(self, "clear()");
    Ref chunks = resident_chunks(self, "clear()");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
      Ref chunk = Ref::borrow(PyList_GET_ITEM(chunks.get(), i));
      if (PyDict_CheckExact(chunk.get())) {
        // An empty chunk is left unmarked: clearing did not change it.
        if (PyDict_GET_SIZE(chunk.get()) == 0) continue;
        PyDict_Clear(chunk.get());
      } else {
        Ref done = call_method(chunk.get(), state_of(self).names.str_clear);
      }
      mark_changed(self, i);
    }
    as_base(self)->length = 0;
    Py_RETURN_NONE;
  });
}

// Iteration lists the keys, in the order of keys(); without this the
// interpreter would fall back to the sequence slot and look up 0, 1, 2, ...
// as keys.
PyObject* dict_iter(PyObject* self) {
  return guard([&]() -> PyObject* {
    require_every_chunk(self, "iteration");
    Ref keys = call_method(self, state_of(self).names.str_keys);
    return PyObject_GetIter(keys.get());
  });
}

}  // namespace quor::dict
