#include "stable_hash.hpp"

#include <cstdint>
#include <cstring>

namespace quor::dict {
namespace {

// Seeds keep a str and a bytes value with the same raw data apart.
constexpr uint64_t kBytesSeed = 8;  // str seeds are their kinds: 1, 2, 4
constexpr Py_hash_t kNoneHash = 0x4e6f6e65;

// Tuples nested deeper than this go through the interpreter's recursion
// guard, so a pathological key raises RecursionError instead of overflowing
// the C stack; shallower ones, all real keys, skip its cost.
constexpr int kUnguardedDepth = 16;

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t kP3 = 0x165667B19E3779F9ULL;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5ULL;

inline uint64_t rotl(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// A fixed-seed multiply-rotate hash of a byte range (the short-input path of
// xxHash64). The words are read in the machine's byte order: placements agree
// between processes of the same byte order, which covers every Ray platform.
uint64_t hash_data(const void* data, size_t n, uint64_t seed) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  uint64_t h = seed + kP5 + n;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t k;
    std::memcpy(&k, p, 8);
    h ^= rotl(k * kP2, 31) * kP1;
    h = rotl(h, 27) * kP1 + kP4;
  }
  if (n >= 4) {
    uint32_t k;
    std::memcpy(&k, p, 4);
    h ^= uint64_t(k) * kP1;
    h = rotl(h, 23) * kP2 + kP3;
    p += 4;
    n -= 4;
  }
  for (; n; ++p, --n) {
    h ^= *p * kP5;
    h = rotl(h, 11) * kP1;
  }
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  h ^= h >> 32;
  return h;
}

inline Py_hash_t finish(uint64_t h) noexcept {
  if constexpr (sizeof(Py_hash_t) < 8) h ^= h >> 32;
  auto r = static_cast<Py_hash_t>(h);
  return r == -1 ? -2 : r;
}

inline Py_hash_t str_hash(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(s) < 0) return -1;
#endif
  const int kind = PyUnicode_KIND(s);
  return finish(hash_data(PyUnicode_DATA(s), size_t(PyUnicode_GET_LENGTH(s)) * kind, kind));
}

inline Py_hash_t bytes_hash(PyObject* b) noexcept {
  return finish(hash_data(PyBytes_AS_STRING(b), size_t(PyBytes_GET_SIZE(b)), kBytesSeed));
}

Py_hash_t memoryview_hash(PyObject* m) noexcept {
  // The interpreter's own hash refuses writable and released views and
  // formats other than bytes; a view it accepts hashes as its tobytes().
  if (PyObject_Hash(m) == -1) return -1;
  const Py_buffer* view = PyMemoryView_GET_BUFFER(m);
  if (PyBuffer_IsContiguous(view, 'C')) return finish(hash_data(view->buf, size_t(view->len), kBytesSeed));
  PyObject* bytes = PyObject_CallMethod(m, "tobytes", nullptr);
  if (!bytes) return -1;
  Py_hash_t h = bytes_hash(bytes);
  Py_DECREF(bytes);
  return h;
}

Py_hash_t hash_at(PyObject* key, int depth) noexcept;

// The interpreter's tuple hash (xxHash-style lanes), fed with stable item
// hashes: a tuple of numbers hashes exactly as hash() gives.
Py_hash_t tuple_hash(PyObject* t, int depth) noexcept {
  const bool guarded = depth >= kUnguardedDepth;
  if (guarded && Py_EnterRecursiveCall(" while hashing a key")) return -1;
  const Py_ssize_t n = PyTuple_GET_SIZE(t);
  Py_uhash_t acc;
  Py_uhash_t p1, p2, p5;
  if constexpr (sizeof(Py_uhash_t) > 4) {
    p1 = Py_uhash_t(11400714785074694791ULL);
    p2 = Py_uhash_t(14029467366897019727ULL);
    p5 = Py_uhash_t(2870177450012600261ULL);
  } else {
    p1 = Py_uhash_t(2654435761UL);
    p2 = Py_uhash_t(2246822519UL);
    p5 = Py_uhash_t(374761393UL);
  }
  acc = p5;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_hash_t lane = hash_at(PyTuple_GET_ITEM(t, i), depth + 1);
    if (lane == -1) {
      if (guarded) Py_LeaveRecursiveCall();
      return -1;
    }
    acc += Py_uhash_t(lane) * p2;
    if constexpr (sizeof(Py_uhash_t) > 4) {
      acc = (acc << 31) | (acc >> 33);
    } else {
      acc = (acc << 13) | (acc >> 19);
    }
    acc *= p1;
  }
  if (guarded) Py_LeaveRecursiveCall();
  acc += Py_uhash_t(n) ^ (p5 ^ 3527539UL);
  if (acc == Py_uhash_t(-1)) return 1546275796;
  return Py_hash_t(acc);
}

// Subclasses, memoryview and everything else: off the exact-type path.
Py_hash_t other_hash(PyObject* key, int depth) noexcept {
  const hashfunc own = Py_TYPE(key)->tp_hash;
  if (PyUnicode_Check(key) && own == PyUnicode_Type.tp_hash) return str_hash(key);
  if (PyBytes_Check(key) && own == PyBytes_Type.tp_hash) return bytes_hash(key);
  if (PyTuple_Check(key) && own == PyTuple_Type.tp_hash) return tuple_hash(key, depth);
  if (PyMemoryView_Check(key)) return memoryview_hash(key);
  return PyObject_Hash(key);
}

Py_hash_t hash_at(PyObject* key, int depth) noexcept {
  PyTypeObject* type = Py_TYPE(key);
  if (type == &PyUnicode_Type) return str_hash(key);
  if (type == &PyLong_Type) return type->tp_hash(key);
  if (type == &PyBytes_Type) return bytes_hash(key);
  if (type == &PyTuple_Type) return tuple_hash(key, depth);
  if (key == Py_None) return kNoneHash;
  return other_hash(key, depth);
}

}  // namespace

Py_hash_t stable_hash(PyObject* key) noexcept { return hash_at(key, 0); }

}  // namespace quor::dict
