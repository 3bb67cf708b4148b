// The layout of the core's objects and the table of internal operations,
// shared by quorbase and the two container modules. quorbase publishes a
// BaseApi in the capsule "quorlib.quorbase._C_API"; the container modules
// import it once at load time (import_base_api) and keep the module alive.
#pragma once

#include <cstdint>

#include "quorlib/init_args.hpp"
#include "quorlib/names.hpp"
#include "quorlib/ref.hpp"

namespace quor {

inline constexpr unsigned kApiVersion = 8;  // bump on any layout change
inline constexpr const char* kApiCapsuleName = "quorlib.quorbase._C_API";

struct QuorChunkObject {
  PyObject_HEAD
  PyObject* ref;    // the chunk's proxy actor handle
  PyObject* cache;  // the chunk's local cache object, carried unchanged
};

struct BaseOps;

// Note [Fields of QuorBase]
// The twelve fields are the container's state; the rest is bookkeeping of this
// implementation:
//  - ops: the table of the instance's native class, attached at allocation;
//  - changed/changed_len: one write-back state per chunk (ChunkState below):
//    whether the resident copy may differ from what its actor holds. A block's
//    end and flush() skip the clean copies; the finaliser writes back only the
//    chunks changed through the container, because it runs without the lock and
//    an unchanged copy may be older than what other holders wrote;
//  - lock_owner/lock_held: the thread that holds the instance through
//    __lock__, so that __unlock__ by anyone else is refused before any write
//    and a nested __lock__ by the holder is refused instead of waiting forever;
//  - grant/epoch: the shared lock's grant for the block held (None and 0
//    outside a block). The epoch goes with every chunk call of the block;
//  - written/written_len: one "written back in this block" mark per chunk, the
//    chunks whose commit epoch the block's record names;
//  - block_failures: (chunk index, exception, description) for each write of the block
//    that failed, or None outside a block;
//  - block_raised: the body of the `with` block raised, so its end commits
//    nothing (set by __exit__, read by __unlock__);
//  - block_kind/scope/scope_len: what the block holding the instance took
//    (BlockKind below) and, for a block on some chunks, one "taken" mark per
//    chunk. Every other chunk is refused to that block.
// Note [Which copies may differ from their actor]
// A copy is clean when it is what its actor holds (just fetched or written
// back) and holds nothing but values of exactly None, bool, int, float,
// complex, str, bytes, or tuples and frozensets of those: then nothing but the
// container's own operations can change it, and every one of them marks the
// chunk changed. A copy holding anything else may have been changed in place
// (`d["log"].append(x)`) without the container seeing it, so it stays "may
// differ" and is written back by every block that has it resident. Zero is the
// conservative state, so a mark array grown or reset by any path starts there.
enum ChunkState : uint8_t {
  kMayDiffer = 0,  // unknown, or holds values that can change in place
  kChanged = 1,    // changed through the container since its last write-back
  kClean = 2,      // identical to what its actor holds, immutable values only
};

// What a block takes of its container (Note [Blocks side by side] in
// quorlock), as flags: none for `with c:` and outside any block (everything).
enum BlockKind : uint8_t {
  kEveryChunk = 0,
  kReadOnly = 1,    // `c.reading()`: shared with other readers, to read only
  kSomeChunks = 2,  // `d.locking(*keys)`, `d.reading(*keys)`: the chunks of its keys
};

struct QuorBaseObject {
  PyObject_HEAD
  const BaseOps* ops;
  PyObject* chunk_ref_list;      // list of QuorChunk, or None
  PyObject* chunk_list;          // list: resident copy per chunk or None; or None
  int32_t num_chunks;
  PyObject* lock;                // shared QuorLock handle, None for no shared lock
  PyObject* local_lock;          // threading.Lock private to this instance
  int32_t length;                // element count as last recorded, -1 unknown
  int32_t per_chunk_lock;        // stored only
  PyObject* quor_free_to_use;    // asyncio.Event, created set
  PyObject* quor_inval_threads;  // list of None/thread per chunk, or None
  PyObject* quor_meta;           // this instance's QuorMeta copy, or None
  PyObject* quor_meta_ref;       // proxy actor holding the shared QuorMeta
  int32_t last_msg_time;         // whole seconds of the last eviction-failure line
  uint8_t* changed;
  Py_ssize_t changed_len;
  unsigned long lock_owner;
  int lock_held;
  PyObject* weakreflist;
  PyObject* grant;
  int64_t epoch;
  uint8_t* written;
  Py_ssize_t written_len;
  PyObject* block_failures;
  PyObject* carried;  // chunk index -> CarriedChunk from a grant, or None
  int block_raised;
  uint8_t block_kind;  // BlockKind flags
  uint8_t* scope;
  Py_ssize_t scope_len;
};

// The hooks a container gives the core. A container copies the base's table,
// replaces what it must and registers it for its type; every instance carries
// the table of its native class. Each returns 0 (or a new reference) on
// success and -1 (or null) with a Python error set.
struct BaseOps {
  // Fills chunk_ref_list (and length) for a new container. Replaced by each container.
  int (*init_new_chunk_list)(PyObject* self, int32_t num_chunks, PyObject* value);
  // Optional (null: nothing to do): a block of this thread has its grant and
  // its record, and its body is about to run.
  int (*block_started)(PyObject* self);
  // Optional: the block is over, whatever it came to.
  void (*block_ended)(PyObject* self);
  // Optional: what the block commits beside its chunks, as {cell handle:
  // value} (a list's counts), or None when there is nothing.
  PyObject* (*commit_cells)(PyObject* self);
};

struct BaseApi {
  unsigned version;
  Py_ssize_t base_basicsize;
  Py_ssize_t chunk_basicsize;
  PyTypeObject* base_type;
  PyTypeObject* chunk_type;
  const BaseOps* base_ops;  // the table derived types copy, then override
  // Makes instances of `type` (and of its interpreter subclasses) carry `ops`.
  int (*register_type)(PyTypeObject* type, const BaseOps* ops);
  // The base's construction after a container's own pre-step: checks, the
  // version record, the chunks (through ops->init_new_chunk_list or adopted),
  // the locks. 0 or -1.
  int (*init)(PyObject* self, const InitArgs& args);
  // Marks chunk `chunk_idx` changed where the inline mark_changed cannot; 0 or -1.
  int (*mark_changed)(PyObject* self, Py_ssize_t chunk_idx);
  // Makes chunk `chunk_idx` resident (it must not be); 0 or -1.
  int (*fetch_chunk)(PyObject* self, int32_t chunk_idx);
  // Makes every chunk from `first` to `last` (to the end when `last` is
  // negative) resident, fetching what is missing in one wave; 0 or -1.
  int (*fetch_chunks)(PyObject* self, Py_ssize_t first, Py_ssize_t last);
  // Whether the calling thread is inside a block of `self` with a lock grant.
  bool (*holds_block)(PyObject* self);
  // Inside the caller's reading() block: raises that `what` would change the
  // container (-1); 0 elsewhere.
  int (*refuse_change)(PyObject* self, const char* what);
  // Inside the caller's block on some chunks: raises that `key`'s chunk
  // `chunk_idx` is not taken, when it is not (-1); 0 otherwise.
  int (*refuse_key)(PyObject* self, PyObject* key, Py_ssize_t chunk_idx);
  // Inside the caller's block on some chunks: raises that `what` needs every
  // chunk (-1); 0 elsewhere.
  int (*refuse_partial)(PyObject* self, const char* what);
  // A block object (`with` it) that takes the chunks listed in `chunks`, a
  // tuple of chunk indices, to change them or, `shared`, to read them; a new
  // reference or null.
  PyObject* (*block_on_chunks)(PyObject* self, PyObject* chunks, bool shared);
};

inline QuorBaseObject* as_base(PyObject* self) noexcept {
  return reinterpret_cast<QuorBaseObject*>(self);
}

// Hot path: a plain store when the mark array covers the index; `api_of()`
// gives the API (from the caller's module state) only for the rare rest.
template <class ApiOf>
inline void mark_changed(PyObject* self, Py_ssize_t chunk_idx, ApiOf&& api_of) {
  QuorBaseObject* b = as_base(self);
  if (chunk_idx >= 0 && chunk_idx < b->changed_len) {
    b->changed[chunk_idx] = kChanged;
    return;
  }
  check(api_of()->mark_changed(self, chunk_idx));
}

// The scope checks of a block that took less than everything cost one
// comparison when it took everything; `api_of()` gives the API only then.
template <class ApiOf>
inline void require_change(PyObject* self, const char* what, ApiOf&& api_of) {
  if (as_base(self)->block_kind & kReadOnly) check(api_of()->refuse_change(self, what));
}

template <class ApiOf>
inline void require_key_chunk(PyObject* self, PyObject* key, Py_ssize_t chunk_idx, ApiOf&& api_of) {
  QuorBaseObject* b = as_base(self);
  if ((b->block_kind & kSomeChunks) && !(chunk_idx < b->scope_len && b->scope[chunk_idx]))
    check(api_of()->refuse_key(self, key, chunk_idx));
}

template <class ApiOf>
inline void require_every_chunk(PyObject* self, const char* what, ApiOf&& api_of) {
  if (as_base(self)->block_kind & kSomeChunks) check(api_of()->refuse_partial(self, what));
}

// The handle of a new chunk of `self` holding `contents`: a slot of the pool
// with the directory cache, owned by the container's control actor, paired
// with a fresh local cache object.
inline Ref new_chunk_handle(const Names& n, const BaseApi* api, PyObject* self, PyObject* contents) {
  Ref directory_class = n.lookup(n.str_QuorCacheDirMSI);
  Ref owner = Ref::borrow(as_base(self)->lock);
  Ref proxy = n.new_proxy(contents, directory_class.get(), owner.get());
  Ref cache_class = n.lookup(n.str_QuorCacheLocalMSI);
  Ref cache = call(cache_class.get());
  return call(reinterpret_cast<PyObject*>(api->chunk_type), proxy.get(), cache.get());
}

// Imports quorbase, checks the layout and returns its API; `keep` receives the
// module so that the pointers stay valid for as long as the caller holds it.
inline const BaseApi* import_base_api(Ref& keep) {
  keep = Ref::check(PyImport_ImportModule("quorlib.quorbase"));
  auto* api = static_cast<const BaseApi*>(PyCapsule_Import(kApiCapsuleName, 0));
  if (!api) throw PyErrSet{};
  if (api->version != kApiVersion || api->base_basicsize != (Py_ssize_t)sizeof(QuorBaseObject) ||
      api->chunk_basicsize != (Py_ssize_t)sizeof(QuorChunkObject)) {
    raise_format(PyExc_ImportError,
                 "quorlib.quorbase API mismatch: version %u (expected %u), "
                 "layout %zd/%zd (expected %zd/%zd)",
                 api->version, kApiVersion, api->base_basicsize, api->chunk_basicsize,
                 (Py_ssize_t)sizeof(QuorBaseObject), (Py_ssize_t)sizeof(QuorChunkObject));
  }
  return api;
}

}  // namespace quor
