// What every module of the package does at load and around its types: bind
// the sibling names, read the assertion flag, create a type, give a type its
// documented __init__ and its static rebuild, and read an instance's dict.
#pragma once

#include <initializer_list>

#include "quorlib/calls.hpp"

namespace quor {

// module.<name> = the imported module <name>.
inline void bind_module(PyObject* module, const char* name) {
  Ref imported = Ref::check(PyImport_ImportModule(name));
  check(PyModule_AddObjectRef(module, name, imported.get()));
}

// module.<attr> = <source>.<attr> for each attr.
inline void bind_from(PyObject* module, const char* source, std::initializer_list<const char*> attrs) {
  Ref imported = Ref::check(PyImport_ImportModule(source));
  for (const char* attr : attrs) {
    Ref value = Ref::check(PyObject_GetAttrString(imported.get(), attr));
    check(PyModule_AddObjectRef(module, attr, value.get()));
  }
}

// The Ray services and names every container module looks up at each use.
inline void bind_services(PyObject* module) {
  bind_module(module, "ray");
  bind_from(module, "quorlib.quorlock", {"QuorLock"});
  bind_from(module, "quorlib.quorproxy",
            {"QuorProxy", "gen_quor_id", "QuorCacheLocalMSI", "QuorCacheDirMSI"});
  bind_module(module, "time");
}

// The module of `def` that defined a native class among `type` and its solid
// bases, or null. Walks tp_base rather than tp_mro: the interpreter's teardown
// clears a type's tp_mro and ht_module (type_clear) while its instances may
// still be freed or finalised, but keeps tp_base, which each subclass holds.
inline PyObject* find_module_by_def(PyTypeObject* type, PyModuleDef* def) noexcept {
  for (PyTypeObject* t = type; t; t = t->tp_base) {
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) continue;
    PyObject* module = reinterpret_cast<PyHeapTypeObject*>(t)->ht_module;
    if (module && PyModule_GetDef(module) == def) return module;
  }
  return nullptr;
}

// The same, raising when the class or its module has been torn down.
inline PyObject* module_by_def(PyTypeObject* type, PyModuleDef* def) {
  PyObject* module = find_module_by_def(type, def);
  if (!module)
    raise_format(PyExc_TypeError, "'%.200s' is not a %s class, or its module has been torn down",
                 type->tp_name, def->m_name);
  return module;
}

// Whether the interpreter is shutting down: Ray's own exit handler has run by
// then, so nothing remote can be done any more.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// False under `python -O`, like assert statements.
inline bool read_assertions_enabled() {
  PyObject* flags = PySys_GetObject("flags");  // borrowed
  if (!flags) raise(PyExc_RuntimeError, "lost sys.flags");
  Ref optimize = Ref::check(PyObject_GetAttrString(flags, "optimize"));
  long level = PyLong_AsLong(optimize.get());
  if (level == -1 && PyErr_Occurred()) throw PyErrSet{};
  return level == 0;
}

// Raises AssertionError(message), or with no argument when message is null,
// when assertion checking is on and `condition` is false.
inline void check_assertion(bool enabled, bool condition, const char* message = nullptr) {
  if (condition || !enabled) return;
  if (message) raise(PyExc_AssertionError, message);
  PyErr_SetNone(PyExc_AssertionError);
  throw PyErrSet{};
}

// The one way a type is made: bound to its module (so that its methods find
// the module's state) and derived from `base` when given.
inline PyTypeObject* make_type(PyObject* module, PyType_Spec* type_spec, PyTypeObject* base = nullptr) {
  PyObject* created = PyType_FromModuleAndSpec(module, type_spec, reinterpret_cast<PyObject*>(base));
  if (!created) throw PyErrSet{};
  return reinterpret_cast<PyTypeObject*>(created);
}

inline void add_type(PyObject* module, PyTypeObject* type) {
  check(PyModule_AddType(module, type));
}

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// __init__ as a documented method calling the type's own initialiser. The
// interpreter fills __init__ with a generic slot wrapper; the method replaces
// it in the type's dict directly, so tp_init stays native.
template <initproc Init>
PyObject* documented_init(PyObject* self, PyObject* args, PyObject* kwds) {
  if (Init(self, args, kwds) < 0) return nullptr;
  Py_RETURN_NONE;
}

template <initproc Init>
void add_documented_init(PyTypeObject* type, const char* doc) {
  static PyMethodDef def = {"__init__", as_cfunction(documented_init<Init>),
                            METH_VARARGS | METH_KEYWORDS, doc};
  Ref descr = Ref::check(PyDescr_NewMethod(type, &def));
  check(PyDict_SetItemString(type->tp_dict, "__init__", descr.get()));
  PyType_Modified(type);
}

