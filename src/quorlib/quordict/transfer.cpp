// Pickling by reference and the printed form. A pickled dictionary carries
// the handles of its remote state and three integers, never its contents.
#include "quordict.hpp"

namespace quor::dict {

const char kReprDoc[] =
    "\n        This function only prints the currently fetched chunks. It does not fetch all chunks.\n"
    "        To see the full list, use `items()` and print them individually\n        ";

PyObject* dict_reduce(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    QuorBaseObject* b = as_base(self);
    Ref rebuild = get_attr(self, "rebuild");
    return Py_BuildValue("(O(OiOiOi))", rebuild.get(), b->chunk_ref_list, b->num_chunks,
                         b->quor_meta_ref, b->length, b->lock, b->per_chunk_lock);
  });
}

PyObject* dict_rebuild(PyObject*, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"chunk_ref_list", "num_chunks", "meta_ref", "length",
                                   "lock",           "per_chunk_lock", nullptr};
    PyObject *chunk_ref_list, *num_chunks, *meta_ref, *length, *lock, *per_chunk_lock;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOO:rebuild", const_cast<char**>(kwlist),
                                     &chunk_ref_list, &num_chunks, &meta_ref, &length, &lock,
                                     &per_chunk_lock))
      throw PyErrSet{};
    // Always QuorDict itself, whatever class was pickled.
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(g_dict_type), Py_None, num_chunks,
                                        lock, per_chunk_lock, chunk_ref_list, meta_ref, length,
                                        nullptr);
  });
}

PyObject* dict_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    Ref items = call_method(self, "items");
    Ref empty_spec = Ref::check(PyUnicode_FromStringAndSize(nullptr, 0));
    Ref text = Ref::check(PyObject_Format(items.get(), empty_spec.get()));
    return PyUnicode_FromFormat("QuorDict(%U)", text.get());
  });
}

PyObject* dict_repr_method(PyObject* self, PyObject*) { return dict_repr(self); }

}  // namespace quor::dict
