// QuorChunk: the handle of one chunk, pairing its proxy actor with its local
// cache object. Pickles as QuorChunk.rebuild(ref, cache) so that Ray's
// serializer sees the actor handle itself and keeps the actor alive.

#include "core.hpp"

namespace quor::core {
namespace {

using Fields = ObjectFields<QuorChunkObject, &QuorChunkObject::ref, &QuorChunkObject::cache>;

QuorChunkObject* as_chunk(PyObject* self) { return reinterpret_cast<QuorChunkObject*>(self); }

PyObject* chunk_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    Ref self = Ref::check(type->tp_alloc(type, 0));
    Fields::init(self.get());
    return self.release();
  });
}

// Parses (ref, cache) for the constructor and for rebuild alike.
void parse_ref_cache(PyObject* args, PyObject* kwds, const char* format, PyObject** ref,
                     PyObject** cache) {
  static const char* kwlist[] = {"ref", "cache", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(kwlist), ref, cache))
    throw PyErrSet{};
}

int chunk_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] {
    PyObject *ref = nullptr, *cache = nullptr;
    parse_ref_cache(args, kwds, "OO:QuorChunk", &ref, &cache);
    set_field(as_chunk(self)->ref, ref);
    set_field(as_chunk(self)->cache, cache);
    return 0;
  });
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

// Bound to the module by attach_rebuild.
PyObject* chunk_rebuild(PyObject* module, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    PyObject *ref = nullptr, *cache = nullptr;
    parse_ref_cache(args, kwds, "OO:rebuild", &ref, &cache);
    PyObject* cls = reinterpret_cast<PyObject*>(state_of_module(module).chunk_type);
    return call(cls, ref, cache).release();
  });
}

PyMethodDef rebuild_def = {"QuorChunk.rebuild", as_cfunction(chunk_rebuild), METH_VARARGS | METH_KEYWORDS,
                           "rebuild(ref, cache) -> QuorChunk"};

PyObject* chunk_reduce(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const Names& n = state_of(self).names;
    Ref rebuild = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), n.str_rebuild);
    Ref args = Ref::check(PyTuple_Pack(2, as_chunk(self)->ref, as_chunk(self)->cache));
    return PyTuple_Pack(2, rebuild.get(), args.get());
  });
}

PyMethodDef chunk_methods[] = {
    {"__reduce__", chunk_reduce, METH_NOARGS, "Pickles as QuorChunk.rebuild(ref, cache)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* make_chunk_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("QuorChunk(ref, cache)\n--\n\nHandle of one chunk: its proxy "
                                    "actor and its local cache object.")},
      {Py_tp_new, reinterpret_cast<void*>(chunk_new)},
      {Py_tp_init, reinterpret_cast<void*>(chunk_init)},
      {Py_tp_traverse, reinterpret_cast<void*>(Fields::traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(Fields::clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(Fields::dealloc)},
      {Py_tp_getset, chunk_getset},
      {Py_tp_methods, chunk_methods},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {"quorlib.quorbase.QuorChunk", sizeof(QuorChunkObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                                  slots};
  Ref type = Ref::steal(reinterpret_cast<PyObject*>(make_type(module, &type_spec)));
  attach_rebuild(reinterpret_cast<PyTypeObject*>(type.get()), module, &rebuild_def);
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace quor::core
