#include "stable_hash.hpp"

#include <datetime.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>

namespace quor::dict {
namespace {

// Seeds keep a str and a bytes value with the same raw data apart, and
// spread dates, datetimes and times that share a packed value.
constexpr uint64_t kBytesSeed = 8;  // str seeds are their kinds: 1, 2, 4
constexpr uint64_t kDateSeed = 9;
constexpr uint64_t kDateTimeSeed = 10;
constexpr uint64_t kTimeSeed = 11;
constexpr Py_hash_t kNoneHash = 0x4e6f6e65;

// Keys nested deeper than this (tuples, frozensets, dataclass fields) go
// through the interpreter's recursion guard, so a pathological key raises
// RecursionError instead of overflowing the C stack; shallower ones, all
// real keys, skip its cost.
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

// Holds the interpreter's recursion guard for one level of a nested key
// once the nesting is deep enough to need it.
class Nesting {
 public:
  explicit Nesting(int depth) noexcept : guarded_(depth >= kUnguardedDepth) {}
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  ~Nesting() {
    if (guarded_) Py_LeaveRecursiveCall();
  }
  // False with RecursionError set.
  [[nodiscard]] bool enter() noexcept {
    if (guarded_ && Py_EnterRecursiveCall(" while hashing a key")) {
      guarded_ = false;
      return false;
    }
    return true;
  }

 private:
  bool guarded_;
};

// The interpreter's tuple hash (xxHash-style lanes), fed with stable item
// hashes: a tuple of numbers hashes exactly as hash() gives.
class Lanes {
 public:
  void add(Py_hash_t lane) noexcept {
    acc_ += Py_uhash_t(lane) * kP2;
    if constexpr (kWide) {
      acc_ = (acc_ << 31) | (acc_ >> 33);
    } else {
      acc_ = (acc_ << 13) | (acc_ >> 19);
    }
    acc_ *= kP1;
  }
  Py_hash_t finish(Py_ssize_t n) const noexcept {
    const Py_uhash_t acc = acc_ + (Py_uhash_t(n) ^ (kP5 ^ 3527539UL));
    return acc == Py_uhash_t(-1) ? 1546275796 : Py_hash_t(acc);
  }

 private:
  static constexpr bool kWide = sizeof(Py_uhash_t) > 4;
  static constexpr Py_uhash_t kP1 = kWide ? Py_uhash_t(11400714785074694791ULL) : Py_uhash_t(2654435761UL);
  static constexpr Py_uhash_t kP2 = kWide ? Py_uhash_t(14029467366897019727ULL) : Py_uhash_t(2246822519UL);
  static constexpr Py_uhash_t kP5 = kWide ? Py_uhash_t(2870177450012600261ULL) : Py_uhash_t(374761393UL);
  Py_uhash_t acc_ = kP5;
};

Py_hash_t hash_at(PyObject* key, int depth) noexcept;

// For code that unwinds by PyErrSet.
inline Py_hash_t checked(Py_hash_t h) {
  if (h == -1) throw PyErrSet{};
  return h;
}

Py_hash_t tuple_hash(PyObject* t, int depth) noexcept {
  Nesting nesting(depth);
  if (!nesting.enter()) return -1;
  const Py_ssize_t n = PyTuple_GET_SIZE(t);
  Lanes lanes;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_hash_t lane = hash_at(PyTuple_GET_ITEM(t, i), depth + 1);
    if (lane == -1) return -1;
    lanes.add(lane);
  }
  return lanes.finish(n);
}

// Process-lifetime objects, made on first use and never freed (raw pointers,
// so that no static destructor runs after the interpreter is gone).
PyObject* interned(PyObject*& slot, const char* text) {
  if (!slot) slot = Ref::check(PyUnicode_InternFromString(text)).release();
  return slot;
}

PyObject* g_str_tobytes = nullptr;
PyObject* g_str_utcoffset = nullptr;
PyObject* g_str_hashed_attributes = nullptr;

Py_hash_t memoryview_hash(PyObject* m) {
  // The interpreter's own hash refuses writable and released views and
  // formats other than bytes; a view it accepts hashes as its tobytes().
  checked(PyObject_Hash(m));
  const Py_buffer* view = PyMemoryView_GET_BUFFER(m);
  if (PyBuffer_IsContiguous(view, 'C')) return finish(hash_data(view->buf, size_t(view->len), kBytesSeed));
  Ref bytes = Ref::check(PyObject_CallMethodNoArgs(m, interned(g_str_tobytes, "tobytes")));
  return bytes_hash(bytes.get());
}

// The interpreter's frozenset hash over stable element hashes. It also runs
// over the empty and deleted slots of the set's table and then cancels them
// out; only the elements and their count remain, and those are used here.
Py_hash_t frozenset_hash(PyObject* s, int depth) {
  Nesting nesting(depth);
  if (!nesting.enter()) throw PyErrSet{};
  Ref items = Ref::check(PyObject_GetIter(s));
  Py_uhash_t acc = 0;
  while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
    const auto h = Py_uhash_t(checked(hash_at(item.get(), depth + 1)));
    acc ^= ((h ^ 89869747UL) ^ (h << 16)) * 3644798167UL;
  }
  if (PyErr_Occurred()) throw PyErrSet{};
  acc ^= (Py_uhash_t(PySet_GET_SIZE(s)) + 1) * 1927868237UL;
  acc ^= (acc >> 11) ^ (acc >> 25);
  acc = acc * 69069U + 907133923UL;
  return acc == Py_uhash_t(-1) ? 590923713 : Py_hash_t(acc);
}

