// Module-level names (ray, QuorProxy, time, ...) are looked up in the module's
// namespace at every use, so that rebinding a module attribute (a test double
// for ray, say) takes effect at the next call.
#pragma once

#include <initializer_list>

#include "quorlib/ref.hpp"

namespace quor {

class ModuleNames {
 public:
  // Called once from the module's exec; the module outlives every use.
  void bind(PyObject* module) noexcept { module_ = module; }
  PyObject* module() const noexcept { return module_; }

  Ref lookup(const char* name) const {
    PyObject* dict = PyModule_GetDict(module_);
    PyObject* found = PyDict_GetItemString(dict, name);  // borrowed
    if (!found) raise_format(PyExc_NameError, "name '%s' is not defined", name);
    return Ref::borrow(found);
  }

  // ray.get(ref)
  Ref ray_get(PyObject* object_ref) const {
    Ref ray = lookup("ray");
    return Ref::check(PyObject_CallMethod(ray.get(), "get", "(O)", object_ref));
  }

  // handle.method.remote(*args), the reference not yet waited for.
  Ref remote(PyObject* handle, const char* method, std::initializer_list<PyObject*> args) const {
    Ref bound = get_attr(handle, method);
    Ref remote_fn = get_attr(bound.get(), "remote");
    Ref tuple = Ref::check(PyTuple_New((Py_ssize_t)args.size()));
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
      Py_INCREF(a);
      PyTuple_SET_ITEM(tuple.get(), i++, a);
    }
    return Ref::check(PyObject_Call(remote_fn.get(), tuple.get(), nullptr));
  }

  // ray.get(handle.method.remote(*args)): every remote call is waited for at once.
  Ref call_remote(PyObject* handle, const char* method,
                  std::initializer_list<PyObject*> args = {}) const {
    Ref pending = remote(handle, method, args);
    return ray_get(pending.get());
  }

 private:
  PyObject* module_ = nullptr;
};

}  // namespace quor
