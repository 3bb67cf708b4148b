// What the files of the core module share: its state, the base's table of
// internal operations and the helpers around them.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "quorlib/api.hpp"
#include "quorlib/index.hpp"
#include "quorlib/init_args.hpp"
#include "quorlib/int32.hpp"
#include "quorlib/module_setup.hpp"
#include "quorlib/names.hpp"
#include "quorlib/ref.hpp"
#include "quorlib/stdout.hpp"

namespace quor::core {

// A native class and the table its instances carry.
struct Registered {
  PyTypeObject* type;
  const BaseOps* ops;
};

// quorlib.quorbase's state; found from the module, or from any instance's type.
struct CoreState {
  Names names;
  PyTypeObject* chunk_type;        // QuorChunk
  PyTypeObject* base_type;         // QuorBase
  PyObject* write_back_error;      // WriteBackError
  bool assertions;                 // false under python -O
  std::vector<Registered>* registry;
};

extern PyModuleDef module_def;
extern const BaseOps base_ops;

inline CoreState& state_of_module(PyObject* module) {
  return *static_cast<CoreState*>(PyModule_GetState(module));
}
inline CoreState& state_of_type(PyTypeObject* type) {
  return state_of_module(module_by_def(type, &module_def));
}
inline CoreState& state_of(PyObject* self) { return state_of_type(Py_TYPE(self)); }

// Type creation, called from the module's exec.
PyTypeObject* make_chunk_type(PyObject* module);
PyTypeObject* make_base_type(PyObject* module);
Ref make_quor_meta_class(PyObject* module);
extern PyMethodDef unpickle_base_def;

// The table instances of `type` carry: that of its nearest registered class.
const BaseOps* ops_for(const CoreState& st, PyTypeObject* type);
// The nearest native class of `type` (QuorBase or a registered container), or null.
PyTypeObject* native_type_of(const CoreState& st, PyTypeObject* type);
int register_type(PyTypeObject* type, const BaseOps* ops);

// The base's construction from parsed arguments (BaseApi::init).
int base_init_from(PyObject* self, const InitArgs& args);

// Residency, throwing on error.
void fetch_chunk(PyObject* self, int32_t chunk_idx);
// Fetches every chunk from `first` to `last` (to the end when `last` is
// negative) that has no copy, in one wave.
void fetch_missing_chunks(PyObject* self, Py_ssize_t first = 0, Py_ssize_t last = -1);
// The version record: a new one for a new container (its cell in the control
// actor), and the one a block starts from (its grant's, or read from its cell).
void init_meta(PyObject* self, int32_t num_chunks);
void refresh_record(PyObject* self);
// A copy of the instance's record with the version of every chunk written in
// the block raised and, under a shared lock, their committed epochs and the
// record's epoch set to the block's (Note [Publishing the record is the commit point]).
Ref committing_record(const Names& n, QuorBaseObject* b, bool shared_lock);
// Stores the committing record as is, for a block without a shared lock.
void publish_without_lock(PyObject* self);
bool any_written(const QuorBaseObject* b) noexcept;
// Chunk `chunk_idx`'s handle (its slot), and a requester id of the block held.
Ref chunk_handle(PyObject* self, Py_ssize_t chunk_idx);
Ref block_requester_id(PyObject* self, Py_ssize_t chunk_idx);
// Settles a copy's write-back state from the contents sent for it.
void mark_sent(QuorBaseObject* b, Py_ssize_t chunk_idx, PyObject* contents);
// What a failed write raised, and a short description of it that names no
// stored value (Note [Failures name no stored value]); empty when the write
// succeeded.
struct WriteFailure {
  Ref error;
  Ref text;
  explicit operator bool() const noexcept { return bool(error); }
};
// A resident chunk's write, in two steps, so that the writes of several
// chunks go out in one wave: send_write sends the call (nothing is sent for a
// chunk without a copy), finish_write waits for it; a failed write is
// returned, not raised, and its copy dropped.
struct PendingWrite {
  Py_ssize_t chunk_idx;
  Ref call;             // the call's reference
  WriteFailure failure;
};
PendingWrite send_write(PyObject* self, Py_ssize_t chunk_idx);
WriteFailure finish_write(PyObject* self, PendingWrite& write);
// Note [Failures name no stored value]
// Ray's error for a chunk it cannot serialise holds the repr of the whole
// chunk: every key and value, secrets and megabytes included. Messages and
// printed lines name a failure by its class and a description from
// quorlib._failures (the key or position whose value cannot be pickled and
// that value's type, or the first line of a remote error, cut short); the
// error itself stays the __cause__. `contents`: the chunk, when sending its
// write failed; null for an error that the call returned.
Ref describe_failure(const Names& n, PyObject* error, PyObject* contents);
// The rate-limited line that reports a failed write that is not raised (at
// most one a second).
void report_write_failure(const Names& n, QuorBaseObject* b, int32_t chunk_idx,
                          const WriteFailure& failure);
// Replaces the instance's version record by `fresh`, dropping stale copies.
void adopt_record(PyObject* self, PyObject* fresh);
// Keeps `data` as chunk `chunk_idx`'s copy, unless another thread made one
// while it was waited for.
void keep_fetched(QuorBaseObject* b, Py_ssize_t chunk_idx, PyObject* data);

// Chunks that travel with the lock (Note [Commits travel with the lock]).
// The copies this instance holds, resident or carried: chunk index -> version
// (None without a record).
Ref held_copies(PyObject* self);
// Keeps a grant's chunks that are at the version the instance's record names.
void adopt_carried(PyObject* self, PyObject* chunks);
// Makes the carried contents of chunk `chunk_idx` its copy; false when none is
// carried at the version the record names (the chunk is then fetched).
bool take_carried(PyObject* self, Py_ssize_t chunk_idx);
void forget_carried(QuorBaseObject* b, Py_ssize_t chunk_idx);
void forget_all_carried(QuorBaseObject* b) noexcept;
// Whether the calling thread is inside a block of `b` with a lock grant: its
// chunk calls then carry the grant's epoch.
bool holds_block(const QuorBaseObject* b) noexcept;
// One wave of rollback(epoch, committed[i]) to every chunk's slot (or to the
// chunks listed in `only`), all submitted before one wait; returns the
// committed lengths.
Ref rollback_wave(PyObject* self, PyObject* epoch, PyObject* committed,
                  const std::vector<Py_ssize_t>* only = nullptr);
void drop_all_copies(QuorBaseObject* b);
// Drops every copy that may differ from the last commit (changed, or holding
// values that can change in place); clean copies stay.
void drop_unclean_copies(QuorBaseObject* b);

// The lock's release: `record` is the record as this block committed or read
// it, left with the lock for the next holder, and `chunks` what it committed;
// None when the block did not end cleanly. `aborted`: the block may have left
// uncommitted writes behind.
void release_grant(PyObject* self, PyObject* grant, bool aborted, PyObject* record = Py_None,
                   PyObject* chunks = Py_None);
// A block's state goes, whatever it came to; the container's hook is told.
void end_block(QuorBaseObject* b) noexcept;
// The abort of a block: nothing uncommitted may stay, locally or in the slots.
void roll_back_own_writes(PyObject* self);

// What ending a block came to.
struct BlockOutcome {
  bool committed = false;  // its writes are what everyone reads (or it wrote nothing)
  bool released = false;   // the shared lock was given back
  bool unknown = false;    // interrupted each time its outcome was waited for
  Ref interrupt;           // raised once the block's end is done
  Ref flush_error;         // what writing back raised beyond the failures it recorded
  Ref commit_error;        // why it was not committed, when no chunk write failed
  Ref release_error;
  Ref cleanup_error;
};
// Sends the block's commit and release (quorlib.quorblock) and applies the
// outcome: a committed block's record is adopted, a refused one's failures
// are kept in block_failures.
void commit_block(PyObject* self, BlockOutcome& out);
// The end of a block whose body raised (Note [A block that raises commits nothing]).
void discard_block(PyObject* self, BlockOutcome& out);

// Note [Dead services are named]
// When Ray reports that an actor died, the holder is told which of the
// container's actors it was (a RuntimeError chained from Ray's error);
// Ray's exception types are looked up through the module's `ray` at each use.
// Any other pending error is rethrown unchanged.
[[noreturn]] void rethrow_naming_death(PyObject* self, const char* what);
template <class F>
auto named_death(PyObject* self, const char* what, F&& step) -> std::invoke_result_t<F> {
  try {
    return step();
  } catch (const PyErrSet&) {
    rethrow_naming_death(self, what);
  }
}

// What a block took (Note [What a block took]): checked before anything is
// taken (TypeError for what is not a Scope, ValueError for one of another
// container's chunks), set from the request's scope (None: every chunk) when
// its grant arrives, cleared at its end.
void check_scope(PyObject* self, PyObject* scope);
void take_scope(PyObject* self, PyObject* scope);
void clear_scope(QuorBaseObject* b) noexcept;
// Whether the block holding `b` took chunk `chunk_idx` (every chunk unless it
// took some).
bool takes_chunk(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept;
// The chunks a rollback of the block's own writes may touch: those it took.
std::vector<Py_ssize_t> taken_chunks(const QuorBaseObject* b);
// Scope(chunks, shared, num_chunks) of `self`, and the block object that holds
// `self` for it.
Ref new_scope(PyObject* self, PyObject* chunks, bool shared);
Ref scoped_block(PyObject* self, PyObject* chunks, bool shared);
[[noreturn]] void refuse_chunk(PyObject* self, Py_ssize_t chunk_idx);
// BaseApi's refusals (0, or -1 with RuntimeError set).
int refuse_change(PyObject* self, const char* what);
int refuse_key(PyObject* self, PyObject* key, Py_ssize_t chunk_idx);
int refuse_partial(PyObject* self, const char* what);
PyObject* base_reading(PyObject* self, PyObject*);

// Write-back states, one per chunk, sized with chunk_list (Note [Which copies
// may differ from their actor] in api.hpp). clear_changed forgets what is known.
void reset_changed(QuorBaseObject* b, Py_ssize_t size);
void clear_changed(QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept;
bool is_changed(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept;  // through the container
bool is_clean(const QuorBaseObject* b, Py_ssize_t chunk_idx) noexcept;
void free_changed(QuorBaseObject* b) noexcept;  // and the written marks
// Written-in-this-block marks, cleared and sized at each __lock__.
void reset_written(QuorBaseObject* b, Py_ssize_t size);
int mark_changed_slow(PyObject* self, Py_ssize_t chunk_idx);

// Writes back the resident chunks that may differ from their actors (only
// those changed through the container when `changed_only`). Unless
// `report_only`, raises WriteBackError naming each failed chunk and its cause;
// inside a block the failures are also kept for __unlock__.
void flush_resident(PyObject* self, bool changed_only, bool report_only);
// The same in two steps: every write sent, then every write waited for.
std::vector<PendingWrite> send_resident_writes(PyObject* self, bool changed_only);
void finish_resident_writes(PyObject* self, std::vector<PendingWrite>& writes, bool report_only);

// Python-visible methods of QuorBase, defined across the files of the module.
extern PyMethodDef base_locking_methods[];
extern PyMethodDef base_pickle_methods[];
void base_finalize(PyObject* self);
PyObject* base_flush_chunks(PyObject* self, PyObject*);

inline void check_assertion(const CoreState& st, bool condition, const char* message = nullptr) {
  quor::check_assertion(st.assertions, condition, message);
}

}  // namespace quor::core
