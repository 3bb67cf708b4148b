// Operations that rewrite many elements at once: extend (and +=), *=, sort
// and reverse. Each reads the shared counts once, fetches only the chunks that
// hold (or receive) elements, rewrites each affected chunk copy once, marks
// only the chunks whose contents changed, and publishes the counts at most
// once.
//
// A refused publication of the counts puts the copies back (Note [A refused
// publication leaves no trace]).
#include <algorithm>
#include <array>

#include "list.hpp"

namespace quor::list {
namespace {

bool exact(PyObject* copy) { return PyList_CheckExact(copy); }

Ref slice_of(PyObject* copy, Py_ssize_t begin, Py_ssize_t end) {
  if (exact(copy)) return Ref::check(PyList_GetSlice(copy, begin, end));
  ChunkRecursionGuard recursion;
  Ref piece = Ref::check(PySequence_GetSlice(copy, begin, end));
  return Ref::check(PySequence_List(piece.get()));
}

// copy[begin:end] = items (null items deletes).
void assign_slice(PyObject* copy, Py_ssize_t begin, Py_ssize_t end, PyObject* items) {
  if (exact(copy)) {
    check(PyList_SetSlice(copy, begin, end, items));
    return;
  }
  ChunkRecursionGuard recursion;
  check(items ? PySequence_SetSlice(copy, begin, end, items) : PySequence_DelSlice(copy, begin, end));
}

Py_ssize_t size_of(PyObject* copy) {
  if (exact(copy)) return PyList_GET_SIZE(copy);
  ChunkRecursionGuard recursion;
  Py_ssize_t size = PyObject_Size(copy);
  if (size < 0) throw PyErrSet{};
  return size;
}

// The copies hold what `elements` says, position by position; a chunk whose
// elements are the same objects in the same order is left unmarked.
void write_spans(PyObject* self, const Layout& layout, PyObject* elements) {
  Py_ssize_t offset = 0;
  for (const Span& span : layout.spans) {
    Ref piece = Ref::check(PyList_GetSlice(elements, offset, offset + span.count));
    offset += span.count;
    Ref current = slice_of(span.copy.get(), 0, span.count);
    bool same = PyList_GET_SIZE(current.get()) == span.count;
    for (Py_ssize_t k = 0; same && k < span.count; ++k)
      same = PyList_GET_ITEM(current.get(), k) == PyList_GET_ITEM(piece.get(), k);
    if (same) continue;
    assign_slice(span.copy.get(), 0, span.count, piece.get());
    mark_changed(self, span.chunk_idx);
  }
}

// Python code (a sort key, an element's comparison) may have changed the list
// while the elements were out of it.
void require_unchanged(PyObject* self, const Layout& layout) {
  // Reading the layout set the length; this holder's own appends, inserts and
  // pops since then changed it.
  if (length_of(self) != layout.total) raise(PyExc_ValueError, "list modified during sort");
  PyObject* chunks = as_base(self)->chunk_list;
  for (const Span& span : layout.spans) {
    bool same = PyList_Check(chunks) && span.chunk_idx < PyList_GET_SIZE(chunks) &&
                PyList_GET_ITEM(chunks, span.chunk_idx) == span.copy.get() &&
                size_of(span.copy.get()) == span.size;
    if (!same) raise(PyExc_ValueError, "list modified during sort");
  }
}

// Where `n` new elements go: from the last chunk in use on, skipping full
// chunks, each chunk filled up to the capacity. Room in earlier chunks is never
// used, as with append.
struct Placement {
  Py_ssize_t chunk_idx;
  Py_ssize_t take;
  Ref copy;
  Py_ssize_t old_size = 0;
};

void place(PyObject* self, PyObject* items, bool all_or_nothing) {
  const Py_ssize_t n = PyList_GET_SIZE(items);
  if (n == 0) return;
  const int32_t last_used = read_last_used(self);
  Ref usage = read_usage(self);
  const int32_t num_chunks = as_base(self)->num_chunks;
  const long long capacity = record_of(self, "max_element_per_chunk")->max_element_per_chunk;

  std::vector<Placement> plan;
  Py_ssize_t placed = 0;
  for (int32_t c = std::max(last_used, 0); placed < n && c < num_chunks; ++c) {
    const long long count = count_at(usage.get(), c);
    if (count >= capacity) continue;
    const Py_ssize_t take = static_cast<Py_ssize_t>(std::min<long long>(capacity - count, n - placed));
    plan.push_back({chunk_position(self, c), take, Ref()});
    placed += take;
  }
  if (placed < n && (all_or_nothing || plan.empty()))
    raise(PyExc_OverflowError, "Exceeded maximum number of chunks");
  if (static_cast<long long>(length_of(self)) + placed > INT32_MAX) raise(PyExc_OverflowError, kIntTooLarge);

  // Every chunk is fetched, in one wave, before the first element moves.
  make_resident(self, plan.front().chunk_idx, plan.back().chunk_idx);
  for (Placement& step : plan) {
    step.copy = resident_chunk(self, step.chunk_idx);
    step.old_size = size_of(step.copy.get());
  }
  Ref old_usage = Ref::check(PyList_GetSlice(usage.get(), 0, PyList_GET_SIZE(usage.get())));
  size_t applied = 0;
  auto undo = [&] {
    for (size_t k = 0; k < applied; ++k)
      assign_slice(plan[k].copy.get(), plan[k].old_size, plan[k].old_size + plan[k].take, nullptr);
  };
  Py_ssize_t offset = 0;
  try {
    for (Placement& step : plan) {
      Ref piece = Ref::check(PyList_GetSlice(items, offset, offset + step.take));
      offset += step.take;
      const Py_ssize_t end = step.old_size;
      assign_slice(step.copy.get(), end, end, piece.get());
      ++applied;
      add_to_count(usage.get(), step.chunk_idx, static_cast<int>(step.take));
    }
  } catch (const PyErrSet&) {
    undo_and_rethrow(undo);
  }
  const int32_t new_last = static_cast<int32_t>(plan.back().chunk_idx);
  publish_counts(self, old_usage.get(), last_used, usage.get(), new_last, undo);
  for (const Placement& step : plan) mark_changed(self, step.chunk_idx);
  set_length(self, static_cast<long long>(length_of(self)) + placed);
  if (placed < n) raise(PyExc_OverflowError, "Exceeded maximum number of chunks");
}

// *= 0: every element leaves, the counts become zeros in one publication.
void remove_all(PyObject* self) {
  Layout layout = read_layout(self);
  if (layout.spans.empty()) return;
  std::vector<Ref> saved;
  for (const Span& span : layout.spans) saved.push_back(slice_of(span.copy.get(), 0, span.count));
  const Py_ssize_t entries = PyList_GET_SIZE(layout.usage.get());
  Ref zeros = Ref::check(PyList_New(entries));
  for (Py_ssize_t i = 0; i < entries; ++i) PyList_SET_ITEM(zeros.get(), i, new_int(0).release());
  size_t applied = 0;
  auto undo = [&] {
    for (size_t k = 0; k < applied; ++k) assign_slice(layout.spans[k].copy.get(), 0, 0, saved[k].get());
  };
  const int32_t old_last = read_last_used(self);
  try {
    for (const Span& span : layout.spans) {
      assign_slice(span.copy.get(), 0, span.count, nullptr);
      ++applied;
    }
  } catch (const PyErrSet&) {
    undo_and_rethrow(undo);
  }
  publish_counts(self, layout.usage.get(), old_last, zeros.get(), 0, undo);
  for (const Span& span : layout.spans) mark_changed(self, span.chunk_idx);
  set_length(self, 0);
}

}  // namespace

Layout read_layout(PyObject* self) {
  Layout layout;
  layout.usage = usage_for_index(self, -1, false);
  const Py_ssize_t chunks = std::min<Py_ssize_t>(as_base(self)->num_chunks, PyList_GET_SIZE(layout.usage.get()));
  Py_ssize_t last_holding = -1;
  for (Py_ssize_t i = 0; i < chunks; ++i)
    if (count_at(layout.usage.get(), i) > 0) last_holding = i;
  if (last_holding >= 0) make_resident(self, 0, last_holding);  // one wave
  for (Py_ssize_t i = 0; i < chunks; ++i) {
    const int32_t count = count_at(layout.usage.get(), i);
    if (count <= 0) continue;
    Ref copy = resident_chunk(self, i);
    const Py_ssize_t size = size_of(copy.get());
    // Indexing would fail on the same position.
    if (size < count) raise(PyExc_IndexError, "list index out of range");
    layout.spans.push_back({chunk_position(self, i), count, size, std::move(copy)});
    layout.total += count;
  }
  return layout;
}

Ref layout_elements(const Layout& layout) {
  Ref result = Ref::check(PyList_New(0));
  for (const Span& span : layout.spans) {
    Ref piece = slice_of(span.copy.get(), 0, span.count);
    const Py_ssize_t end = PyList_GET_SIZE(result.get());
    check(PyList_SetSlice(result.get(), end, end, piece.get()));
  }
  return result;
}

void extend_items(PyObject* self, PyObject* iterable) {
  // Another QuorList is read whole, chunk by chunk, instead of element by element.
  if (PyObject_TypeCheck(iterable, state_of(self).list_type) && Py_TYPE(iterable)->tp_iter == list_iter) {
    Ref elements = layout_elements(read_layout(iterable));
    place(self, elements.get(), false);
    return;
  }
  Ref items = Ref::check(PyList_New(0));
  Ref iterator = Ref::check(PyObject_GetIter(iterable));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) check(PyList_Append(items.get(), item.get()));
  if (!PyErr_Occurred()) {
    place(self, items.get(), false);
    return;
  }
  // What the iterable gave before it failed is kept, as appending one by one would.
  Ref error = fetch_error();
  place(self, items.get(), false);
  restore_error(std::move(error));
}

