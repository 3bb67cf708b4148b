// QuorChunk: the handle of one chunk, pairing its proxy actor with its local
// cache object. Pickles as QuorChunk.rebuild(ref, cache) so that Ray's
// serializer sees the actor handle itself and keeps the actor alive.

#include "core.hpp"

#include <structmember.h>

namespace quor::core {
namespace {

QuorChunkObject* as_chunk(PyObject* self) { return reinterpret_cast<QuorChunkObject*>(self); }

PyObject* chunk_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    Ref self = Ref::check(type->tp_alloc(type, 0));
    as_chunk(self.get())->ref = Py_NewRef(Py_None);
    as_chunk(self.get())->cache = Py_NewRef(Py_None);
    return self.release();
  });
}

int chunk_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] {
    static const char* kwlist[] = {"ref", "cache", nullptr};
    PyObject* ref = nullptr;
    PyObject* cache = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:QuorChunk", const_cast<char**>(kwlist), &ref,
                                     &cache))
      throw PyErrSet{};
    set_field(as_chunk(self)->ref, ref);
    set_field(as_chunk(self)->cache, cache);
    return 0;
  });
}

int chunk_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_chunk(self)->ref);
  Py_VISIT(as_chunk(self)->cache);
  return 0;
}

int chunk_clear(PyObject* self) {
  set_field(as_chunk(self)->ref, Py_None);
  set_field(as_chunk(self)->cache, Py_None);
  return 0;
}

void chunk_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_chunk(self)->ref);
  Py_CLEAR(as_chunk(self)->cache);
  type->tp_free(self);
  Py_DECREF(type);
}

// Getter and setter for one field; deletion is refused with "__del__".
template <PyObject* QuorChunkObject::*Field>
PyObject* get_field(PyObject* self, void*) {
  return Py_NewRef(as_chunk(self)->*Field);
}

template <PyObject* QuorChunkObject::*Field>
int set_chunk_field(PyObject* self, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return -1;
  }
  set_field(as_chunk(self)->*Field, value);
  return 0;
}

PyGetSetDef chunk_getset[] = {
    {"ref", get_field<&QuorChunkObject::ref>, set_chunk_field<&QuorChunkObject::ref>,
     "Handle of the chunk's proxy actor.", nullptr},
    {"cache", get_field<&QuorChunkObject::cache>, set_chunk_field<&QuorChunkObject::cache>,
     "The chunk's local cache object.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* chunk_rebuild(PyObject*, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"ref", "cache", nullptr};
    PyObject* ref = nullptr;
    PyObject* cache = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:rebuild", const_cast<char**>(kwlist), &ref,
                                     &cache))
      throw PyErrSet{};
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(chunk_type), ref, cache,
                                        nullptr);
  });
}

PyObject* chunk_reduce(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Ref rebuild = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), "rebuild");
    return Py_BuildValue("(O(OO))", rebuild.get(), as_chunk(self)->ref, as_chunk(self)->cache);
  });
}

PyMethodDef chunk_methods[] = {
    {"__reduce__", chunk_reduce, METH_NOARGS, "Pickles as QuorChunk.rebuild(ref, cache)."},
    {"rebuild", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chunk_rebuild)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, "rebuild(ref, cache) -> QuorChunk"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_chunk_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("QuorChunk(ref, cache)\n--\n\nHandle of one chunk: its proxy "
                                    "actor and its local cache object.")},
      {Py_tp_new, reinterpret_cast<void*>(chunk_new)},
      {Py_tp_init, reinterpret_cast<void*>(chunk_init)},
      {Py_tp_traverse, reinterpret_cast<void*>(chunk_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(chunk_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(chunk_dealloc)},
      {Py_tp_getset, chunk_getset},
      {Py_tp_methods, chunk_methods},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"quorlib.quorbase.QuorChunk", sizeof(QuorChunkObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  return reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&type_spec)).release());
}

}  // namespace quor::core
