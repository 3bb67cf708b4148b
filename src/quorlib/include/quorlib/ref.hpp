// Owning references and the "a Python error is set" exception shared by the
// three extension modules. Every C entry point runs its body through guard(),
// so no C++ exception ever reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace quor {

// Carries nothing: the error itself stays set in the interpreter.
struct PyErrSet final : std::exception {
  const char* what() const noexcept override { return "Python error set"; }
};

[[noreturn]] inline void raise(PyObject* type, const char* msg) {
  PyErr_SetString(type, msg);
  throw PyErrSet{};
}

template <class... Args>
[[noreturn]] inline void raise_format(PyObject* type, const char* fmt, Args... args) {
  PyErr_Format(type, fmt, args...);
  throw PyErrSet{};
}

// Throws when a C-API call reported failure through its int result.
inline int check(int status) {
  if (status < 0) throw PyErrSet{};
  return status;
}

// Move-only owning reference; releases the old value last, like Py_SETREF.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  // A new reference, or the error that the call producing it set.
  static Ref check(PyObject* p) {
    if (!p) throw PyErrSet{};
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  // A new reference to the same object, for handing out while keeping ours.
  [[nodiscard]] PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Replaces an owned PyObject* field; the old value is released last, so a
// destructor it triggers sees the field already updated.
inline void set_field(PyObject*& field, PyObject* value) noexcept {
  PyObject* old = field;
  Py_XINCREF(value);
  field = value;
  Py_XDECREF(old);
}

// The boundary every method, slot, getter and module exec goes through.
template <class F>
auto guard(F&& body) noexcept -> std::invoke_result_t<F> {
  using R = std::invoke_result_t<F>;
  try {
    return body();
  } catch (const PyErrSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return R(-1);
  }
}

// Saves the pending exception and puts it back on scope exit: for finalisers.
class SavedError {
 public:
  SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
  ~SavedError() { PyErr_Restore(type_, value_, tb_); }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;
};

// Takes the pending exception out of the interpreter as one normalised value
// (with its traceback attached).
inline Ref fetch_error() noexcept {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
}

// Puts an exception taken by fetch_error back and unwinds.
[[noreturn]] inline void restore_error(Ref error) {
  PyObject* value = error.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
  throw PyErrSet{};
}

// Note [Chunks that are not plain dicts or lists]
// A chunk copy is a plain dict or list unless a forged state (__setstate__,
// _unpickle_QuorBase) put something else into chunk_list. Anything else is
// used through the interpreter's protocols, and one that leads back into a
// container (a chunk_list holding the container itself) would recurse in C
// until the stack overflows. Holding this guard around such a use makes the
// descent end in RecursionError instead.
class ChunkRecursionGuard {
 public:
  ChunkRecursionGuard() {
    if (Py_EnterRecursiveCall(" while using a chunk copy")) throw PyErrSet{};
  }
  ~ChunkRecursionGuard() { Py_LeaveRecursiveCall(); }
  ChunkRecursionGuard(const ChunkRecursionGuard&) = delete;
  ChunkRecursionGuard& operator=(const ChunkRecursionGuard&) = delete;
};

inline Ref get_attr(PyObject* obj, PyObject* name) {
  return Ref::check(PyObject_GetAttr(obj, name));
}

inline Ref new_int(long long v) { return Ref::check(PyLong_FromLongLong(v)); }

}  // namespace quor