// ---- date, datetime, time

PyObject* g_datetime_utcoffset = nullptr;  // the unbound C methods: a subclass's
PyObject* g_time_utcoffset = nullptr;      // override takes no part in equality

const PyDateTime_CAPI* datetime_api() {
  if (!PyDateTimeAPI) {
    auto* api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
    if (!api) throw PyErrSet{};
    Ref datetime_utcoffset = get_attr(reinterpret_cast<PyObject*>(api->DateTimeType),
                                      interned(g_str_utcoffset, "utcoffset"));
    Ref time_utcoffset = get_attr(reinterpret_cast<PyObject*>(api->TimeType), g_str_utcoffset);
    g_datetime_utcoffset = datetime_utcoffset.release();
    g_time_utcoffset = time_utcoffset.release();
    PyDateTimeAPI = api;
  }
  return PyDateTimeAPI;
}

inline Py_hash_t packed_hash(int64_t value, uint64_t seed) noexcept {
  return finish(hash_data(&value, sizeof value, seed));
}

// Days from 0001-01-01 in the proleptic Gregorian calendar.
int64_t ordinal(int year, int month, int day) noexcept {
  static constexpr int kDaysBeforeMonth[] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int64_t y = year - 1;
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  return y * 365 + y / 4 - y / 100 + y / 400 + kDaysBeforeMonth[month] + (month > 2 && leap) + day;
}

struct UtcOffset {
  int64_t seconds = 0;  // whole seconds, days included
  int64_t micros = 0;
};

// `value.utcoffset()` through the base type's method, which has already
// checked that the tzinfo gave None or a timedelta of less than a day.
UtcOffset utc_offset(PyObject* method, PyObject* value) {
  Ref offset = Ref::check(PyObject_CallOneArg(method, value));
  if (offset.get() == Py_None) return {};
  PyObject* o = offset.get();
  return {int64_t(PyDateTime_DELTA_GET_DAYS(o)) * 86400 + PyDateTime_DELTA_GET_SECONDS(o),
          PyDateTime_DELTA_GET_MICROSECONDS(o)};
}

Py_hash_t date_hash(PyObject* d) noexcept {
  return packed_hash(int64_t(PyDateTime_GET_YEAR(d)) << 9 | PyDateTime_GET_MONTH(d) << 5 | PyDateTime_GET_DAY(d),
                     kDateSeed);
}

