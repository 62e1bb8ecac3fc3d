#pragma once
// The prepared database of the _scoring namespace: a fingerprint file (kept
// mapped, its descriptor closed) or an (array, n_bits) pair (the array
// held), counted once and, with group=True, copied in count order
// (engine/arena/prepared_rows.hpp), for the cross-set functions to search
// again and again.  Python sees an opaque PreparedRows object, made only by
// prepare(); an array's rows must not change while it lives.

#include <Python.h>

#include <cstdint>
#include <memory>

#include "binding/py_error.hpp"
#include "engine/arena/prepared_rows.hpp"
#include "store/clean_words.hpp"
#include "store/row_source.hpp"

namespace quarnel::store {

class PreparedDatabase {
 public:
  // `database` as RowSource::open takes it, whole.
  static binding::PyResult<std::unique_ptr<PreparedDatabase>> open(PyObject* database, bool group,
                                                                   std::int32_t n_threads);

  const engine::arena::PreparedRows& rows() const { return rows_; }
  std::uint64_t n_bits() const { return source_.n_bits(); }

 private:
  PreparedDatabase(RowSource source, CleanWords clean, engine::arena::PreparedRows rows)
      : source_(std::move(source)), clean_(std::move(clean)), rows_(std::move(rows)) {}

  RowSource source_;  // holds the words clean_ reads, unless it copied them
  CleanWords clean_;  // holds the words rows_ reads
  engine::arena::PreparedRows rows_;
};

// Adds the PreparedRows type to `scoring` (the _scoring namespace); -1
// with an exception set on failure.
int add_prepared_type(PyObject* scoring);

// The database a PreparedRows object holds; null when `value` is not one.
const PreparedDatabase* prepared_database_of(PyObject* value);

// prepare(database, group=True, n_threads=-1) -> PreparedRows
binding::PyResult<binding::PyRef> prepare(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace quarnel::store
