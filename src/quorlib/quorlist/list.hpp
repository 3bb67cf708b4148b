// What the files of quorlib.quorlist share: the two object layouts, the
// module's state and the helpers every list operation builds on.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "quorlib/api.hpp"
#include "quorlib/args.hpp"
#include "quorlib/int32.hpp"
#include "quorlib/index.hpp"
#include "quorlib/module_setup.hpp"
#include "quorlib/names.hpp"
#include "quorlib/ref.hpp"

namespace quor::list {

// Note [The usage record]
// The per-chunk element counts and the index of the last chunk in use are the
// shared truth of a list and live in two cells of its control actor; the
// record holds only their handles (and the capacity, which never changes after
// construction), so every pickled copy of a list reads and writes the same
// two values. Outside a block every operation reads them afresh and publishes
// a change at once; inside one it works from the block's copy, which commits
// with the block (Note [Counts inside a block]).
struct ListChunkMetaObject {
  PyObject_HEAD
  PyObject* last_used_chunk;  // proxy holding the highest chunk in use
  int32_t max_element_per_chunk;
  PyObject* chunk_used;       // proxy holding the list of per-chunk counts
};

// Note [Counts inside a block]
// While a holder is inside a block it holds the container's lock, so the
// shared counts change only through this holder (a holder that ignores blocks
// is already warned against). The block reads them once, with the last chunk
// in use, and then works from its own copy: lst[i], len() and `in` read it,
// and append, insert, pop, remove, clear and extend change it and make no
// remote call. The block's commit carries the copy (the table's
// commit_cells), so other processes only ever read committed counts, and a
// block that is not committed leaves nothing of itself counted anywhere. The
// copy is kept only for the thread that holds the block and is dropped when
// it starts and ends (the table's block hooks). Outside a block a change is
// published at once, as a compare-and-set against the counts it read.
struct QuorListObject {
  QuorBaseObject base;
  PyObject* meta;  // ListChunkMeta (or subclass); None before construction
  PyObject* counts;            // the block's copy of the per-chunk counts, or null
  long long counts_total;      // their sum, -1 until summed
  int32_t last_used;           // the block's copy of last_used_chunk, -1 until read
  unsigned long block_thread;  // the thread inside a block on this instance, 0 for none
  bool counts_changed;         // the block changed its copy: its commit carries it
};

// quorlib.quorlist's state; found from the module, or from an instance's type.
struct ListState {
  Names names;
  const BaseApi* base;        // valid while base_module is held
  PyObject* base_module;      // quorlib.quorbase
  PyTypeObject* meta_type;    // ListChunkMeta
  PyTypeObject* list_type;    // QuorList
  PyTypeObject* iter_type;    // the iterator QuorList.__iter__ returns
  BaseOps ops;                // the base's table with the chunk-list builder and the block hooks
  bool assertions;            // false under python -O
  PyObject* sequence_abc;     // collections.abc.Sequence: what compares equal by contents
  PyObject* deepcopy;         // copy.deepcopy
};

extern PyModuleDef module_def;

inline ListState& state_of_module(PyObject* module) {
  return *static_cast<ListState*>(PyModule_GetState(module));
}
inline ListState& state_of_type(PyTypeObject* type) {
  return state_of_module(module_by_def(type, &module_def));
}
// `self`: an instance of QuorList, ListChunkMeta or the iterator, or of a subclass.
inline ListState& state_of(PyObject* self) { return state_of_type(Py_TYPE(self)); }

// Type creation, called from the module's exec in this order.
PyTypeObject* make_meta_type(PyObject* module);
PyTypeObject* make_list_type(PyObject* module, ListState& st);
PyTypeObject* make_iter_type(PyObject* module);
// The constructor after its arguments were parsed: `record` becomes the list's
// usage record, then the base builds or adopts the chunks.
void construct_list(const ListState& st, PyObject* self, const InitArgs& args, PyObject* record);
extern PyMethodDef unpickle_meta_def;

inline QuorListObject* as_list(PyObject* self) noexcept {
  return reinterpret_cast<QuorListObject*>(self);
}
inline ListChunkMetaObject* as_meta(PyObject* obj) noexcept {
  return reinterpret_cast<ListChunkMetaObject*>(obj);
}
// Note [Overrides are honoured]
// An operation that the documentation describes as calling another method by
// name (extend -> append, `in` -> index, iteration -> len, every access ->
// _fetch_chunk_usage_and_length) takes the C path only while that name still
// resolves to this module's own function on the instance's class; a subclass
// that overrides it, or a class patched in place, gets the call by name.
inline bool is_own_method(PyObject* self, PyObject* name, PyCFunction impl) {
  PyObject* found = _PyType_Lookup(Py_TYPE(self), name);  // borrowed, no error set
  return found && Py_IS_TYPE(found, &PyMethodDescr_Type) &&
         reinterpret_cast<PyMethodDescrObject*>(found)->d_method->ml_meth == impl;
}

inline void check_assertion(const ListState& st, bool condition, const char* message) {
  quor::check_assertion(st.assertions, condition, message);
}

// The list's record; the interpreter's attribute error when a list has none
// (allocated but never constructed, or cleared by the collector).
ListChunkMetaObject* record_of(PyObject* self, const char* field);

// --- the shared usage values (Note [Counts inside a block]) ---
// The counts, checked to be exactly a list, for reading only: inside a block
// this is the block's own copy, which the caller must not change.
Ref counts_view(PyObject* self);
// The counts as a list the caller may change.
Ref read_usage(PyObject* self);
int32_t read_last_used(PyObject* self);
// Whether this thread's block on `self` keeps the counts: changes then stay
// in the block's copy until its commit.
bool counts_are_local(PyObject* self) noexcept;
// Outside a block, each a remote compare-and-set against `old`.
void write_usage(PyObject* self, PyObject* old, PyObject* usage);
void write_last_used(PyObject* self, int32_t old, int32_t chunk_idx);
// The block's copy is forgotten: the next read goes to the cells.
void forget_counts(PyObject* self) noexcept;

// _fetch_chunk_usage_and_length, native and as the operations call it (by
// name, so that a subclass's replacement is used). `for_change`: the caller
// changes the list it gets.
Ref fetch_usage_and_length(PyObject* self, int32_t index, bool for_change);
Ref usage_for_index(PyObject* self, int32_t index, bool for_change);
int32_t usage_sum(PyObject* usage);

// The list's block hooks and what its blocks commit beside their chunks.
int list_block_started(PyObject* self);
void list_block_ended(PyObject* self);
PyObject* list_commit_cells(PyObject* self);

// Runs `undo` with the pending error put aside, then raises that error again.
// A failure of the undo itself is dropped: the first error is the one to report.
template <class F>
[[noreturn]] void undo_and_rethrow(F&& undo) {
  Ref error = fetch_error();
  try {
    undo();
  } catch (const PyErrSet&) {
    PyErr_Clear();
  }
  restore_error(std::move(error));
}

// Puts the shared counts back to `old_usage` (and `last_used_chunk` to
// `old_last` when `last_too`) where they read `new_usage` (`new_last`): a
// failed write may still have landed, and an earlier write of the same
// operation did.
void restore_counts(PyObject* self, PyObject* old_usage, int32_t old_last, PyObject* new_usage,
                    int32_t new_last, bool last_too);

// What some chunk copies hold, kept to put back when an operation is undone.
class Snapshot {
 public:
  void keep(Ref copy) {
    Ref contents = Ref::check(PySequence_List(copy.get()));
    saved_.emplace_back(std::move(copy), std::move(contents));
  }
  void restore() const {
    for (const auto& [copy, contents] : saved_)
      check(PySequence_SetSlice(copy.get(), 0, PY_SSIZE_T_MAX, contents.get()));
  }
  Py_ssize_t size() const noexcept { return static_cast<Py_ssize_t>(saved_.size()); }
  PyObject* copy(Py_ssize_t i) const noexcept { return saved_[static_cast<size_t>(i)].first.get(); }