Py_hash_t datetime_hash(const PyDateTime_CAPI* api, PyObject* dt) {
  const int year = PyDateTime_GET_YEAR(dt), month = PyDateTime_GET_MONTH(dt), day = PyDateTime_GET_DAY(dt);
  const int hour = PyDateTime_DATE_GET_HOUR(dt), minute = PyDateTime_DATE_GET_MINUTE(dt);
  const int second = PyDateTime_DATE_GET_SECOND(dt), micro = PyDateTime_DATE_GET_MICROSECOND(dt);
  int64_t seconds = ordinal(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  int64_t micros = micro;
  PyObject* tzinfo = PyDateTime_DATE_GET_TZINFO(dt);
  if (tzinfo != Py_None) {
    // Equal wall times of one tzinfo are equal whatever their fold, so the
    // offset is always the fold=0 one; the other fold of a repeated time is
    // never equal to a time in another zone.
    Ref probe = PyDateTime_DATE_GET_FOLD(dt)
                    ? Ref::check(api->DateTime_FromDateAndTimeAndFold(year, month, day, hour, minute, second, micro,
                                                                      tzinfo, 0, Py_TYPE(dt)))
                    : Ref::borrow(dt);
    const UtcOffset offset = utc_offset(g_datetime_utcoffset, probe.get());
    seconds -= offset.seconds;
    micros -= offset.micros;
  }
  return packed_hash(seconds * 1'000'000 + micros, kDateTimeSeed);
}

Py_hash_t time_hash(PyObject* t) {
  int64_t seconds = PyDateTime_TIME_GET_HOUR(t) * 3600 + PyDateTime_TIME_GET_MINUTE(t) * 60 +
                    PyDateTime_TIME_GET_SECOND(t);
  // The interpreter leaves the offset's microseconds out of comparing aware
  // times, so they stay out of the hash. time.utcoffset() asks the tzinfo
  // with no date, so fold plays no part.
  if (PyDateTime_TIME_GET_TZINFO(t) != Py_None) seconds -= utc_offset(g_time_utcoffset, t).seconds;
  return packed_hash(seconds * 1'000'000 + PyDateTime_TIME_GET_MICROSECOND(t), kTimeSeed);
}

// ---- classes whose __hash__ is written in Python

// What quorlib._keyrules answered for one class, kept while the class lives.
struct ClassRule {
  PyObject* names;    // tuple of interned attribute names; nullptr: the class's own __hash__
  PyObject* watcher;  // weak reference to the class; its callback drops this rule
};
using ClassRules = std::unordered_map<PyTypeObject*, ClassRule>;

// Never destroyed: a class may be freed, and its callback run, while the
// interpreter shuts down after static destructors would have run.
ClassRules& class_rules() {
  static auto* rules = new ClassRules;
  return *rules;
}

PyObject* g_keyrules = nullptr;      // the module quorlib._keyrules
PyObject* g_forget_class = nullptr;  // the callback of every watcher

// Called with the watcher of a class being freed: another class may be
// allocated at its address next.
PyObject* forget_class(PyObject*, PyObject* watcher) {
  return guard([&]() -> PyObject* {
    ClassRules& rules = class_rules();
    for (auto it = rules.begin(); it != rules.end(); ++it) {
      if (it->second.watcher != watcher) continue;
      const ClassRule gone = it->second;
      rules.erase(it);
      Py_XDECREF(gone.names);
      Py_DECREF(gone.watcher);
      break;
    }
    Py_RETURN_NONE;
  });
}

PyMethodDef forget_class_def = {"forget_key_class", forget_class, METH_O, nullptr};

// Borrowed: the names whose values place keys of this class, or nullptr when
// its own __hash__ does.
PyObject* class_rule(PyObject* key) {
  PyTypeObject* type = Py_TYPE(key);
  ClassRules& rules = class_rules();
  if (auto found = rules.find(type); found != rules.end()) return found->second.names;

  if (!g_keyrules) g_keyrules = Ref::check(PyImport_ImportModule("quorlib._keyrules")).release();
  Ref ask = get_attr(g_keyrules, interned(g_str_hashed_attributes, "hashed_attributes"));
  Ref answer = Ref::check(PyObject_CallOneArg(ask.get(), key));
  Ref names;
  if (answer.get() != Py_None) {
    if (!PyTuple_CheckExact(answer.get())) raise(PyExc_SystemError, "hashed_attributes() must give a tuple or None");
    const Py_ssize_t n = PyTuple_GET_SIZE(answer.get());
    names = Ref::check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* name = PyTuple_GET_ITEM(answer.get(), i);
      if (!PyUnicode_CheckExact(name)) raise(PyExc_SystemError, "hashed_attributes() must name attributes by str");
      Py_INCREF(name);
      PyUnicode_InternInPlace(&name);
      PyTuple_SET_ITEM(names.get(), i, name);
    }
  }
  // The helper hashed the key, which may have placed a key of this class.
  if (auto found = rules.find(type); found != rules.end()) return found->second.names;
  if (!g_forget_class) g_forget_class = Ref::check(PyCFunction_New(&forget_class_def, nullptr)).release();
  Ref watcher = Ref::check(PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), g_forget_class));
  auto placed = rules.try_emplace(type, ClassRule{names.get(), watcher.get()}).first;
  (void)names.release();
  (void)watcher.release();
  return placed->second.names;
}

