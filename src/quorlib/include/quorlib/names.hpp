// The interned strings every module keeps in its state: method and attribute
// names it calls or reads, and the module-level names it looks up at each use.
// Each is the member str_<name>. One list for the three modules; a module simply leaves some of them unused.
#pragma once

#include "quorlib/calls.hpp"

namespace quor {

#define QUOR_INTERNED_NAMES(X)                                                              \
  X(get) X(set) X(get_nocache) X(set_nocache) X(remote) X(append) X(pop) X(insert)         \
  X(index) X(clear) X(keys) X(values) X(items) X(update) X(write) X(flush) X(acquire)       \
  X(release) X(time) X(sleep) X(is_initialized) X(current_thread) X(join) \
  X(ray) X(threading) X(gen_quor_id) X(QuorProxy) X(QuorLock) X(QuorMeta) X(QuorCacheDirMSI) \
  X(QuorCacheLocalMSI) X(Event) X(Lock) X(chunk_versions) X(ref) X(rebuild) X(chunks)        \
  X(cache_class) X(_flush_chunks_) X(_fetch_chunk_usage_and_length) X(_unpickle_QuorBase)    \
  X(_unpickle_ListChunkMeta) X(__lock__) X(__unlock__) X(__len__) X(__name__) X(__new__)     \
  X(__dict__) X(popitem) X(setdefault) X(extend) X(sort) X(key) X(reverse) X(register)       \
  X(deepcopy) X(quorlock) X(exceptions) X(RayActorError) X(fence) X(publish) X(rollback)     \
  X(committed_epochs) X(epoch) X(abnormal) X(record) X(pickle) X(loads) X(copy) X(send_release) \
  X(describe_write_failure) X(owner) X(RequesterId) X(version) X(contents) X(require_control) \
  X(quorblock) X(BlockEnd) X(add_chunk) X(add_cell) X(finish) X(interrupt) X(unknown)    \
  X(committed) X(released) X(release_error) X(failures) X(error) X(swap)          \
  X(Scope) X(ScopedBlock) X(shared) X(repair) X(num_chunks)

struct Names {
#define QUOR_DECLARE_NAME(n) PyObject* str_##n;
  QUOR_INTERNED_NAMES(QUOR_DECLARE_NAME)
#undef QUOR_DECLARE_NAME
  PyObject* kw_holder;  // ("cache_class", "owner"), the keyword names of QuorProxy.remote
  PyObject* module;          // borrowed: the module that owns this state

  void init(PyObject* owner) {
    module = owner;
#define QUOR_INTERN_NAME(n) str_##n = Ref::check(PyUnicode_InternFromString(#n)).release();
    QUOR_INTERNED_NAMES(QUOR_INTERN_NAME)
#undef QUOR_INTERN_NAME
    kw_holder = Ref::check(PyTuple_Pack(2, str_cache_class, str_owner)).release();
  }

  void clear() noexcept {
#define QUOR_CLEAR_NAME(n) Py_CLEAR(str_##n);
    QUOR_INTERNED_NAMES(QUOR_CLEAR_NAME)
#undef QUOR_CLEAR_NAME
    Py_CLEAR(kw_holder);
  }

  // A module-level name (ray, QuorProxy, time, ...), read from the module's
  // namespace at every use so that rebinding it takes effect at the next call.
  Ref lookup(PyObject* name) const {
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), name);  // borrowed
    if (!found) {
      if (PyErr_Occurred()) throw PyErrSet{};
      raise_format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(found);
  }

  // Refuses to go on when Ray is not running: Ray would otherwise start a new
  // local instance at the next call, in which none of the container's actors
  // exist. Cheap next to the round trip that follows.
  void require_ray() const {
    Ref ray_module = lookup(str_ray);
    Ref running = call_method(ray_module.get(), str_is_initialized);
    if (!check(PyObject_IsTrue(running.get())))
      raise(PyExc_RuntimeError,
            "Ray is not running: a quorlib container can only be used while the Ray it was "
            "created in is initialized");
  }

  // handle.method.remote(*args), the reference not yet waited for.
  template <class... Args>
  Ref remote(PyObject* handle, PyObject* method, Args... args) const {
    require_ray();
    Ref bound = get_attr(handle, method);
    return call_method(bound.get(), str_remote, args...);
  }

  // ray.get(reference)
  Ref ray_get(PyObject* reference) const {
    Ref ray_module = lookup(str_ray);
    return call_method(ray_module.get(), str_get, reference);
  }

  // ray.get(handle.method.remote(*args)): every remote call is waited for at once.
  template <class... Args>
  Ref call_remote(PyObject* handle, PyObject* method, Args... args) const {
    Ref pending = this->remote(handle, method, args...);
    return ray_get(pending.get());
  }

  // QuorProxy.remote(value, cache_class=..., owner=...): the handle of a new
  // holder of `value` that lives as long as `owner`, the container's control
  // actor: a slot of the pool for a chunk (a cache class given), a cell of the
  // control actor otherwise.
  Ref new_proxy(PyObject* value, PyObject* cache_class_value, PyObject* owner) const {
    Ref proxy_class = lookup(str_QuorProxy);
    return call_method_kw(proxy_class.get(), str_remote, kw_holder, value, cache_class_value,
                          owner);
  }
};

}  // namespace quor