// A static `rebuild` bound to the module rather than the type (the function
// finds its class in the module state) and named "<Type>.rebuild" in `def`:
// a builtin bound to a module pickles by that qualified name, so protocol 4+
// streams name <module> and <Type>.rebuild, which restricted unpicklers can
// allow-list, instead of builtins.getattr(<Type>, 'rebuild').
inline void attach_rebuild(PyTypeObject* type, PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::check(PyModule_GetNameObject(module));
  Ref function = Ref::check(PyCFunction_NewEx(def, module, module_name.get()));
  Ref static_method = Ref::check(PyStaticMethod_New(function.get()));
  check(PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "rebuild", static_method.get()));
}

// The instance's __dict__ (an instance of an interpreter subclass has one), or
// null when it has none or it is None.
inline Ref instance_dict(PyObject* self, PyObject* dict_name) {
  PyObject* dict = PyObject_GetAttr(self, dict_name);
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
    PyErr_Clear();
    return Ref();
  }
  Ref owned = Ref::steal(dict);
  if (dict == Py_None) return Ref();
  return owned;
}

// Element `i` of a pickled state tuple (borrowed); IndexError when it is short.
inline PyObject* state_item(PyObject* state, Py_ssize_t i) {
  PyObject* item = PyTuple_GetItem(state, i);
  if (!item) throw PyErrSet{};
  return item;
}

// A state tuple longer than `fields` carries the instance dict's contents last.
inline void apply_instance_dict(PyObject* self, PyObject* state, Py_ssize_t fields,
                                PyObject* dict_name, PyObject* update_name) {
  if (PyTuple_GET_SIZE(state) <= fields) return;
  Ref dict = instance_dict(self, dict_name);
  if (dict) Ref updated = call_method(dict.get(), update_name, state_item(state, fields));
}

// Methods defined outside the type's own table (a file of their own),
// added to the created type; METH_CLASS entries become class methods.
inline void add_methods(PyTypeObject* type, PyMethodDef* defs) {
  for (PyMethodDef* def = defs; def->ml_name; ++def) {
    Ref descr = Ref::check((def->ml_flags & METH_CLASS) ? PyDescr_NewClassMethod(type, def)
                                                        : PyDescr_NewMethod(type, def));
    check(PyDict_SetItemString(type->tp_dict, def->ml_name, descr.get()));
  }
  PyType_Modified(type);
}

// collections.abc.<name>, with `type` registered as a virtual subclass of
// `registered_as` (the same class or a subclass of it in that module).
inline Ref abc_class(PyObject* names_register, const char* name, const char* registered_as,
                     PyTypeObject* type) {
  Ref abc = Ref::check(PyImport_ImportModule("collections.abc"));
  Ref target = Ref::check(PyObject_GetAttrString(abc.get(), registered_as));
  Ref done = call_method(target.get(), names_register, reinterpret_cast<PyObject*>(type));
  return Ref::check(PyObject_GetAttrString(abc.get(), name));
}

// copy.deepcopy, kept by a module for its containers' __deepcopy__.
inline Ref import_deepcopy() {
  Ref copy_module = Ref::check(PyImport_ImportModule("copy"));
  return Ref::check(PyObject_GetAttrString(copy_module.get(), "deepcopy"));
}

// A copy of a container takes over the original's instance dict (a
// subclass's attributes), deep-copied through `memo` when it is not null.
inline void copy_instance_dict(PyObject* self, PyObject* made, PyObject* memo, PyObject* deepcopy,
                               PyObject* dict_name, PyObject* update_name) {
  Ref attrs = instance_dict(self, dict_name);
  if (!attrs) return;
  if (memo) attrs = call(deepcopy, attrs.get(), memo);
  Ref target = instance_dict(made, dict_name);
  if (target) Ref updated = call_method(target.get(), update_name, attrs.get());
}

// Object fields of a GC type that are never null while the object lives:
// they start as None, are visited, become None when cleared and are released
// with the object.
template <class T, PyObject* T::*... Fields>
struct ObjectFields {
  static T* of(PyObject* self) noexcept { return reinterpret_cast<T*>(self); }
  static void init(PyObject* self) noexcept { ((of(self)->*Fields = Py_NewRef(Py_None)), ...); }
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    int status = 0;
    ((status = status ? status : (of(self)->*Fields ? visit(of(self)->*Fields, arg) : 0)), ...);
    return status;
  }
  static int clear(PyObject* self) {
    (set_field(of(self)->*Fields, Py_None), ...);
    return 0;
  }
  // For a type without a finaliser: untrack, release, free.
  static void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto release = [](PyObject*& field) { Py_CLEAR(field); };
    (release(of(self)->*Fields), ...);
    type->tp_free(self);
    Py_DECREF(type);
  }
};

}  // namespace quor
