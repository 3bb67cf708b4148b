// A new dictionary's chunks: the initial mapping cut by key hash in one local
// pass, then one proxy actor per chunk holding its part as initial value.
#include "quordict.hpp"
#include "stable_hash.hpp"
#include "quorlib/int32.hpp"
#include "quorlib/stdout.hpp"

namespace quor::dict {
namespace {

// `num_chunks` is at least 1: the base refuses anything less before the
// chunks are made.
void put(PyObject* buckets, int32_t num_chunks, PyObject* key, PyObject* value) {
  const Py_hash_t hash = stable_hash(key);
  if (hash == -1) throw PyErrSet{};
  check(PyDict_SetItem(PyList_GET_ITEM(buckets, floor_mod(hash, num_chunks)), key, value));
}

void partition(const Names& names, PyObject* value, int32_t num_chunks, PyObject* buckets) {
  if (PyDict_CheckExact(value)) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(value, &pos, &k, &v)) {
      // Held: a key's __hash__ may change the mapping under us.
      Ref key = Ref::borrow(k), item = Ref::borrow(v);
      put(buckets, num_chunks, key.get(), item.get());
    }
    return;
  }
  // A dict subclass reaches here only through QuorBase.__init__ called
  // directly; its own items() decides what it holds.
  Ref items = call_method(value, names.str_items);
  Ref it = Ref::check(PyObject_GetIter(items.get()));
  while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
    Ref fast = Ref::check(PySequence_Fast(pair.get(), "items() must yield pairs"));
    if (PySequence_Fast_GET_SIZE(fast.get()) != 2) raise(PyExc_ValueError, "items() must yield pairs");
    put(buckets, num_chunks, PySequence_Fast_GET_ITEM(fast.get(), 0),
        PySequence_Fast_GET_ITEM(fast.get(), 1));
  }
  if (PyErr_Occurred()) throw PyErrSet{};
}

}  // namespace

int init_new_chunk_list(PyObject* self, int32_t num_chunks, PyObject* value) {
  return guard([&] {
    const Py_ssize_t count = num_chunks > 0 ? num_chunks : 0;
    Ref buckets = Ref::check(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(buckets.get(), i, Ref::check(PyDict_New()).release());

    const DictState& st = state_of(self);
    if (value != Py_None && !PyDict_Check(value)) {
      print_line_and_pause(st.names, Ref::check(PyUnicode_FromString("Value is not None")).get());
      raise(PyExc_ValueError, "Value must be a dict");
    }
    if (value != Py_None) partition(st.names, value, num_chunks, buckets.get());

    // Complete before it is stored: a failure half-way leaves chunk_ref_list
    // as it was, and the actors made so far are simply dropped.
    Ref handles = Ref::check(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
      PyList_SET_ITEM(handles.get(), i, new_chunk_handle(st.names, st.base, self, PyList_GET_ITEM(buckets.get(), i)).release());

    QuorBaseObject* b = as_base(self);
    set_field(b->chunk_ref_list, handles.get());
    int truthy = value == Py_None ? 0 : check(PyObject_IsTrue(value));
    if (truthy) {
      Py_ssize_t size = PyObject_Size(value);
      if (size < 0) throw PyErrSet{};
      if (size > INT32_MAX) raise(PyExc_OverflowError, kIntTooLarge);
      b->length = int32_t(size);
    } else {
      b->length = 0;
    }
    return 0;
  });
}

}  // namespace quor::dict
