// QuorList as an object: allocation, construction (a new list cut into
// chunks, or the adoption of an existing list's handles), cycle collection,
// release and the class itself. The pickled and printed forms are in
// list_transfer.cpp.
#include <algorithm>

#include "list.hpp"

namespace quor::list {
namespace {

PyObject* list_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guard([&]() -> PyObject* {
    const ListState& st = state_of_type(type);
    Ref self = Ref::check(st.base->base_type->tp_new(type, args, kwds));
    QuorListObject* l = as_list(self.get());
    l->meta = Py_NewRef(Py_None);
    l->counts = nullptr;
    l->counts_total = -1;
    l->last_used = -1;
    l->block_thread = 0;
    l->counts_changed = false;
    return self.release();
  });
}

// Piece `i` of an initial value of `size` elements cut by `capacity`: the
// positions i*capacity up to (i+1)*capacity, clipped to the value. A capacity
// of 0 or less gives every chunk nothing.
struct Piece {
  Py_ssize_t begin, end;
};
Piece piece_of(Py_ssize_t size, int32_t capacity, int32_t i) {
  if (capacity <= 0) return {0, 0};
  long long begin = static_cast<long long>(i) * capacity;
  long long end = begin + capacity;
  begin = std::min<long long>(begin, size);
  end = std::min<long long>(end, size);
  return {static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end)};
}

// The usage-count proxy and the last-chunk proxy of a new list, holding the
// counts that the chunk-list builder placed.
void create_usage_proxies(const ListState& st, PyObject* self, int32_t num_chunks, PyObject* value) {
  const Names& n = st.names;
  ListChunkMetaObject* meta = record_of(self, "max_element_per_chunk");
  int32_t capacity = meta->max_element_per_chunk;
  Py_ssize_t size = value == Py_None ? 0 : PyList_GET_SIZE(value);
  Ref counts = Ref::check(PyList_New(num_chunks));
  int32_t last_used = 0;
  for (int32_t i = 0; i < num_chunks; ++i) {
    Piece p = piece_of(size, capacity, i);
    if (p.end > p.begin) last_used = i;
    PyList_SET_ITEM(counts.get(), i, Ref::check(PyLong_FromSsize_t(p.end - p.begin)).release());
  }

  Ref owner = Ref::borrow(as_base(self)->lock);
  Ref usage_proxy = n.new_proxy(counts.get(), Py_None, owner.get());
  set_field(record_of(self, "chunk_used")->chunk_used, usage_proxy.get());

  Ref last_value = new_int(last_used);
  Ref last_proxy = n.new_proxy(last_value.get(), Py_None, owner.get());
  set_field(record_of(self, "last_used_chunk")->last_used_chunk, last_proxy.get());
}

int list_init_new_chunk_list(PyObject* self, int32_t num_chunks, PyObject* value) {
  return guard([&] {
    const ListState& st = state_of(self);
    check_assertion(st, value == Py_None || PyList_Check(value), "Value must be a list");
    int32_t capacity = record_of(self, "max_element_per_chunk")->max_element_per_chunk;
    Py_ssize_t size = value == Py_None ? 0 : PyObject_Size(value);
    if (size < 0) throw PyErrSet{};
    if (size > INT32_MAX) raise(PyExc_OverflowError, kIntTooLarge);

    Ref chunk_refs = Ref::check(PyList_New(0));
    for (int32_t i = 0; i < std::max(num_chunks, 0); ++i) {
      Piece p = piece_of(size, capacity, i);
      Ref piece = value == Py_None ? Ref::check(PyList_New(0))
                                   : Ref::check(PySequence_GetSlice(value, p.begin, p.end));
      Ref handle = new_chunk_handle(st.names, st.base, self, piece.get());
      check(PyList_Append(chunk_refs.get(), handle.get()));
    }
    set_field(as_base(self)->chunk_ref_list, chunk_refs.get());
    // The whole count, placed or not: the next read of the counts corrects it.
    as_base(self)->length = static_cast<int32_t>(size);
    return 0;
  });
}