PyObject* list_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    require_change(self, "sort()");
    if (nargs > 0) raise(PyExc_TypeError, "sort() takes no positional arguments");
    const Names& n = state_of(self).names;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, i);
      if (PyUnicode_Compare(name, n.str_key) != 0 && PyUnicode_Compare(name, n.str_reverse) != 0) {
        if (PyErr_Occurred()) throw PyErrSet{};
        raise_format(PyExc_TypeError, "'%U' is an invalid keyword argument for sort()", name);
      }
    }
    Layout layout = read_layout(self);
    Ref elements = layout_elements(layout);
    std::vector<PyObject*> call(1 + nkw);
    call[0] = elements.get();
    for (Py_ssize_t i = 0; i < nkw; ++i) call[1 + i] = args[i];
    Ref sorted = Ref::check(PyObject_VectorcallMethod(n.str_sort, call.data(), 1, kwnames));
    require_unchanged(self, layout);
    write_spans(self, layout, elements.get());
    Py_RETURN_NONE;
  });
}

PyObject* list_reverse(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    require_change(self, "reverse()");
    Layout layout = read_layout(self);
    Ref elements = layout_elements(layout);
    check(PyList_Reverse(elements.get()));
    write_spans(self, layout, elements.get());
    Py_RETURN_NONE;
  });
}

