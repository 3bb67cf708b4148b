// Read-only sequence operations that work on all elements at once: count,
// copy, reversed(), comparison, + and *, and copy.copy/deepcopy. Each reads
// the shared counts once and fetches only the chunks that hold elements,
// instead of resolving every position through the counts as lst[i] does.
#include <algorithm>
#include <array>

#include "list.hpp"

namespace quor::list {

namespace {

bool is_quorlist(const ListState& st, PyObject* obj) { return PyObject_TypeCheck(obj, st.list_type); }

// The operand whose class derives from QuorList: the slot is called for no other.
PyObject* own_operand(PyObject* left, PyObject* right) {
  return find_module_by_def(Py_TYPE(left), &module_def) ? left : right;
}

Ref elements_of(PyObject* self) { return layout_elements(read_layout(self)); }

// The other operand's elements for a comparison; null when it is not
// compared by contents. Equality takes any Sequence but text and bytes.
Ref comparable(const ListState& st, PyObject* other, int op) {
  if (is_quorlist(st, other)) return elements_of(other);
  if (PyList_Check(other)) return Ref::borrow(other);
  if (op != Py_EQ && op != Py_NE) return Ref();
  if (PyUnicode_Check(other) || PyBytes_Check(other) || PyByteArray_Check(other)) return Ref();
  if (!check(PyObject_IsInstance(other, st.sequence_abc))) return Ref();
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
  const ListState& st = state_of(self);
  Layout layout = read_layout(self);
  Ref contents = layout_elements(layout);
  const int32_t num_chunks = as_base(self)->num_chunks;
  const int32_t capacity = record_of(self, "max_element_per_chunk")->max_element_per_chunk;
  // A new list is cut by the capacity; what insert pushed past it would not fit.
  if (PyList_GET_SIZE(contents.get()) > static_cast<long long>(std::max(num_chunks, 0)) * std::max(capacity, 0))
    raise(PyExc_OverflowError, "Exceeded maximum number of chunks");

  Ref empty = Ref::check(PyTuple_New(0));
  Ref made = Ref::check(st.list_type->tp_new(Py_TYPE(self), empty.get(), nullptr));
  if (memo) {
    // Registered before the elements are copied, so that an element holding
    // this list becomes an element holding the copy.
    Ref id = Ref::check(PyLong_FromVoidPtr(self));
    check(PyObject_SetItem(memo, id.get(), made.get()));
    contents = call(st.deepcopy, contents.get(), memo);
    require_list(contents.get());
  }
  Ref cap = new_int(capacity);
  Ref record = call(reinterpret_cast<PyObject*>(st.meta_type), Py_None, cap.get(), Py_None);
  InitArgs args{num_chunks, contents.get(), Py_None, as_base(self)->per_chunk_lock, Py_None, Py_None, -1};
  construct_list(st, made.get(), args, record.get());
  copy_instance_dict(self, made.get(), memo, st.deepcopy, st.names.str___dict__, st.names.str_update);
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
    Ref theirs = comparable(state_of(self), other, op);
    if (!theirs) Py_RETURN_NOTIMPLEMENTED;
    Ref mine = elements_of(self);
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
  });
}

// lst + other and other + lst: a plain list; the other operand is a list or a QuorList.
PyObject* list_add(PyObject* left, PyObject* right) {
  return guard([&]() -> PyObject* {
    const ListState& st = state_of(own_operand(left, right));
    auto operand = [&](PyObject* side) -> Ref {
      if (is_quorlist(st, side)) return elements_of(side);
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
    PyObject* self = own_operand(left, right);
    PyObject* times = self == left ? right : left;
    if (!PyIndex_Check(times)) Py_RETURN_NOTIMPLEMENTED;
    const Py_ssize_t n = PyNumber_AsSsize_t(times, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (n <= 0) return PyList_New(0);
    Ref elements = elements_of(self);
    return PySequence_Repeat(elements.get(), n);
  });
}

void add_sequence_methods(PyTypeObject* type, ListState& st) {
  add_methods(type, sequence_methods);
  st.sequence_abc = abc_class(st.names.str_register, "Sequence", "Sequence", type).release();
  st.deepcopy = import_deepcopy().release();
}

}  // namespace quor::list