 private:
  std::vector<std::pair<Ref, Ref>> saved_;
};

// Note [A refused publication leaves no trace]
// Every operation that changes the counts changes the local copies first, then
// publishes `new_usage` (and `new_last` when it differs from `old_last`):
// inside a block into the block's copy, which cannot fail; outside one at
// once. When a publication is refused, `undo` puts the copies back and the
// shared values are restored, so that a write-back can never store elements
// the counts do not cover; the error is raised. Chunks are marked changed by
// the caller only after this returns.
void keep_block_counts(PyObject* self, PyObject* usage, int32_t last);

template <class Undo>
void publish_counts(PyObject* self, PyObject* old_usage, int32_t old_last, PyObject* new_usage,
                    int32_t new_last, Undo&& undo) {
  if (counts_are_local(self)) {
    keep_block_counts(self, new_usage, new_last);
    return;
  }
  try {
    write_usage(self, old_usage, new_usage);
    if (new_last != old_last) write_last_used(self, old_last, new_last);
  } catch (const PyErrSet&) {
    undo_and_rethrow([&] {
      try {
        undo();
      } catch (const PyErrSet&) {
        PyErr_Clear();
      }
      restore_counts(self, old_usage, old_last, new_usage, new_last, new_last != old_last);
    });
  }
}

// Entry `i` of a usage list as a count (interpreter indexing: negative counts
// from the end); None and other non-lists fail like subscripting them would.
int32_t count_at(PyObject* usage, Py_ssize_t i);
void add_to_count(PyObject* usage, Py_ssize_t i, int delta);

// --- local chunk copies ---
// `chunk_idx` made non-negative against the chunk list (interpreter indexing).
inline Py_ssize_t chunk_position(PyObject* self, Py_ssize_t chunk_idx) {
  return list_position(as_base(self)->chunk_list, chunk_idx);
}
// The resident copy of chunk `chunk_idx` (a non-negative position), fetched
// when it is not resident.
Ref resident_chunk(PyObject* self, Py_ssize_t chunk_idx);
// Makes chunks `first` to `last` resident, fetching the missing ones in one wave.
void make_resident(PyObject* self, Py_ssize_t first, Py_ssize_t last);
// Every change to a resident copy goes through here, so that the base writes
// it back even when the list is released without a lock.
inline void mark_changed(PyObject* self, Py_ssize_t chunk_idx) {
  quor::mark_changed(self, chunk_idx, [self] { return state_of(self).base; });
}

// Inside a reading() block every change is refused before anything changes.
inline void require_change(PyObject* self, const char* what) {
  quor::require_change(self, what, [self] { return state_of(self).base; });
}

// Small wrappers over the length field, which is a signed 32-bit count.
inline int32_t length_of(PyObject* self) noexcept { return as_base(self)->length; }
inline void set_length(PyObject* self, long long v) {
  if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, kIntTooLarge);
  as_base(self)->length = static_cast<int32_t>(v);
}

