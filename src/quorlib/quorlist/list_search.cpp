// index, `in` and iteration: read-only walks over the list. index searches
// whole chunks (making each one resident); iteration goes element by element
// through lst[i].
#include "list.hpp"

namespace quor::list {
namespace {

Ref find_item(PyObject* self, PyObject* item, int32_t start, int32_t end) {
  int32_t last_used = read_last_used(self);
  Ref usage = Ref::borrow(record_of(self, "chunk_used")->chunk_used);
  usage = state.names.call_remote(usage.get(), "get_nocache");
  if (usage.get() != Py_None) require_list(usage.get());

  // Note [Negative start]
  // `start` is a chunk index. A negative one counts chunks from the end of the
  // chunk list, as list.index counts positions from the end of a list, and
  // one below -num_chunks means chunk 0: the scan runs from there up to the
  // last chunk in use and never wraps around to chunk 0 again.
  long long first = start;
  if (first < 0) first += as_base(self)->num_chunks;
  if (first < 0) first = 0;

  long long passed = 0;  // elements in the chunks searched so far
  for (long long i = first; i <= last_used; ++i) {
    Ref chunk = resident_chunk(self, static_cast<Py_ssize_t>(i));
    int found;
    if (PyList_CheckExact(chunk.get())) {
      found = PySequence_Contains(chunk.get(), item);
    } else {
      ChunkRecursionGuard recursion;
      found = PySequence_Contains(chunk.get(), item);
    }
    if (found < 0) throw PyErrSet{};
    if (found) {
      Ref inside = Ref::check(PyObject_CallMethod(chunk.get(), "index", "(O)", item));
      Ref offset = Ref::check(PyLong_FromLongLong(passed));
      return Ref::check(PyNumber_Add(offset.get(), inside.get()));
    }
    passed += count_at(usage.get(), static_cast<Py_ssize_t>(i));
    // `end` bounds the elements passed, checked only between chunks.
    if (end != -1 && passed >= end) break;
  }
  Ref text = Ref::check(PyObject_Format(item, nullptr));
  raise_format(PyExc_ValueError, "%U is not in list", text.get());
}

// The iterator QuorList.__iter__ returns. It behaves as a generator would:
// the count is taken at the first next(), not when the iterator is made, and
// once it has ended (or raised) it holds the list no longer.
struct IterObject {
  PyObject_HEAD
  PyObject* list;  // null once exhausted
  Py_ssize_t position;
  Py_ssize_t count;
  bool started;
};

IterObject* as_iter(PyObject* self) { return reinterpret_cast<IterObject*>(self); }

Py_ssize_t count_for_iteration(PyObject* list) {
  if (is_exact_list(list)) {
    Py_ssize_t n = list_length(list);
    if (n < 0) throw PyErrSet{};
    return n;
  }
  Ref n = Ref::check(PyObject_CallMethod(list, "__len__", nullptr));
  return as_int32(n.get());
}

PyObject* iter_next(PyObject* self) {
  IterObject* it = as_iter(self);
  if (!it->list) return nullptr;
  PyObject* result = guard([&]() -> PyObject* {
    if (!it->started) {
      it->started = true;
      it->count = count_for_iteration(it->list);
    }
    if (it->position >= it->count) return nullptr;
    Ref position = Ref::check(PyLong_FromSsize_t(it->position));
    Ref element = Ref::check(PyObject_GetItem(it->list, position.get()));
    ++it->position;
    return element.release();
  });
  if (!result) Py_CLEAR(it->list);
  return result;
}

int iter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_iter(self)->list);
  return 0;
}

int iter_clear(PyObject* self) {
  Py_CLEAR(as_iter(self)->list);
  return 0;
}

void iter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_iter(self)->list);
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace

PyObject* list_index(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"item", "start", "end", nullptr};
    PyObject* item = nullptr;
    PyObject* start = nullptr;
    PyObject* end = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:index", const_cast<char**>(kwlist), &item,
                                     &start, &end))
      throw PyErrSet{};
    int32_t first = start ? as_int32(start) : 0;
    int32_t bound = end ? as_int32(end) : -1;
    return find_item(self, item, first, bound).release();
  });
}

int list_contains(PyObject* self, PyObject* item) {
  return guard([&] {
    try {
      if (is_exact_list(self)) {
        find_item(self, item, 0, -1);
      } else {
        Ref::check(PyObject_CallMethod(self, "index", "(O)", item));
      }
      return 1;
    } catch (const PyErrSet&) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
      PyErr_Clear();
      return 0;
    }
  });
}

PyObject* list_iter(PyObject* self) {
  return guard([&]() -> PyObject* {
    Ref it = Ref::check(state.iter_type->tp_alloc(state.iter_type, 0));
    as_iter(it.get())->list = Py_NewRef(self);
    return it.release();
  });
}

PyTypeObject* make_iter_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Iterator over the elements of a QuorList.")},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
      {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"quorlib.quorlist.QuorListIterator", sizeof(IterObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                      slots};
  return reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&type_spec)).release());
}

}  // namespace quor::list
