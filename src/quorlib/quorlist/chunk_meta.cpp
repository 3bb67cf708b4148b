// ListChunkMeta: the list's usage record (Note [The usage record]) and its
// pickled form, a state tuple guarded by a layout checksum.
#include "list.hpp"

namespace quor::list {
namespace {

constexpr long kChecksum = 0xc538c24;
// Layouts whose pickles this one still reads.
constexpr long kAcceptedChecksums[] = {0xc538c24, 0x4c749e9, 0x4276bf5};

using Fields = ObjectFields<ListChunkMetaObject, &ListChunkMetaObject::last_used_chunk,
                            &ListChunkMetaObject::chunk_used>;

PyObject* meta_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guard([&]() -> PyObject* {
    Ref self = Ref::check(type->tp_alloc(type, 0));
    Fields::init(self.get());
    as_meta(self.get())->max_element_per_chunk = 0;
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

void apply_state(PyObject* self, PyObject* state_tuple) {
  require_tuple(state_tuple);
  const Names& n = state_of(self).names;
  ListChunkMetaObject* m = as_meta(self);
  auto element = [&](Py_ssize_t i) { return state_item(state_tuple, i); };
  set_field(m->chunk_used, element(0));
  set_field(m->last_used_chunk, element(1));
  m->max_element_per_chunk = as_int32(element(2));
  apply_instance_dict(self, state_tuple, 3, n.str___dict__, n.str_update);
}

PyObject* meta_reduce(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const Names& n = state_of(self).names;
    ListChunkMetaObject* m = as_meta(self);
    Ref unpickle = n.lookup(n.str__unpickle_ListChunkMeta);
    Ref dict = instance_dict(self, n.str___dict__);
    Ref capacity = new_int(m->max_element_per_chunk);
    Ref state_tuple = Ref::check(
        dict ? PyTuple_Pack(4, m->chunk_used, m->last_used_chunk, capacity.get(), dict.get())
             : PyTuple_Pack(3, m->chunk_used, m->last_used_chunk, capacity.get()));
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    Ref checksum = new_int(kChecksum);
    if (dict || m->chunk_used != Py_None || m->last_used_chunk != Py_None) {
      Ref args = Ref::check(PyTuple_Pack(3, type, checksum.get(), Py_None));
      return PyTuple_Pack(3, unpickle.get(), args.get(), state_tuple.get());
    }
    Ref args = Ref::check(PyTuple_Pack(3, type, checksum.get(), state_tuple.get()));
    return PyTuple_Pack(2, unpickle.get(), args.get());
  });
}

PyObject* meta_setstate(PyObject* self, PyObject* state_tuple) {
  return guard([&]() -> PyObject* {
    apply_state(self, state_tuple);
    Py_RETURN_NONE;
  });
}

PyObject* unpickle_meta(PyObject* module, PyObject* args, PyObject* kwds) {
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
      Ref hex = checksum_hex(checksum_obj);
      Ref message = Ref::check(PyUnicode_FromFormat(
          "Incompatible checksums (0x%U vs (0xc538c24, 0x4c749e9, 0x4276bf5) = "
          "(chunk_used, last_used_chunk, max_element_per_chunk))",
          hex.get()));
      raise_pickle_error(message.get());
    }
    // ListChunkMeta.__new__(type) checks that `type` is a record type.
    const ListState& st = state_of_module(module);
    Ref created = call_method(reinterpret_cast<PyObject*>(st.meta_type), st.names.str___new__, type);
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

PyTypeObject* make_meta_type(PyObject* module) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(
                      "ListChunkMeta(last_used_chunk=None, max_element_per_chunk=1024, "
                      "chunk_used=None)\n--\n\n"
                      "Usage record of a QuorList: the chunk capacity and the handles of the two "
                      "proxies that hold the per-chunk counts and the last chunk in use.")},
      {Py_tp_new, reinterpret_cast<void*>(meta_new)},
      {Py_tp_init, reinterpret_cast<void*>(meta_init)},
      {Py_tp_traverse, reinterpret_cast<void*>(Fields::traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(Fields::clear)},
      {Py_tp_dealloc, reinterpret_cast<void*>(Fields::dealloc)},
      {Py_tp_methods, meta_methods},
      {0, nullptr},
  };
  static PyType_Spec type_spec = {"quorlib.quorlist.ListChunkMeta", sizeof(ListChunkMetaObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
  return make_type(module, &type_spec);
}

}  // namespace quor::list
