// The hash that places a key in its chunk. It must come out the same in
// every process that holds the dictionary, while the interpreter's hash of
// str and bytes is salted per process and its hash of None is an address.
#pragma once

#include "quorlib/ref.hpp"

namespace quor::dict {

// Note [Stable key hash]
// - str, bytes, None and tuples (recursively) of them get a hash computed from
//   their contents alone. Equal strs have the same PEP 393 kind and the same
//   code units, so hashing kind + raw data agrees with equality.
// - Subclasses of str, bytes and tuple that keep the base type's hash compare
//   equal to plain values and hash as those; a subclass with its own __hash__
//   gets that hash.
// - A memoryview compares equal to bytes of the same contents, so it hashes
//   as those bytes.
// - Everything else, ints and floats included, keeps the interpreter's hash:
//   numeric hashes are already process-independent, and 1, 1.0 and True share
//   one. A tuple's hash combines its items as the interpreter's tuple hash does.
// Never -1 except with an error set; allocates nothing except for a
// non-contiguous memoryview.
Py_hash_t stable_hash(PyObject* key) noexcept;

}  // namespace quor::dict
