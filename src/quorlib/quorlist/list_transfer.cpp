// The pickled form of a list (its references, never its contents) and its
// printed form (the resident copies only).
#include "list.hpp"

namespace quor::list {
namespace {

// Bound to the module by attach_rebuild: it builds a QuorList, whatever class
// the pickled list had.
PyObject* list_rebuild(PyObject* module, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"chunk_ref_list", "num_chunks",     "meta_ref", "length",
                                   "lock",           "per_chunk_lock", "meta",     nullptr};
    PyObject *chunk_ref_list, *num_chunks, *meta_ref, *length, *lock, *per_chunk_lock, *meta;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOOO:rebuild", const_cast<char**>(kwlist),
                                     &chunk_ref_list, &num_chunks, &meta_ref, &length, &lock,
                                     &per_chunk_lock, &meta))
      throw PyErrSet{};
    PyObject* cls = reinterpret_cast<PyObject*>(state_of_module(module).list_type);
    return call(cls, num_chunks, Py_None, lock, per_chunk_lock, chunk_ref_list, meta_ref, length,
                meta)
        .release();
  });
}

}  // namespace

PyMethodDef rebuild_def = {
    "QuorList.rebuild", as_cfunction(list_rebuild), METH_VARARGS | METH_KEYWORDS,
    "rebuild(chunk_ref_list, num_chunks, meta_ref, length, lock, per_chunk_lock, meta)\n--\n\n"
    "A QuorList around the references of a pickled one: it shares the chunk proxies, the "
    "version record, the lock and the usage record, and holds no chunk until used."};

PyObject* list_reduce(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    QuorBaseObject* b = as_base(self);
    Ref rebuild = get_attr(self, state_of(self).names.str_rebuild);
    Ref num_chunks = new_int(b->num_chunks), length = new_int(b->length),
        per_chunk_lock = new_int(b->per_chunk_lock);
    Ref args = Ref::check(PyTuple_Pack(7, b->chunk_ref_list, num_chunks.get(), b->quor_meta_ref,
                                       length.get(), b->lock, per_chunk_lock.get(),
                                       as_list(self)->meta));
    return PyTuple_Pack(2, rebuild.get(), args.get());
  });
}

PyObject* list_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    Ref chunks = Ref::borrow(as_base(self)->chunk_list);
    Ref text = Ref::check(PyObject_Format(chunks.get(), nullptr));
    return PyUnicode_FromFormat("QuorList(%U)", text.get());
  });
}

}  // namespace quor::list
