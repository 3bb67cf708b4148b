// The QuorDict class: its constructor, slots and method table. Allocation,
// GC, finalisation and release are inherited from QuorBase; the class adds
// no fields.
#include "quordict.hpp"

namespace quor::dict {
namespace {

const InitSignature kDictSignature = {
    {"value", "num_chunks", "lock", "per_chunk_lock", "chunk_ref_list", "meta_ref", "length",
     nullptr},
    32,
    &PyDict_Type,
};

int dict_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] {
    InitArgs parsed = parse_init_args(args, kwds, kDictSignature);
    return check(state_of(self).base->init(self, parsed));
  });
}

PyMethodDef dict_methods[] = {
    // QuorDict[str, int] in annotations evaluated at run time, as dict[str, int] works.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "See PEP 585: QuorDict[K, V] for type annotations."},
    {"keys", dict_keys, METH_NOARGS, "keys($self, /)\n--\n\nA new list of the keys, grouped by chunk."},
    {"values", dict_values, METH_NOARGS,
     "values($self, /)\n--\n\nA new list of the values, in the order of keys()."},
    {"items", dict_items, METH_NOARGS,
     "items($self, /)\n--\n\nA new list of (key, value) pairs, in the order of keys()."},
    {"clear", dict_clear, METH_NOARGS, "clear($self, /)\n--\n\nEmpties every chunk."},
    {"locking", as_cfunction(dict_locking), METH_FASTCALL,
     "locking($self, /, *keys)\n--\n\n"
     "A block to use in `with`: only the chunks that hold `keys`, all taken at once, to\n"
     "read and change them. Blocks on other chunks run at the same time; a key of\n"
     "another chunk, and an operation over every chunk, raise RuntimeError."},
    {"reading", as_cfunction(dict_reading), METH_FASTCALL,
     "reading($self, /, *keys)\n--\n\n"
     "A block to use in `with`, shared with other readers, to read only: every chunk, or\n"
     "only the chunks that hold `keys`. Any change inside it raises RuntimeError and\n"
     "changes nothing."},
    {"__reduce__", dict_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickles by reference: rebuild with the handles of the shared state."},
    // COEXIST: the method, with its documentation, replaces the slot wrapper.
    {"__repr__", dict_repr_method, METH_NOARGS | METH_COEXIST, kReprDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dict_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "QuorDict(value=None, num_chunks=32, lock=None, per_chunk_lock=0, "
                    "chunk_ref_list=None, meta_ref=None, length=-1)\n--\n\n"
                    "A dictionary whose items are split by key hash over num_chunks chunks, each\n"
                    "held by its own Ray actor. Use it inside `with d:` blocks.")},
    {Py_tp_init, reinterpret_cast<void*>(dict_init)},
    {Py_tp_repr, reinterpret_cast<void*>(dict_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(dict_iter)},
    {Py_tp_methods, dict_methods},
    {Py_mp_subscript, reinterpret_cast<void*>(dict_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(dict_ass_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(dict_length)},
    {Py_sq_length, reinterpret_cast<void*>(dict_length)},
    {Py_sq_item, reinterpret_cast<void*>(dict_sq_item)},
    {Py_sq_contains, reinterpret_cast<void*>(dict_contains)},
    {Py_tp_richcompare, reinterpret_cast<void*>(dict_richcompare)},
    {Py_nb_or, reinterpret_cast<void*>(dict_or)},
    {Py_nb_inplace_or, reinterpret_cast<void*>(dict_inplace_or)},
    // The base's GC functions, filled in at creation: the class adds no fields,
    // but a type with Py_TPFLAGS_HAVE_GC must name its traverse explicitly.
    {Py_tp_traverse, nullptr},
    {Py_tp_clear, nullptr},
    {0, nullptr},
};

PyType_Spec dict_spec = {
    "quorlib.quordict.QuorDict",
    int(sizeof(QuorBaseObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    dict_slots,
};

}  // namespace

PyTypeObject* make_dict_type(PyObject* module, DictState& st) {
  for (PyType_Slot* slot = dict_slots; slot->slot; ++slot) {
    if (slot->slot == Py_tp_traverse) slot->pfunc = reinterpret_cast<void*>(st.base->base_type->tp_traverse);
    if (slot->slot == Py_tp_clear) slot->pfunc = reinterpret_cast<void*>(st.base->base_type->tp_clear);
  }
  Ref type = Ref::steal(reinterpret_cast<PyObject*>(make_type(module, &dict_spec, st.base->base_type)));
  auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
  check(st.base->register_type(cls, &st.ops));
  attach_rebuild(cls, module, &rebuild_def);
  add_mapping_methods(cls, st);
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace quor::dict
