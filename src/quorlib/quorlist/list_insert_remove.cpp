// insert, pop, remove and clear. Each reads the counts, changes the local
// chunk copies and publishes the new counts (Note [A refused publication
// leaves no trace]): into the block's copy inside a block, at once outside
// one; the copies reach their slots at the next write-back.
#include "list.hpp"

namespace quor::list {
namespace {

// chunk.pop(offset), without a call for a plain list.
Ref take_at(const Names& n, PyObject* chunk, Py_ssize_t offset) {
  if (PyList_CheckExact(chunk) && offset >= 0 && offset < PyList_GET_SIZE(chunk)) {
    Ref item = Ref::borrow(PyList_GET_ITEM(chunk, offset));
    check(PyList_SetSlice(chunk, offset, offset + 1, nullptr));
    return item;
  }
  Ref at = new_int(offset);
  return call_method(chunk, n.str_pop, at.get());
}

void insert_item(PyObject* self, int32_t index, PyObject* item) {
  Ref usage = usage_for_index(self, index, true);
  int32_t last_used = read_last_used(self);
  long long position = index;
  if (position < 0) position += length_of(self);
  // Still negative: a position before the start of the list.
  if (position < 0) raise(PyExc_IndexError, "list index out of range");

  // Strict comparison: a position at a chunk boundary goes to the front of the
  // next chunk that holds elements. No element moves between chunks, so the
  // target chunk may grow past the capacity; append then treats it as full.
  long long before = 0;
  Py_ssize_t chunk_idx = -1;
  for (int32_t i = 0; i <= last_used; ++i) {
    int32_t count = count_at(usage.get(), i);
    if (position < before + count) {
      chunk_idx = i;
      break;
    }
    before += count;
  }
  if (chunk_idx < 0) raise(PyExc_IndexError, "list index out of range");

  Ref chunk = resident_chunk(self, chunk_idx);
  Ref old_usage = Ref::check(PyList_GetSlice(usage.get(), 0, PyList_GET_SIZE(usage.get())));
  add_to_count(usage.get(), chunk_idx, 1);
  const Py_ssize_t offset = static_cast<Py_ssize_t>(position - before);
  if (PyList_CheckExact(chunk.get())) {
    check(PyList_Insert(chunk.get(), offset, item));
  } else {
    Ref at = new_int(offset);
    Ref done = call_method(chunk.get(), state_of(self).names.str_insert, at.get(), item);
  }
  publish_counts(self, old_usage.get(), last_used, usage.get(), last_used,
                 [&] { check(PySequence_DelItem(chunk.get(), offset)); });
  mark_changed(self, chunk_idx);
  set_length(self, static_cast<long long>(length_of(self)) + 1);
}

// Note [Packed chunks]
// pop keeps every chunk before the last one in use exactly as full as it was:
// after the element leaves chunk c, each chunk c+1..L passes its first element
// back to the chunk before it, so only chunk L shrinks. This is what lets
// append keep filling chunk L and index resolution stay a walk over counts.
Ref pop_item(PyObject* self, int32_t index) {
  const ListState& st = state_of(self);
  const Names& n = st.names;
  Ref usage = usage_for_index(self, index, true);
  int32_t last_used = read_last_used(self);
  long long first_of_chunk = length_of(self);
  long long position = index;
  if (position < 0) position += length_of(self);

  if (st.assertions && (last_used < 0 || last_used >= as_base(self)->num_chunks))
    raise_format(PyExc_AssertionError, "chunk_last_used [%d] is out of range",
                 static_cast<int>(last_used));

  // From the back, so that an empty chunk is never chosen while a later chunk
  // holds the position.
  Py_ssize_t chunk_idx = -1;
  long long offset = 0;
  for (int32_t i = last_used; i >= 0; --i) {
    first_of_chunk -= count_at(usage.get(), i);
    if (position >= first_of_chunk) {
      chunk_idx = i;
      offset = position - first_of_chunk;
      break;
    }
  }
  if (chunk_idx < 0) {
    Ref usage_text = Ref::check(PyObject_Str(usage.get()));
    raise_format(PyExc_IndexError,
                 "list index out of range :: %lld / last_used_chunk=%d / chunk_used=%U", position,
                 static_cast<int>(last_used), usage_text.get());
  }

  // Note [pop changes nothing until it cannot fail]
  // Every chunk the pop touches is made resident (in one wave) and checked
  // before the first element moves: a failed fetch or a failed check half-way
  // would otherwise leave a half-done pop in the local copies, which the
  // block's end would write back (an element lost or duplicated for every
  // holder).
  make_resident(self, chunk_idx, last_used);
  Ref chunk = resident_chunk(self, chunk_idx);
  Py_ssize_t last_size = 0;
  for (Py_ssize_t i = chunk_idx; i <= last_used; ++i) {
    Ref resident = resident_chunk(self, i);
    Py_ssize_t size = PyObject_Size(resident.get());
    if (size < 0) throw PyErrSet{};
    if (i > chunk_idx && size < 1) {
      if (st.assertions)
        raise_format(PyExc_AssertionError,
                     "Chunk %zd is empty, but in the middle (chunk_last_used=%d)", i,
                     static_cast<int>(last_used));
      raise(PyExc_IndexError, "pop from empty list");
    }
    last_size = size;
  }
  // Chunk L ends one element shorter whichever chunk the element leaves.
  int32_t remaining = count_at(usage.get(), last_used) - 1;
  if (st.assertions && remaining != last_size - 1)
    raise_format(PyExc_AssertionError, "chunk_used[%d] != the chunk length[%zd]",
                 static_cast<int>(last_used), last_size - 1);

  // What the touched chunks held, to put back if the counts are refused or a
  // chunk that is not a plain list refuses a step. Plain lists in a block
  // need none: the moves cannot fail and the counts stay local.
  bool plain = true;
  for (Py_ssize_t i = chunk_idx; i <= last_used; ++i)
    plain = plain && PyList_CheckExact(resident_chunk(self, i).get());
  Snapshot saved;
  if (!plain || !counts_are_local(self))
    for (Py_ssize_t i = chunk_idx; i <= last_used; ++i) saved.keep(resident_chunk(self, i));
  auto undo = [&] { saved.restore(); };
  Ref old_usage = Ref::check(PyList_GetSlice(usage.get(), 0, PyList_GET_SIZE(usage.get())));
  add_to_count(usage.get(), last_used, -1);
  // An emptied list keeps last_used_chunk 0, as a new one has.
  const int32_t new_last = remaining == 0 && last_used > 0 ? last_used - 1 : last_used;

  Ref found;
  try {
    found = take_at(n, chunk.get(), offset);
    for (Py_ssize_t i = chunk_idx + 1; i <= last_used; ++i) {
      Ref next = resident_chunk(self, i);
      Ref moved = take_at(n, next.get(), 0);
      Ref previous = resident_chunk(self, i - 1);
      if (PyList_CheckExact(previous.get())) {
        check(PyList_Append(previous.get(), moved.get()));
      } else {
        Ref appended = call_method(previous.get(), n.str_append, moved.get());
      }
    }
  } catch (const PyErrSet&) {
    undo_and_rethrow(undo);
  }
  publish_counts(self, old_usage.get(), last_used, usage.get(), new_last, undo);
  for (Py_ssize_t i = chunk_idx; i <= last_used; ++i) mark_changed(self, i);
  set_length(self, static_cast<long long>(length_of(self)) - 1);
  return found;
}

}  // namespace

PyObject* list_insert(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    require_change(self, "insert()");
    static const char* kwlist[] = {"index", "item", nullptr};
    PyObject* index = nullptr;
    PyObject* item = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:insert", const_cast<char**>(kwlist), &index,
                                     &item))
      throw PyErrSet{};
    insert_item(self, as_int32(index), item);
    Py_RETURN_NONE;
  });
}

