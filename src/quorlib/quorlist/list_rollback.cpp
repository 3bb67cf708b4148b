// What a list does once its chunk actors have been brought back to their last
// commit (after a holder that ended abnormally, or when its own block aborts).
//
// Note [Counts follow the committed chunks]
// append, insert, pop, remove and clear publish the new counts at once, while
// the chunks commit only when the block's record is published. A block that
// never commits (its holder died, or its write-back failed) leaves counts for
// elements that no committed chunk holds; the core rolls the chunks back and
// hands over their committed lengths, and the counts and the last chunk in use
// are rewritten from them before any operation runs. A chunk whose actor has
// died (length None) keeps its count: it cannot be read either way, and the
// operations that need it say so.
#include "list.hpp"

namespace quor::list {

int counts_from_committed_lengths(PyObject* self, PyObject* lengths) {
  return guard([&] {
    forget_counts(self);  // whatever this process cached describes the abandoned block
    require_list(lengths);
    Ref usage = Ref::check(PyList_GetSlice(lengths, 0, PyList_GET_SIZE(lengths)));
    Ref shared;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(usage.get()); ++i) {
      if (PyList_GET_ITEM(usage.get(), i) != Py_None) continue;
      if (!shared) shared = read_usage(self);
      Ref count = new_int(count_at(shared.get(), i));
      check(PyList_SetItem(usage.get(), i, count.release()));
    }
    int32_t total = usage_sum(usage.get());
    int32_t last = 0;
    for (Py_ssize_t i = PyList_GET_SIZE(usage.get()) - 1; i > 0; --i)
      if (count_at(usage.get(), i) > 0) {
        last = static_cast<int32_t>(i);
        break;
      }
    write_usage(self, usage.get());
    write_last_used(self, last);
    set_length(self, total);
    return 0;
  });
}

}  // namespace quor::list
