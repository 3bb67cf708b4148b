// Read-only sequence operations that work on all elements at once: count,
// copy, reversed(), comparison, + and *, and copy.copy/deepcopy. Each reads
// the shared counts once and fetches only the chunks that hold elements,
// instead of resolving every position through the counts as lst[i] does.
#include <algorithm>
#include <array>

#include "list.hpp"

namespace quor::list {

void init_list_order();  // list_order.cpp

namespace {

PyObject* s_dict_attr;     // "__dict__"
PyObject* s_update;
PyObject* g_sequence_abc;  // collections.abc.Sequence
PyObject* g_deepcopy;      // copy.deepcopy

bool is_quorlist(PyObject* obj) { return PyObject_TypeCheck(obj, state.list_type); }

Ref elements_of(PyObject* self) { return layout_elements(read_layout(self)); }

// The other operand's elements for a comparison; null when it is not
// compared by contents. Equality takes any Sequence but text and bytes.
Ref comparable(PyObject* other, int op) {
  if (is_quorlist(other)) return elements_of(other);
  if (PyList_Check(other)) return Ref::borrow(other);
  if (op != Py_EQ && op != Py_NE) return Ref();
  if (PyUnicode_Check(other) || PyBytes_Check(other) || PyByteArray_Check(other)) return Ref();
  if (!check(PyObject_IsInstance(other, g_sequence_abc))) return Ref();
  return Ref::check(PySequence_List(other));
}

PyObject* list_count(PyObject* self, PyObject* value) {
  return guard([&]() -> PyObject* {
    Layout layout = read_layout(self);
    Py_ssize_t found = 0;
    for (const Span& span : layout.spans) {
      for (Py_ssize_t k = 0; k < span.count; ++k) {
        Ref item;
        if (PyList_CheckExact(span.copy.get())) {
          // An element's __eq__ may shrink the copy: check the bound each time.
          if (k >= PyList_GET_SIZE(span.copy.get())) break;
          item = Ref::borrow(PyList_GET_ITEM(span.copy.get(), k));
        } else {
          ChunkRecursionGuard recursion;
          item = Ref::check(PySequence_GetItem(span.copy.get(), k));
        }
        // The element first, as list.count compares.
        if (check(PyObject_RichCompareBool(item.get(), value, Py_EQ))) ++found;
      }
    }
    return PyLong_FromSsize_t(found);
  });
}

PyObject* list_copy(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* { return elements_of(self).release(); });
}

PyObject* list_reversed(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Ref elements = elements_of(self);
    check(PyList_Reverse(elements.get()));
    return PyObject_GetIter(elements.get());
  });
}

// Note [Copies never alias]
// A pickled list carries references, so the copy module's default would give
// a second handle on the same actors and counts. A copy is a new list of the
// same class, chunk count and capacity, with actors and a usage record of its
// own; the subclass's __init__ is not run, its instance dict is copied.
Ref copy_list(PyObject* self, PyObject* memo) {
  Layout layout = read_layout(self);
  Ref contents = layout_elements(layout);
  const int32_t num_chunks = as_base(self)->num_chunks;
  const int32_t capacity = record_of(self, "max_element_per_chunk")->max_element_per_chunk;
  // A new list is cut by the capacity; what insert pushed past it would not fit.
  if (PyList_GET_SIZE(contents.get()) > static_cast<long long>(std::max(num_chunks, 0)) * std::max(capacity, 0))
    raise(PyExc_OverflowError, "Exceeded maximum number of chunks");

  Ref empty = Ref::check(PyTuple_New(0));
  Ref made = Ref::check(state.list_type->tp_new(Py_TYPE(self), empty.get(), nullptr));
  if (memo) {
    // Registered before the elements are copied, so that an element holding
    // this list becomes an element holding the copy.
    Ref id = Ref::check(PyLong_FromVoidPtr(self));
    check(PyObject_SetItem(memo, id.get(), made.get()));
    std::array<PyObject*, 2> call{contents.get(), memo};
    contents = Ref::check(PyObject_Vectorcall(g_deepcopy, call.data(), 2, nullptr));
    require_list(contents.get());
  }
  Ref no_handle = Ref::borrow(Py_None);
  Ref cap = new_int(capacity);
  std::array<PyObject*, 3> record_args{no_handle.get(), cap.get(), no_handle.get()};
  Ref record = Ref::check(PyObject_Vectorcall(reinterpret_cast<PyObject*>(state.meta_type),
                                              record_args.data(), 3, nullptr));
  Ref chunks = new_int(num_chunks);
  Ref per_chunk_lock = new_int(as_base(self)->per_chunk_lock);
  Ref minus_one = new_int(-1);
  Ref init_args = Ref::check(PyTuple_Pack(8, chunks.get(), contents.get(), Py_None, per_chunk_lock.get(),
                                          Py_None, Py_None, minus_one.get(), record.get()));
  check(state.list_type->tp_init(made.get(), init_args.get(), nullptr));

  Ref attrs = Ref::steal(PyObject_GetAttr(self, s_dict_attr));
  if (!attrs) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    return made;
  }
  if (memo) {
    std::array<PyObject*, 2> call{attrs.get(), memo};
    attrs = Ref::check(PyObject_Vectorcall(g_deepcopy, call.data(), 2, nullptr));
  }
  Ref target = Ref::check(PyObject_GetAttr(made.get(), s_dict_attr));
  Ref done = Ref::check(PyObject_CallMethodOneArg(target.get(), s_update, attrs.get()));
  return made;
}