PyObject* list_pop(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    require_change(self, "pop()");
    static const char* kwlist[] = {"index", nullptr};
    PyObject* index = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:pop", const_cast<char**>(kwlist), &index))
      throw PyErrSet{};
    return pop_item(self, index ? as_int32(index) : -1).release();
  });
}

PyObject* list_remove(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    require_change(self, "remove()");
    static const char* kwlist[] = {"item", nullptr};
    PyObject* item = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:remove", const_cast<char**>(kwlist), &item))
      throw PyErrSet{};
    // Both by name: a subclass's index or pop changes remove too.
    const Names& n = state_of(self).names;
    Ref position = call_method(self, n.str_index, item);
    Ref removed = call_method(self, n.str_pop, position.get());
    Py_RETURN_NONE;
  });
}

PyObject* list_clear(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    require_change(self, "clear()");
    // Every chunk is made resident first, so that the next write-back
    // replaces every chunk's stored contents with an empty list.
    // The counts are read first: a remote read lets other threads run, and
    // the copies must still all be resident when the snapshot is taken.
    Ref old_usage = read_usage(self);
    const int32_t old_last = read_last_used(self);
    make_resident(self, 0, -1);
    PyObject* chunks = as_base(self)->chunk_list;
    if (!PyList_Check(chunks))
      raise_format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(chunks)->tp_name);
    const ListState& st = state_of(self);
    const Names& n = st.names;
    Ref held = Ref::borrow(chunks);
    Snapshot saved;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.get()); ++i) {
      PyObject* copy = PyList_GET_ITEM(held.get(), i);
      // Only a thread using this instance outside any block can drop a copy
      // while ensure_chunks fetches the others.
      check_assertion(st, copy != Py_None, "Chunk must be resident to clear it");
      saved.keep(Ref::borrow(copy));
    }
    auto undo = [&] { saved.restore(); };
    try {
      for (Py_ssize_t i = 0; i < saved.size(); ++i) Ref cleared = call_method(saved.copy(i), n.str_clear);
    } catch (const PyErrSet&) {
      undo_and_rethrow(undo);
    }
    int32_t num_chunks = as_base(self)->num_chunks;
    Ref zeros = Ref::check(PyList_New(num_chunks > 0 ? num_chunks : 0));
    for (int32_t i = 0; i < num_chunks; ++i) PyList_SET_ITEM(zeros.get(), i, new_int(0).release());
    publish_counts(self, old_usage.get(), old_last, zeros.get(), 0, undo);
    for (Py_ssize_t i = 0; i < saved.size(); ++i) mark_changed(self, i);
    set_length(self, 0);
    Py_RETURN_NONE;
  });
}

}  // namespace quor::list