// --- the operations, by file ---
// list_usage.cpp
PyObject* list_fetch_usage_method(PyObject* self, PyObject* args, PyObject* kwds);
Py_ssize_t list_length(PyObject* self);
// list_access.cpp
PyObject* list_subscript(PyObject* self, PyObject* index);
int list_ass_subscript(PyObject* self, PyObject* index, PyObject* value);
PyObject* list_sq_item(PyObject* self, Py_ssize_t index);
// list_append.cpp
PyObject* list_append(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* list_extend(PyObject* self, PyObject* args, PyObject* kwds);
// list_insert_remove.cpp
PyObject* list_insert(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* list_pop(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* list_remove(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* list_clear(PyObject* self, PyObject*);
// list_search.cpp
PyObject* list_index(PyObject* self, PyObject* args, PyObject* kwds);
int list_contains(PyObject* self, PyObject* item);
// list_iter.cpp
PyObject* list_iter(PyObject* self);

// sequence_methods.cpp and list_order.cpp: the rest of the sequence protocol.
// The chunks that hold elements, as one read of the counts found them.
struct Span {
  Py_ssize_t chunk_idx;
  Py_ssize_t count;  // elements of the chunk that belong to the list
  Py_ssize_t size;   // the copy's own length when read
  Ref copy;          // the resident copy
};
struct Layout {
  Ref usage;
  std::vector<Span> spans;
  Py_ssize_t total = 0;
};
Layout read_layout(PyObject* self);
Ref layout_elements(const Layout& layout);
// extend through the bulk path: the elements fill the last chunk in use and
// the next ones, and the counts are published once.
void extend_items(PyObject* self, PyObject* iterable);
PyObject* list_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* list_reverse(PyObject* self, PyObject*);
PyObject* list_inplace_add(PyObject* self, PyObject* other);
PyObject* list_inplace_multiply(PyObject* self, PyObject* times);
PyObject* list_richcompare(PyObject* self, PyObject* other, int op);
PyObject* list_add(PyObject* left, PyObject* right);
PyObject* list_multiply(PyObject* left, PyObject* right);
// Adds the methods to the class and registers it as a Sequence.
void add_sequence_methods(PyTypeObject* type, ListState& st);
// list_transfer.cpp
PyObject* list_reduce(PyObject* self, PyObject*);
PyObject* list_repr(PyObject* self);
extern PyMethodDef rebuild_def;

}  // namespace quor::list