PyObject* list_shallow_copy(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* { return copy_list(self, nullptr).release(); });
}

PyObject* list_deep_copy(PyObject* self, PyObject* memo) {
  return guard([&]() -> PyObject* {
    if (memo == Py_None) {
      Ref fresh = Ref::check(PyDict_New());
      return copy_list(self, fresh.get()).release();
    }
    return copy_list(self, memo).release();
  });
}

PyMethodDef sequence_methods[] = {
    {"count", list_count, METH_O,
     "count($self, value, /)\n--\n\nThe number of elements equal to value."},
    {"copy", list_copy, METH_NOARGS, "copy($self, /)\n--\n\nA plain list holding every element (a snapshot)."},
    {"sort", as_cfunction(list_sort), METH_FASTCALL | METH_KEYWORDS,
     "sort($self, /, *, key=None, reverse=False)\n--\n\n"
     "Sorts the list in place, stably. Every chunk keeps its number of elements, so the shared "
     "counts are not rewritten."},
    {"reverse", list_reverse, METH_NOARGS,
     "reverse($self, /)\n--\n\nReverses the list in place; every chunk keeps its number of elements."},
    {"__reversed__", list_reversed, METH_NOARGS,
     "__reversed__($self, /)\n--\n\nAn iterator over a snapshot of the elements, last first."},
    {"__copy__", list_shallow_copy, METH_NOARGS,
     "__copy__($self, /)\n--\n\nA new list of the same class, chunk count and capacity, with actors of its own."},
    {"__deepcopy__", list_deep_copy, METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nA new list of the same class, chunk count and capacity, with actors "
     "of its own, holding a deep copy of the elements."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* list_richcompare(PyObject* self, PyObject* other, int op) {
  return guard([&]() -> PyObject* {
    Ref theirs = comparable(other, op);
    if (!theirs) Py_RETURN_NOTIMPLEMENTED;
    Ref mine = elements_of(self);
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
  });
}

// lst + other and other + lst: a plain list; the other operand is a list or a QuorList.
PyObject* list_add(PyObject* left, PyObject* right) {
  return guard([&]() -> PyObject* {
    auto operand = [](PyObject* side) -> Ref {
      if (is_quorlist(side)) return elements_of(side);
      if (PyList_Check(side)) return Ref::borrow(side);
      return Ref();
    };
    Ref first = operand(left);
    if (!first) Py_RETURN_NOTIMPLEMENTED;
    Ref second = operand(right);
    if (!second) Py_RETURN_NOTIMPLEMENTED;
    return PySequence_Concat(first.get(), second.get());
  });
}

// lst * n and n * lst: a plain list.
PyObject* list_multiply(PyObject* left, PyObject* right) {
  return guard([&]() -> PyObject* {
    PyObject* self = is_quorlist(left) ? left : right;
    PyObject* times = self == left ? right : left;
    if (!PyIndex_Check(times)) Py_RETURN_NOTIMPLEMENTED;
    const Py_ssize_t n = PyNumber_AsSsize_t(times, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (n <= 0) return PyList_New(0);
    Ref elements = elements_of(self);
    return PySequence_Repeat(elements.get(), n);
  });
}

void add_sequence_methods(PyTypeObject* type) {
  init_list_order();
  s_dict_attr = PyUnicode_InternFromString("__dict__");
  s_update = PyUnicode_InternFromString("update");
  if (!s_dict_attr || !s_update) throw PyErrSet{};
  Ref abc = Ref::check(PyImport_ImportModule("collections.abc"));
  g_sequence_abc = get_attr(abc.get(), "Sequence").release();
  Ref copy_module = Ref::check(PyImport_ImportModule("copy"));
  g_deepcopy = get_attr(copy_module.get(), "deepcopy").release();

  for (PyMethodDef* def = sequence_methods; def->ml_name; ++def) {
    Ref descriptor = Ref::check(PyDescr_NewMethod(type, def));
    check(PyDict_SetItemString(type->tp_dict, def->ml_name, descriptor.get()));
  }
  PyType_Modified(type);

  Ref register_name = Ref::check(PyUnicode_InternFromString("register"));
  Ref registered = Ref::check(
      PyObject_CallMethodOneArg(g_sequence_abc, register_name.get(), reinterpret_cast<PyObject*>(type)));
}

}  // namespace quor::list