// The listed attributes' values, hashed as the tuple of them.
Py_hash_t attributes_hash(PyObject* key, PyObject* names, int depth) {
  Nesting nesting(depth);
  if (!nesting.enter()) throw PyErrSet{};
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  Lanes lanes;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref value = Ref::check(PyObject_GetAttr(key, PyTuple_GET_ITEM(names, i)));
    lanes.add(checked(hash_at(value.get(), depth + 1)));
  }
  return lanes.finish(n);
}

[[noreturn]] void refuse_identity_hash(PyObject* key) {
  raise_format(PyExc_TypeError,
               "QuorDict key of type '%.200s' hashes by object identity, which differs between processes; "
               "keys must hash by their contents",
               Py_TYPE(key)->tp_name);
}

// Everything off the exact str/int/bytes/tuple/None path. Kept out of line
// so that the hot path stays small.
[[gnu::noinline]] Py_hash_t other_hash(PyObject* key, int depth) noexcept {
  return guard([&]() -> Py_hash_t {
    PyTypeObject* type = Py_TYPE(key);
    const hashfunc own = type->tp_hash;
    if (own == PyFloat_Type.tp_hash || own == PyLong_Type.tp_hash || own == PyComplex_Type.tp_hash) {
      // A NaN equals nothing, itself included, and the interpreter hashes it
      // by identity.
      if (own == PyFloat_Type.tp_hash && std::isnan(PyFloat_AS_DOUBLE(key))) refuse_identity_hash(key);
      if (own == PyComplex_Type.tp_hash) {
        const Py_complex c = reinterpret_cast<PyComplexObject*>(key)->cval;
        if (std::isnan(c.real) || std::isnan(c.imag)) refuse_identity_hash(key);
      }
      return checked(own(key));
    }
    if (PyUnicode_Check(key) && own == PyUnicode_Type.tp_hash) return checked(str_hash(key));
    if (PyBytes_Check(key) && own == PyBytes_Type.tp_hash) return bytes_hash(key);
    if (PyTuple_Check(key) && own == PyTuple_Type.tp_hash) return checked(tuple_hash(key, depth));
    if (PyMemoryView_Check(key)) return memoryview_hash(key);
    if (own == PyBaseObject_Type.tp_hash) refuse_identity_hash(key);
    if (own == PyObject_HashNotImplemented) return checked(PyObject_Hash(key));  // its TypeError
    if (PyFrozenSet_Check(key) && own == PyFrozenSet_Type.tp_hash) return frozenset_hash(key, depth);
    const PyDateTime_CAPI* api = datetime_api();
    if (own == api->DateTimeType->tp_hash && PyDateTime_Check(key)) return datetime_hash(api, key);
    if (own == api->DateType->tp_hash && PyDate_Check(key)) return date_hash(key);
    if (own == api->TimeType->tp_hash && PyTime_Check(key)) return time_hash(key);
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
      if (PyObject* names = class_rule(key)) {
        Ref held = Ref::borrow(names);  // the attributes' code may free the class's rule
        return attributes_hash(key, held.get(), depth);
      }
    }
    return checked(PyObject_Hash(key));
  });
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
