// The rest of what a mapping offers: get, setdefault, pop, popitem, update,
// copy, fromkeys, comparison, | and |=, reversed(), copy.copy/deepcopy.
// Key operations cost what d[k] costs (one chunk, fetched only when absent);
// whole-dictionary operations make every chunk resident first, as len() does.
#include <array>

#include "quordict.hpp"

namespace quor::dict {
namespace {

void check_arg_count(const char* name, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max) {
  if (nargs < min)
    raise_format(PyExc_TypeError, "%s expected at least %zd argument%s, got %zd", name, min,
                 min == 1 ? "" : "s", nargs);
  if (nargs > max)
    raise_format(PyExc_TypeError, "%s expected at most %zd argument%s, got %zd", name, max,
                 max == 1 ? "" : "s", nargs);
}

// The operand whose class derives from QuorDict: the slot is called for no other.
PyObject* own_operand(PyObject* left, PyObject* right) {
  return find_module_by_def(Py_TYPE(left), &module_def) ? left : right;
}

bool is_quordict(const DictState& st, PyObject* obj) { return PyObject_TypeCheck(obj, st.dict_type); }

// Every item in one plain dict, grouped by chunk like keys(); `what` names
// the operation that needs it.
Ref snapshot(PyObject* self, const char* what) {
  const bool assertions = state_of(self).assertions;
  Ref result = Ref::check(PyDict_New());
  Ref chunks = resident_chunks(self, what);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks.get()); ++i) {
    Ref chunk = Ref::borrow(PyList_GET_ITEM(chunks.get(), i));
    check_assertion(assertions, chunk.get() != Py_None, "Chunk must not be None, as it must be fetched first");
    if (PyDict_CheckExact(chunk.get())) {
      check(PyDict_Update(result.get(), chunk.get()));
    } else {
      ChunkRecursionGuard recursion;
      check(PyDict_Merge(result.get(), chunk.get(), 1));
    }
  }
  return result;
}

// Mappings by contents: a dict as it is, a QuorDict through its snapshot, any
// other registered Mapping copied; null for what is not a mapping.
Ref as_plain_mapping(const DictState& st, PyObject* other, const char* what) {
  if (PyDict_Check(other)) return Ref::borrow(other);
  if (is_quordict(st, other)) return snapshot(other, what);
  if (!check(PyObject_IsInstance(other, st.mapping_abc))) return Ref();
  Ref copied = Ref::check(PyDict_New());
  check(PyDict_Merge(copied.get(), other, 1));
  return copied;
}

void set_item(PyObject* self, PyObject* key, PyObject* value) { check(PyObject_SetItem(self, key, value)); }

// dict.update's rules: anything with keys() is a mapping, anything else an
// iterable of pairs. Items set before an error stay set, as in a dict.
void update_from(PyObject* self, PyObject* other) {
  if (PyDict_Check(other)) {
    // A list of the pairs: setting an item may run code that changes `other`.
    Ref items = Ref::check(PyDict_Items(other));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      set_item(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    return;
  }
  Ref keys_method = Ref::steal(PyObject_GetAttr(other, state_of(self).names.str_keys));
  if (!keys_method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
  }
  if (keys_method) {
    Ref keys = Ref::check(PyObject_CallNoArgs(keys_method.get()));
    Ref iterator = Ref::check(PyObject_GetIter(keys.get()));
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) {
      Ref value = Ref::check(PyObject_GetItem(other, key.get()));
      set_item(self, key.get(), value.get());
    }
    if (PyErr_Occurred()) throw PyErrSet{};
    return;
  }
  Ref iterator = Ref::check(PyObject_GetIter(other));
  Py_ssize_t position = 0;
  for (; Ref element = Ref::steal(PyIter_Next(iterator.get())); ++position) {
    Ref pair = Ref::steal(PySequence_Fast(element.get(), ""));
    if (!pair) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
      PyErr_Clear();
      raise_format(PyExc_TypeError,
                   "cannot convert dictionary update sequence element #%zd to a sequence", position);
    }
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(pair.get());
    if (size != 2)
      raise_format(PyExc_ValueError, "dictionary update sequence element #%zd has length %zd; 2 is required",
                   position, size);
    Ref key = Ref::borrow(PySequence_Fast_GET_ITEM(pair.get(), 0));
    Ref value = Ref::borrow(PySequence_Fast_GET_ITEM(pair.get(), 1));
    set_item(self, key.get(), value.get());
  }
  if (PyErr_Occurred()) throw PyErrSet{};
}