// Note [One record per list]
// A new list writes the handles of its own usage proxies into the record it
// is given. A record that already holds handles belongs to another list (the
// README recommends passing a record for the capacity, so reusing one is
// likely): rebinding it would point the first list at the second one's
// counts. Such a record is left alone and the new list gets one of its own,
// of the same class, with the same capacity and instance attributes.
Ref record_for_new_list(const ListState& st, PyObject* given) {
  ListChunkMetaObject* m = as_meta(given);
  if (m->chunk_used == Py_None && m->last_used_chunk == Py_None) return Ref::borrow(given);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(given));
  Ref fresh = call_method(reinterpret_cast<PyObject*>(st.meta_type), st.names.str___new__, type);
  as_meta(fresh.get())->max_element_per_chunk = m->max_element_per_chunk;
  copy_instance_dict(given, fresh.get(), nullptr, nullptr, st.names.str___dict__, st.names.str_update);
  return fresh;
}

const InitSignature kListSignature = {
    {"num_chunks", "value", "lock", "per_chunk_lock", "chunk_ref_list", "meta_ref", "length",
     "meta", nullptr},
    32,
    &PyList_Type,
};

int list_init(PyObject* self, PyObject* args, PyObject* kwds) {
  return guard([&] {
    const ListState& st = state_of(self);
    PyObject* meta = nullptr;
    InitArgs parsed = parse_init_args(args, kwds, kListSignature, &meta);
    if (!meta) meta = Py_None;
    if (meta != Py_None && !PyObject_TypeCheck(meta, st.meta_type))
      raise_format(PyExc_TypeError, "Argument 'meta' has incorrect type (expected %s, got %s)",
                   st.meta_type->tp_name, Py_TYPE(meta)->tp_name);

    // An explicit None gets a record of its own, like an omitted meta: a list
    // without one would fail on every later operation.
    Ref record = meta == Py_None ? call(reinterpret_cast<PyObject*>(st.meta_type))
                                 : Ref::borrow(meta);
    if (parsed.chunk_ref_list == Py_None && meta != Py_None) record = record_for_new_list(st, meta);
    construct_list(st, self, parsed, record.get());
    return 0;
  });
}

// The base's traverse, clear and release, with the record as the one field
// the list adds. QuorBase is found as the base of the native list class in
// the instance's solid-base chain, without the module's state: the collector
// runs these also after the interpreter's teardown has cleared the classes'
// MROs and modules.
void list_dealloc(PyObject* self);

PyTypeObject* base_type_of(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  while (type->tp_dealloc != list_dealloc) type = type->tp_base;
  return type->tp_base;
}

int list_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_list(self)->meta);
  Py_VISIT(as_list(self)->counts);
  return base_type_of(self)->tp_traverse(self, visit, arg);
}

int list_clear_refs(PyObject* self) {
  set_field(as_list(self)->meta, Py_None);
  forget_counts(self);
  return base_type_of(self)->tp_clear(self);
}

// The base's finaliser writes resident chunks back and needs the object
// whole, so it runs first; the trashcan frees a deep chain of lists holding
// lists one level at a time instead of recursing.
void list_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, list_dealloc)
  PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) == 0) {  // else resurrected
    PyObject_GC_UnTrack(self);
    PyTypeObject* base_type = base_type_of(self);
    Py_CLEAR(as_list(self)->meta);
    forget_counts(self);
    base_type->tp_dealloc(self);
  }
  Py_TRASHCAN_END
}

