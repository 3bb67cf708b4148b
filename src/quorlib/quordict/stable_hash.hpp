// The hash that places a key in its chunk. It must come out the same in
// every process that holds the dictionary, while the interpreter's hash of
// str and bytes is salted per process and its hash of None is an address.
#pragma once

#include "quorlib/ref.hpp"

namespace quor::dict {

// Note [Stable key hash]
// Keys that compare equal must get the same hash, and a key must get it in
// every process. The rule, by the key's type:
// - str, bytes, None and tuples (recursively) of them get a hash computed from
//   their contents alone. Equal strs have the same PEP 393 kind and the same
//   code units, so hashing kind + raw data agrees with equality.
// - Numbers (int, bool, float, complex, and any type that keeps their hash,
//   such as an IntEnum member) keep the interpreter's hash: numeric hashes are
//   already process-independent, and 1, 1.0 and True share one. A tuple's
//   hash combines its items as the interpreter's tuple hash does, and a
//   frozenset's as its frozenset hash does (order-independent), so both agree
//   with hash() when they hold only numbers.
// - date, datetime and time hash the value that their equality compares: the
//   date, the wall time of a naive value, the UTC instant of an aware one
//   (taking the UTC offset with fold=0, as the interpreter does, so that the
//   two readings of a repeated wall time meet). An aware time is compared by
//   the interpreter as whole seconds minus the offset's whole seconds, then
//   microseconds; its hash follows that. timedelta's own hash is a tuple of
//   ints and already stable.
// - Subclasses of all these that keep the base type's hash compare equal to
//   plain values and hash as those (a StrEnum member as its str); a memoryview
//   compares equal to bytes of the same contents and hashes as those bytes.
// - A class whose __hash__ is written in Python is asked once, through
//   quorlib._keyrules, which attributes make up its hash: an Enum member's
//   name, a dataclass's generated __hash__ fields. Their values are hashed as
//   a tuple. Any other __hash__ is the class's own and is used as it is. The
//   answer is kept until the class is freed; a class whose __hash__ is
//   replaced after its first key keeps the first answer.
// - A key whose hash is its identity (the default of a class that defines
//   neither __eq__ nor __hash__, a bare object(), a class or a function used
//   as a key, a float or complex NaN) could never be found from another
//   process. It is refused with
//   TypeError wherever it is used as a key, in lookups as in stores: like an
//   unhashable key in a dict, it is a key of the wrong type rather than an
//   absent one, and saying so at the first lookup points at the mistake
//   before any chunk is fetched for it.
// Never -1 except with an error set; allocates nothing for str, bytes, int,
// None and tuples of them.
Py_hash_t stable_hash(PyObject* key) noexcept;

}  // namespace quor::dict
