// What a block took of its container, and the refusals of what lies outside.
//
// Note [What a block took]
// A grant is for the scope its request named: every chunk (`with c:`), the
// chunks of some keys (`d.locking(*keys)`), or every chunk, shared with other
// readers, to read only (`c.reading()`). The instance keeps what its block
// took from the grant to the block's end. Every chunk call of the block names
// a chunk it took, whatever the operation: a chunk outside the scope is
// refused before any call, because a block that read, wrote or rolled back a
// chunk another block holds would fence that block out with its epoch. The
// containers refuse earlier, with the key or the operation named. In a
// reading block every change is refused before anything changes, and its
// end commits nothing.
#include "core.hpp"

namespace quor::core {
namespace {

Ref type_name(PyObject* self) {
  return get_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), state_of(self).names.str___name__);
}

}  // namespace

void check_scope(PyObject* self, PyObject* scope) {
  if (scope == Py_None) return;
  const Names& n = state_of(self).names;
  Ref scope_class = n.lookup(n.str_Scope);
  if (!check(PyObject_IsInstance(scope, scope_class.get())))
    raise_format(PyExc_TypeError, "scope must be a quorlib.messages.Scope or None, not %.200s",
                 Py_TYPE(scope)->tp_name);
  QuorBaseObject* b = as_base(self);
  Ref count = get_attr(scope, n.str_num_chunks);
  if (as_int32(count.get()) != b->num_chunks)
    raise_format(PyExc_ValueError, "a scope of %S chunks for a container of %d", count.get(),
                 int(b->num_chunks));
  Ref chunks = get_attr(scope, n.str_chunks);
  if (chunks.get() == Py_None) return;
  Ref listed = Ref::check(PySequence_Fast(chunks.get(), "a scope's chunks must be a sequence"));
  for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(listed.get()); ++k) {
    PyObject* index = PySequence_Fast_GET_ITEM(listed.get(), k);
    const int32_t i = as_int32(index);
    if (i < 0 || i >= b->num_chunks)
      raise_format(PyExc_ValueError, "a scope names chunk %d of a container of %d", int(i),
                   int(b->num_chunks));
  }
}

void take_scope(PyObject* self, PyObject* scope) {
  QuorBaseObject* b = as_base(self);
  clear_scope(b);
  if (scope == Py_None) return;
  const Names& n = state_of(self).names;
  Ref shared = get_attr(scope, n.str_shared);
  const uint8_t reads = check(PyObject_IsTrue(shared.get())) ? kReadOnly : kEveryChunk;
  b->block_kind = reads;
  Ref chunks = get_attr(scope, n.str_chunks);
  if (chunks.get() == Py_None) return;
  Ref listed = Ref::check(PySequence_Fast(chunks.get(), "a scope's chunks must be a sequence"));
  const Py_ssize_t size = b->num_chunks > 0 ? b->num_chunks : 0;
  auto* taken = static_cast<uint8_t*>(PyMem_Calloc(size > 0 ? size : 1, 1));
  if (!taken) throw std::bad_alloc();
  b->scope = taken;
  b->scope_len = size;
  b->block_kind = reads | kSomeChunks;
  for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(listed.get()); ++k) {
    const int32_t i = as_int32(PySequence_Fast_GET_ITEM(listed.get(), k));
    if (i >= 0 && i < size) taken[i] = 1;  // checked before the lock was taken
  }
}

void clear_scope(QuorBaseObject* b) noexcept {
  PyMem_Free(b->scope);
  b->scope = nullptr;
  b->scope_len = 0;
  b->block_kind = kEveryChunk;
}

bool takes_chunk(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept {
  return !(b->block_kind & kSomeChunks) ||
         (chunk_idx >= 0 && chunk_idx < b->scope_len && b->scope[chunk_idx]);
}

std::vector<Py_ssize_t> taken_chunks(const QuorBaseObject* b) {
  std::vector<Py_ssize_t> taken;
  const Py_ssize_t count = PyList_Check(b->chunk_ref_list) ? PyList_GET_SIZE(b->chunk_ref_list) : 0;
  for (Py_ssize_t i = 0; i < count; ++i)
    if (takes_chunk(b, i)) taken.push_back(i);
  return taken;
}

Ref new_scope(PyObject* self, PyObject* chunks, bool shared) {
  const Names& n = state_of(self).names;
  Ref scope_class = n.lookup(n.str_Scope);
  Ref count = new_int(as_base(self)->num_chunks);
  return call(scope_class.get(), chunks, shared ? Py_True : Py_False, count.get());
}

Ref scoped_block(PyObject* self, PyObject* chunks, bool shared) {
  const Names& n = state_of(self).names;
  Ref scope = new_scope(self, chunks, shared);
  Ref block_class = n.lookup(n.str_ScopedBlock);
  return call(block_class.get(), self, scope.get());
}

[[noreturn]] void refuse_chunk(PyObject* self, Py_ssize_t chunk_idx) {
  Ref name = type_name(self);
  raise_format(PyExc_RuntimeError, "chunk %zd of this %U is not locked by this block", chunk_idx,
               name.get());
}

int refuse_change(PyObject* self, const char* what) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    if (!(b->block_kind & kReadOnly) || !holds_block(b)) return 0;
    Ref name = type_name(self);
    raise_format(PyExc_RuntimeError, "%s would change this %U, and a reading() block only reads",
                 what, name.get());
  });
}

int refuse_key(PyObject* self, PyObject* key, Py_ssize_t chunk_idx) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    if (takes_chunk(b, chunk_idx) || !holds_block(b)) return 0;
    raise_format(PyExc_RuntimeError, "key %R: its chunk is not locked by this block", key);
  });
}

int refuse_partial(PyObject* self, const char* what) {
  return guard([&] {
    QuorBaseObject* b = as_base(self);
    if (!(b->block_kind & kSomeChunks) || !holds_block(b)) return 0;
    Ref name = type_name(self);
    raise_format(PyExc_RuntimeError,
                 "%s needs every chunk of this %U, and this block takes only the chunks of its keys",
                 what, name.get());
  });
}

PyObject* base_reading(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* { return scoped_block(self, Py_None, true).release(); });
}

}  // namespace quor::core