PyObject* list_inplace_add(PyObject* self, PyObject* other) {
  return guard([&]() -> PyObject* {
    require_change(self, "+=");
    const Names& n = state_of(self).names;
    // += is extend: the bulk path while extend and the append it calls are
    // the library's own, the replaced method by name otherwise.
    if (is_own_method(self, n.str_extend, as_cfunction(list_extend)) &&
        is_own_method(self, n.str_append, as_cfunction(list_append))) {
      extend_items(self, other);
    } else {
      Ref done = call_method(self, n.str_extend, other);
    }
    return Py_NewRef(self);
  });
}

PyObject* list_inplace_multiply(PyObject* self, PyObject* times) {
  return guard([&]() -> PyObject* {
    require_change(self, "*=");
    if (!PyIndex_Check(times)) Py_RETURN_NOTIMPLEMENTED;
    const Py_ssize_t n = PyNumber_AsSsize_t(times, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (n <= 0) {
      remove_all(self);
    } else if (n > 1) {
      Ref elements = layout_elements(read_layout(self));
      const Py_ssize_t size = PyList_GET_SIZE(elements.get());
      if (size > 0) {
        if (n - 1 > INT32_MAX / size) raise(PyExc_OverflowError, "Exceeded maximum number of chunks");
        Ref repeated = Ref::check(PySequence_Repeat(elements.get(), n - 1));
        place(self, repeated.get(), true);
      }
    }
    return Py_NewRef(self);
  });
}

}  // namespace quor::list