void update_from_keywords(PyObject* self, PyObject* kwds) {
  if (!kwds) return;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwds, &pos, &key, &value)) set_item(self, key, value);
}

PyObject* dict_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    check_arg_count("get", nargs, 1, 2);
    PyObject* fallback = nargs > 1 ? args[1] : Py_None;
    Located at = locate(self, args[0]);
    if (PyDict_CheckExact(at.chunk.get())) {
      PyObject* found = PyDict_GetItemWithError(at.chunk.get(), args[0]);
      if (found) return Py_NewRef(found);
      if (PyErr_Occurred()) throw PyErrSet{};
      return Py_NewRef(fallback);
    }
    ChunkRecursionGuard recursion;
    return call_method(at.chunk.get(), state_of(self).names.str_get, args[0], fallback).release();
  });
}

PyObject* dict_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    check_arg_count("setdefault", nargs, 1, 2);
    require_change(self, "setdefault()");
    PyObject* fallback = nargs > 1 ? args[1] : Py_None;
    Located at = locate(self, args[0]);
    PyObject* chunk = at.chunk.get();
    if (PyDict_CheckExact(chunk)) {
      const Py_ssize_t before = PyDict_GET_SIZE(chunk);
      Ref found = Ref::borrow(PyDict_SetDefault(chunk, args[0], fallback));
      if (!found) throw PyErrSet{};
      // A key that was there already leaves the chunk as it was.
      if (PyDict_GET_SIZE(chunk) != before) mark_changed(self, at.idx);
      return found.release();
    }
    ChunkRecursionGuard recursion;
    Ref found = call_method(chunk, state_of(self).names.str_setdefault, args[0], fallback);
    mark_changed(self, at.idx);
    return found.release();
  });
}

PyObject* dict_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    check_arg_count("pop", nargs, 1, 2);
    require_change(self, "pop()");
    PyObject* key = args[0];
    Located at = locate(self, key);
    PyObject* chunk = at.chunk.get();
    if (!PyDict_CheckExact(chunk)) {
      ChunkRecursionGuard recursion;
      PyObject* pop = state_of(self).names.str_pop;
      Ref found = nargs > 1 ? call_method(chunk, pop, key, args[1]) : call_method(chunk, pop, key);
      mark_changed(self, at.idx);
      return found.release();
    }
    Ref found = Ref::borrow(PyDict_GetItemWithError(chunk, key));
    if (!found) {
      if (PyErr_Occurred()) throw PyErrSet{};
      if (nargs > 1) return Py_NewRef(args[1]);
      raise_key_error(key);
    }
    check(PyDict_DelItem(chunk, key));
    mark_changed(self, at.idx);
    return found.release();
  });
}

