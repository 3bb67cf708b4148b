// Pickling by reference and the printed form. A pickled dictionary carries
// the handles of its remote state and three integers, never its contents.
#include "quordict.hpp"

namespace quor::dict {
namespace {

// Bound to the module by attach_rebuild: it builds a QuorDict, whatever class
// was pickled.
PyObject* dict_rebuild(PyObject* module, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"chunk_ref_list", "num_chunks", "meta_ref", "length",
                                   "lock",           "per_chunk_lock", nullptr};
    PyObject *chunk_ref_list, *num_chunks, *meta_ref, *length, *lock, *per_chunk_lock;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOO:rebuild", const_cast<char**>(kwlist),
                                     &chunk_ref_list, &num_chunks, &meta_ref, &length, &lock,
                                     &per_chunk_lock))
      throw PyErrSet{};
    PyObject* cls = reinterpret_cast<PyObject*>(state_of_module(module).dict_type);
    return call(cls, Py_None, num_chunks, lock, per_chunk_lock, chunk_ref_list, meta_ref, length)
        .release();
  });
}

}  // namespace

const char kReprDoc[] =
    "\n        This function only prints the currently fetched chunks. It does not fetch all chunks.\n"
    "        To see the full list, use `items()` and print them individually\n        ";

PyMethodDef rebuild_def = {
    "QuorDict.rebuild", as_cfunction(dict_rebuild), METH_VARARGS | METH_KEYWORDS,
    "rebuild(chunk_ref_list, num_chunks, meta_ref, length, lock, per_chunk_lock)\n--\n\n"
    "A QuorDict sharing the given chunks, version record and lock, with nothing resident."};

PyObject* dict_reduce(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    QuorBaseObject* b = as_base(self);
    Ref rebuild = get_attr(self, state_of(self).names.str_rebuild);
    Ref num_chunks = new_int(b->num_chunks), length = new_int(b->length),
        per_chunk_lock = new_int(b->per_chunk_lock);
    Ref args = Ref::check(PyTuple_Pack(6, b->chunk_ref_list, num_chunks.get(), b->quor_meta_ref,
                                       length.get(), b->lock, per_chunk_lock.get()));
    return PyTuple_Pack(2, rebuild.get(), args.get());
  });
}

PyObject* dict_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    Ref items = call_method(self, state_of(self).names.str_items);
    Ref text = Ref::check(PyObject_Format(items.get(), nullptr));
    return PyUnicode_FromFormat("QuorDict(%U)", text.get());
  });
}

PyObject* dict_repr_method(PyObject* self, PyObject*) { return dict_repr(self); }

}  // namespace quor::dict
