// ListChunkMeta: the list's usage record (Note [The usage record]) and its
// pickled form, a state tuple guarded by a layout checksum.
#include "list.hpp"

namespace quor::list {
namespace {

constexpr long kChecksum = 0xc538c24;
// Layouts whose pickles this one still reads.
constexpr long kAcceptedChecksums[] = {0xc538c24, 0x4c749e9, 0x4276bf5};

PyObject* meta_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    Ref self = Ref::check(type->tp_alloc(type, 0));
    ListChunkMetaObject* m = as_meta(self.get());
    m->last_used_chunk = Py_NewRef(Py_None);
    m->chunk_used = Py_NewRef(Py_None);
    m->max_element_per_chunk = 0;
    return self.release();
  });
}

int meta_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] {
    static const char* kwlist[] = {"last_used_chunk", "max_element_per_chunk", "chunk_used",
                                   nullptr};
    PyObject* last_used_chunk = Py_None;
    PyObject* capacity = nullptr;
    PyObject* chunk_used = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOO:__init__", const_cast<char**>(kwlist),
                                     &last_used_chunk, &capacity, &chunk_used))
      throw PyErrSet{};
    int32_t max_element_per_chunk = capacity ? as_int32(capacity) : 1024;
    ListChunkMetaObject* m = as_meta(self);
    set_field(m->last_used_chunk, last_used_chunk);
    m->max_element_per_chunk = max_element_per_chunk;
    set_field(m->chunk_used, chunk_used);
    return 0;
  });
}

int meta_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_meta(self)->last_used_chunk);
  Py_VISIT(as_meta(self)->chunk_used);
  return 0;
}

int meta_clear(PyObject* self) {
  set_field(as_meta(self)->last_used_chunk, Py_None);
  set_field(as_meta(self)->chunk_used, Py_None);
  return 0;
}

void meta_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(as_meta(self)->last_used_chunk);
  Py_CLEAR(as_meta(self)->chunk_used);
  type->tp_free(self);
  Py_DECREF(type);
}

// The instance's __dict__ (an instance of an interpreter subclass has one), or
// null when it has none or it is None.
Ref instance_dict(PyObject* self) {
  PyObject* dict = PyObject_GetAttrString(self, "__dict__");
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    return Ref();
  }
  Ref owned = Ref::steal(dict);
  if (dict == Py_None) return Ref();
  return owned;
}

void apply_state(PyObject* self, PyObject* state_tuple) {
  require_tuple(state_tuple);
  ListChunkMetaObject* m = as_meta(self);
  auto element = [&](Py_ssize_t i) {
    PyObject* item = PyTuple_GetItem(state_tuple, i);  // borrowed; IndexError when short
    if (!item) throw PyErrSet{};
    return item;
  };
  set_field(m->chunk_used, element(0));
  set_field(m->last_used_chunk, element(1));
  m->max_element_per_chunk = as_int32(element(2));
  if (PyTuple_GET_SIZE(state_tuple) > 3) {
    Ref dict = instance_dict(self);
    if (dict) {
      Ref updated = Ref::check(PyObject_CallMethod(dict.get(), "update", "(O)", element(3)));
    }
  }
}

PyObject* meta_reduce(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    ListChunkMetaObject* m = as_meta(self);
    Ref unpickle = state.names.lookup("_unpickle_ListChunkMeta");
    Ref dict = instance_dict(self);
    Ref state_tuple =
        dict ? Ref::check(Py_BuildValue("(OOiO)", m->chunk_used, m->last_used_chunk,
                                        (int)m->max_element_per_chunk, dict.get()))
             : Ref::check(Py_BuildValue("(OOi)", m->chunk_used, m->last_used_chunk,
                                        (int)m->max_element_per_chunk));
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (dict || m->chunk_used != Py_None || m->last_used_chunk != Py_None)
      return Py_BuildValue("(O(OlO)O)", unpickle.get(), type, kChecksum, Py_None,
                           state_tuple.get());
    return Py_BuildValue("(O(OlO))", unpickle.get(), type, kChecksum, state_tuple.get());
  });
}

PyObject* meta_setstate(PyObject* self, PyObject* state_tuple) {
  return guard([&]() -> PyObject* {
    apply_state(self, state_tuple);
    Py_RETURN_NONE;
  });
}

PyObject* unpickle_meta(PyObject*, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    static const char* kwlist[] = {"type", "checksum", "state", nullptr};
    PyObject* type = nullptr;
    PyObject* checksum_obj = nullptr;
    PyObject* state_tuple = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOO:_unpickle_ListChunkMeta",
                                     const_cast<char**>(kwlist), &type, &checksum_obj,
                                     &state_tuple))
      throw PyErrSet{};
    // Compared as objects, not converted to a 32-bit integer first: any
    // other value, however large, is an unknown layout.
    bool accepted = false;
    for (long c : kAcceptedChecksums)
      accepted = accepted || check(PyObject_RichCompareBool(checksum_obj, new_int(c).get(), Py_EQ));
    if (!accepted) {
      Ref hex_format = Ref::check(PyUnicode_FromString("x"));
      Ref hex = Ref::check(PyObject_Format(checksum_obj, hex_format.get()));
      Ref message = Ref::check(PyUnicode_FromFormat(
          "Incompatible checksums (0x%U vs (0xc538c24, 0x4c749e9, 0x4276bf5) = "
          "(chunk_used, last_used_chunk, max_element_per_chunk))",
          hex.get()));
      raise_pickle_error(message.get());
    }
    // ListChunkMeta.__new__(type) checks that `type` is a record type.
    Ref created = Ref::check(PyObject_CallMethod(reinterpret_cast<PyObject*>(state.meta_type),
                                                 "__new__", "(O)", type));
    if (state_tuple != Py_None) apply_state(created.get(), state_tuple);
    return created.release();
  });
}

PyMethodDef meta_methods[] = {
    {"__reduce__", meta_reduce, METH_NOARGS,
     "Pickled form: the state (chunk_used, last_used_chunk, max_element_per_chunk)."},
    {"__setstate__", meta_setstate, METH_O, "Applies a pickled state tuple."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef unpickle_meta_def = {
    "_unpickle_ListChunkMeta", as_cfunction(unpickle_meta), METH_VARARGS | METH_KEYWORDS,
    "_unpickle_ListChunkMeta(type, checksum, state)\n--\n\n"
    "Rebuilds a pickled ListChunkMeta."};

PyTypeObject* make_meta_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "ListChunkMeta(last_used_chunk=None, max_element_per_chunk=1024, "
                      "chunk_used=None)\n--\n\n"
                      "Usage record of a QuorList: the chunk capacity and the handles of the two "
                      "proxies that hold the per-chunk counts and the last chunk in use.")},
      {Py_tp_new, reinterpret_cast<void*>(meta_new)},
      {Py_tp_init, reinterpret_cast<void*>(meta_init)},
      {Py_tp_traverse, reinterpret_cast<void*>(meta_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(meta_clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(meta_dealloc)},
      {Py_tp_methods, meta_methods},
      {0, nullptr},
  };
  PyType_Spec type_spec = {"quorlib.quorlist.ListChunkMeta", sizeof(ListChunkMetaObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  return reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&type_spec)).release());
}

}  // namespace quor::list