// The last item of the highest resident chunk that holds any: no fetch while
// a resident copy has items. Absent chunks are fetched in order only when
// every resident one is empty.
PyObject* dict_popitem(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    require_change(self, "popitem()");
    require_every_chunk(self, "popitem()");
    QuorBaseObject* b = as_base(self);
    if (!PyList_Check(b->chunk_list)) raise(PyExc_TypeError, "'NoneType' object is not iterable");
    auto pop_from = [&](Py_ssize_t i) -> Ref {
      Ref chunk = Ref::borrow(PyList_GET_ITEM(b->chunk_list, i));
      ChunkRecursionGuard recursion;
      const Py_ssize_t size = PyObject_Size(chunk.get());
      if (size < 0) throw PyErrSet{};
      if (size == 0) return Ref();
      Ref item = call_method(chunk.get(), state_of(self).names.str_popitem);
      mark_changed(self, i);
      return item;
    };
    for (Py_ssize_t i = PyList_GET_SIZE(b->chunk_list) - 1; i >= 0; --i) {
      if (i >= PyList_GET_SIZE(b->chunk_list) || PyList_GET_ITEM(b->chunk_list, i) == Py_None) continue;
      if (Ref item = pop_from(i)) return item.release();
    }
    for (Py_ssize_t i = 0; PyList_Check(b->chunk_list) && i < PyList_GET_SIZE(b->chunk_list); ++i) {
      if (PyList_GET_ITEM(b->chunk_list, i) != Py_None) continue;
      check(state_of(self).base->fetch_chunk(self, int32_t(i)));
      if (!PyList_Check(b->chunk_list) || i >= PyList_GET_SIZE(b->chunk_list) ||
          PyList_GET_ITEM(b->chunk_list, i) == Py_None)
        continue;
      if (Ref item = pop_from(i)) return item.release();
    }
    raise(PyExc_KeyError, "popitem(): dictionary is empty");
  });
}

PyObject* dict_update(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) raise_format(PyExc_TypeError, "update expected at most 1 argument, got %zd", nargs);
    require_change(self, "update()");
    if (nargs == 1) update_from(self, PyTuple_GET_ITEM(args, 0));
    update_from_keywords(self, kwds);
    Py_RETURN_NONE;
  });
}

PyObject* dict_copy(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* { return snapshot(self, "copy()").release(); });
}

// A classmethod, as dict's: `cls()` and then item assignment, so that a
// subclass's constructor and __setitem__ take part.
PyObject* dict_fromkeys(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    check_arg_count("fromkeys", nargs, 1, 2);
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    Ref made = Ref::check(PyObject_CallNoArgs(cls));
    Ref iterator = Ref::check(PyObject_GetIter(args[0]));
    while (Ref key = Ref::steal(PyIter_Next(iterator.get()))) set_item(made.get(), key.get(), value);
    if (PyErr_Occurred()) throw PyErrSet{};
    return made.release();
  });
}

PyObject* dict_reversed(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    require_every_chunk(self, "reversed()");
    Ref keys = call_method(self, state_of(self).names.str_keys);
    Ref listed = Ref::check(PySequence_List(keys.get()));
    check(PyList_Reverse(listed.get()));
    return PyObject_GetIter(listed.get());
  });
}

// Note [Copies never alias]
// Pickling carries references, so the copy module's default (through
// __reduce__) would hand back a second handle on the same actors. A copy is
// instead a new container of the same class and number of chunks, with actors
// of its own, holding the items (deep-copied for deepcopy). The subclass's
// __init__ is not run (its signature is its own); its instance dict is copied.
Ref new_container_like(const DictState& st, PyObject* self) {
  Ref empty = Ref::check(PyTuple_New(0));
  return Ref::check(st.dict_type->tp_new(Py_TYPE(self), empty.get(), nullptr));
}

void fill_copy(const DictState& st, PyObject* self, PyObject* made, PyObject* contents, PyObject* memo) {
  QuorBaseObject* b = as_base(self);
  InitArgs args{b->num_chunks, contents, Py_None, b->per_chunk_lock, Py_None, Py_None, -1};
  check(st.base->init(made, args));
  copy_instance_dict(self, made, memo, st.deepcopy, st.names.str___dict__, st.names.str_update);
}

PyObject* dict_shallow_copy(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const DictState& st = state_of(self);
    Ref contents = snapshot(self, "copy.copy()");
    Ref made = new_container_like(st, self);
    fill_copy(st, self, made.get(), contents.get(), nullptr);
    return made.release();
  });
}