PyMethodDef list_methods[] = {
    // QuorList[int] in annotations evaluated at run time, as list[int] works.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "See PEP 585: QuorList[T] for type annotations."},
    {"_fetch_chunk_usage_and_length", as_cfunction(list_fetch_usage_method),
     METH_VARARGS | METH_KEYWORDS,
     "_fetch_chunk_usage_and_length(index) -> list\n\n"
     "Reads the per-chunk counts, records their sum as the length and refuses a non-negative "
     "index at or past it."},
    {"append", as_cfunction(list_append), METH_VARARGS | METH_KEYWORDS,
     "append($self, /, item)\n--\n\nAdds item at the end. OverflowError when every chunk from the last one "
     "in use on is full."},
    {"extend", as_cfunction(list_extend), METH_VARARGS | METH_KEYWORDS,
     "extend($self, /, items)\n--\n\nAppends the items one by one; stops at the first refused append."},
    {"insert", as_cfunction(list_insert), METH_VARARGS | METH_KEYWORDS,
     "insert($self, /, index, item)\n--\n\nInserts item before the element at index, inside that "
     "element's chunk. The index must name an existing element."},
    {"pop", as_cfunction(list_pop), METH_VARARGS | METH_KEYWORDS,
     "pop($self, /, index=-1)\n--\n\nRemoves and returns the element at index; later chunks each pass "
     "their first element back so that only the last chunk in use shrinks."},
    {"remove", as_cfunction(list_remove), METH_VARARGS | METH_KEYWORDS,
     "remove($self, /, item)\n--\n\nRemoves the first element equal to item (ValueError if none)."},
    {"clear", list_clear, METH_NOARGS,
     "clear($self, /)\n--\n\nEmpties every chunk (fetching each) and resets the counts."},
    {"index", as_cfunction(list_index), METH_VARARGS | METH_KEYWORDS,
     "index($self, /, item, start=0, end=-1)\n--\n\n"
     "Position of the first element equal to item, searching whole chunks from chunk `start` "
     "up to the last chunk in use.\n\n"
     "`start` is a chunk index and the position returned counts from the first element of "
     "chunk `start`. A negative `start` counts chunks from the end of the chunk list, as "
     "list.index counts positions from the end (start + num_chunks, and chunk 0 below "
     "-num_chunks); the search never wraps around. `end` bounds the number of elements "
     "passed, checked between chunks; -1 means no bound. ValueError when not found."},
    {"__reduce__", list_reduce, METH_NOARGS,
     "Pickled form: QuorList.rebuild with the list's references, never its contents."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot list_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "QuorList(num_chunks=32, value=None, lock=None, per_chunk_lock=0, "
                    "chunk_ref_list=None, meta_ref=None, length=-1, meta=None)\n--\n\n"
                    "Distributed list: consecutive chunks, each held by its own proxy actor, with "
                    "the per-chunk counts shared through a ListChunkMeta record.")},
    {Py_tp_new, reinterpret_cast<void*>(list_new)},
    {Py_tp_init, reinterpret_cast<void*>(list_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(list_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(list_clear_refs)},
    {Py_tp_dealloc, reinterpret_cast<void*>(list_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(list_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(list_iter)},
    {Py_tp_methods, list_methods},
    {Py_mp_length, reinterpret_cast<void*>(list_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(list_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(list_ass_subscript)},
    {Py_sq_length, reinterpret_cast<void*>(list_length)},
    {Py_sq_item, reinterpret_cast<void*>(list_sq_item)},
    {Py_sq_contains, reinterpret_cast<void*>(list_contains)},
    {Py_tp_richcompare, reinterpret_cast<void*>(list_richcompare)},
    {Py_nb_add, reinterpret_cast<void*>(list_add)},
    {Py_nb_multiply, reinterpret_cast<void*>(list_multiply)},
    {Py_nb_inplace_add, reinterpret_cast<void*>(list_inplace_add)},
    {Py_nb_inplace_multiply, reinterpret_cast<void*>(list_inplace_multiply)},
    {0, nullptr},
};

}  // namespace

void construct_list(const ListState& st, PyObject* self, const InitArgs& args, PyObject* record) {
  // Attached before the base runs: the chunk-list builder reads the capacity.
  set_field(as_list(self)->meta, record);
  check(st.base->init(self, args));
  // Adopting an existing list: its record already holds the usage proxies.
  if (args.chunk_ref_list != Py_None) return;
  create_usage_proxies(st, self, args.num_chunks, args.value);
}

PyTypeObject* make_list_type(PyObject* module, ListState& st) {
  static PyType_Spec type_spec = {"quorlib.quorlist.QuorList", sizeof(QuorListObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                                  list_slots};
  Ref type = Ref::steal(reinterpret_cast<PyObject*>(make_type(module, &type_spec, st.base->base_type)));
  auto* list_type = reinterpret_cast<PyTypeObject*>(type.get());
  add_documented_init<list_init>(list_type, kInitDoc);
  attach_rebuild(list_type, module, &rebuild_def);
  add_sequence_methods(list_type, st);
  st.ops = *st.base->base_ops;
  st.ops.init_new_chunk_list = list_init_new_chunk_list;
  st.ops.block_started = list_block_started;
  st.ops.block_ended = list_block_ended;
  st.ops.commit_cells = list_commit_cells;
  check(st.base->register_type(list_type, &st.ops));
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace quor::list
