// Iteration over a list: element by element through lst[i], up to the
// count taken at the first next().
#include "list.hpp"

namespace quor::list {
namespace {

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

// len() through the class's own __len__ unless it was replaced (Note
// [Overrides are honoured]): replacing __len__ replaces the slot too.
Py_ssize_t count_for_iteration(PyObject* list) {
  PySequenceMethods* sq = Py_TYPE(list)->tp_as_sequence;
  if (sq && sq->sq_length == list_length) {
    Py_ssize_t n = list_length(list);
    if (n < 0) throw PyErrSet{};
    return n;
  }
  Ref n = call_method(list, state_of(list).names.str___len__);
  return as_int32(n.get());
}

PyObject* iter_next(PyObject* self) {
  IterObject* it = as_iter(self);
  if (!it->list) return nullptr;
  PyObject* result = guard([&]() -> PyObject* {
    if (!it->started) {
      it->started = true;
      it->count = count_for_iteration(it->list);
      // Inside a block the chunks in use are known without a remote call:
      // they are fetched in one wave rather than one at a time.
      if (it->count > 0 && counts_are_local(it->list))
        make_resident(it->list, 0, read_last_used(it->list));
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

// `list` is null once exhausted, so these are not ObjectFields.
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

PyObject* list_iter(PyObject* self) {
  return guard([&]() -> PyObject* {
    PyTypeObject* iter_type = state_of(self).iter_type;
    Ref it = Ref::check(iter_type->tp_alloc(iter_type, 0));
    as_iter(it.get())->list = Py_NewRef(self);
    return it.release();
  });
}

PyTypeObject* make_iter_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Iterator over the elements of a QuorList.")},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
      {Py_tp_traverse, reinterpret_cast<void*>(iter_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(iter_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(iter_dealloc)},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {"quorlib.quorlist.QuorListIterator", sizeof(IterObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                      slots};
  return make_type(module, &type_spec);
}

}  // namespace quor::list