PyObject* dict_deep_copy(PyObject* self, PyObject* memo) {
  return guard([&]() -> PyObject* {
    const DictState& st = state_of(self);
    Ref contents = snapshot(self, "copy.deepcopy()");
    Ref made = new_container_like(st, self);
    // Registered before the contents are copied, so that a value holding
    // this dictionary becomes a value holding the copy.
    Ref id = Ref::check(PyLong_FromVoidPtr(self));
    if (memo != Py_None) check(PyObject_SetItem(memo, id.get(), made.get()));
    Ref copied = call(st.deepcopy, contents.get(), memo);
    if (!PyDict_CheckExact(copied.get())) raise(PyExc_TypeError, "deepcopy of a dict gave no dict");
    fill_copy(st, self, made.get(), copied.get(), memo == Py_None ? nullptr : memo);
    return made.release();
  });
}

PyMethodDef mapping_methods[] = {
    {"get", as_cfunction(dict_get), METH_FASTCALL,
     "get($self, key, default=None, /)\n--\n\nThe value for key if key is in the dictionary, else default."},
    {"setdefault", as_cfunction(dict_setdefault), METH_FASTCALL,
     "setdefault($self, key, default=None, /)\n--\n\n"
     "Inserts key with a value of default if key is not in the dictionary; returns the value for key."},
    {"pop", as_cfunction(dict_pop), METH_FASTCALL,
     "pop($self, key, default=<unrepresentable>, /)\n--\n\n"
     "Removes key and returns its value; default (or KeyError) when key is missing."},
    {"popitem", dict_popitem, METH_NOARGS,
     "popitem($self, /)\n--\n\nRemoves and returns a (key, value) pair, from a resident chunk when one "
     "holds items; KeyError when the dictionary is empty."},
    {"update", as_cfunction(dict_update), METH_VARARGS | METH_KEYWORDS,
     "update($self, other=(), /, **kwds)\n--\n\n"
     "Sets the items of a mapping (anything with keys()) or of an iterable of pairs, then the keywords."},
    {"copy", dict_copy, METH_NOARGS, "copy($self, /)\n--\n\nA plain dict holding every item (a snapshot)."},
    {"fromkeys", as_cfunction(dict_fromkeys), METH_FASTCALL | METH_CLASS,
     "fromkeys($type, iterable, value=None, /)\n--\n\nA new dictionary (cls()) with the keys of iterable set to value."},
    {"__reversed__", dict_reversed, METH_NOARGS,
     "__reversed__($self, /)\n--\n\nAn iterator over the keys in the reverse order of keys()."},
    {"__copy__", dict_shallow_copy, METH_NOARGS,
     "__copy__($self, /)\n--\n\nA new dictionary of the same class and chunk count, with actors of its own."},
    {"__deepcopy__", dict_deep_copy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nA new dictionary of the same class and chunk count, with actors of its "
     "own, holding a deep copy of the items."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* dict_richcompare(PyObject* self, PyObject* other, int op) {
  return guard([&]() -> PyObject* {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    Ref theirs = as_plain_mapping(state_of(self), other, "comparison");
    if (!theirs) Py_RETURN_NOTIMPLEMENTED;
    Ref mine = snapshot(self, "comparison");
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
  });
}

// d | other and other | d: a plain dict, the right operand's items winning.
PyObject* dict_or(PyObject* left, PyObject* right) {
  return guard([&]() -> PyObject* {
    const DictState& st = state_of(own_operand(left, right));
    Ref first = as_plain_mapping(st, left, "|");
    if (!first) Py_RETURN_NOTIMPLEMENTED;
    Ref second = as_plain_mapping(st, right, "|");
    if (!second) Py_RETURN_NOTIMPLEMENTED;
    Ref result = Ref::check(PyDict_Copy(first.get()));
    check(PyDict_Update(result.get(), second.get()));
    return result.release();
  });
}

PyObject* dict_inplace_or(PyObject* self, PyObject* other) {
  return guard([&]() -> PyObject* {
    require_change(self, "|=");
    update_from(self, other);
    return Py_NewRef(self);
  });
}

void add_mapping_methods(PyTypeObject* type, DictState& st) {
  add_methods(type, mapping_methods);
  st.mapping_abc = abc_class(st.names.str_register, "Mapping", "MutableMapping", type).release();
  st.deepcopy = import_deepcopy().release();
}

}  // namespace quor::dict
