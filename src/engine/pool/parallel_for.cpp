// parallel_for_rows: a row loop cut by adaptive halving and run with join.

#include "engine/pool/join.hpp"
#include "engine/pool/splitter.hpp"
#include "engine/pool/worker.hpp"
#include "engine/pool/worker_pool.hpp"

namespace quarnel::engine::pool {

namespace {

using RowBody = FunctionRef<void(std::size_t, std::size_t)>;

void run_rows(Worker& worker, std::size_t first, std::size_t last, Splitter splitter, bool migrated,
              RowBody body) {
  // A stopped call leaves the pieces nobody has started.
  if (worker.pool().stop_requested()) return;
  if (!splitter.try_split(last - first, migrated)) {
    body(first, last);
    return;
  }
  const std::size_t mid = split_point(first, last);
  // Both halves start from the budget left after this cut.
  join(
      worker, [&](Worker& self, bool moved) { run_rows(self, first, mid, splitter, moved, body); },
      [&](Worker& self, bool moved) { run_rows(self, mid, last, splitter, moved, body); });
}

}  // namespace

void parallel_for_rows(std::size_t n_rows, RowBody body) {
  if (n_rows == 0) return;
  Worker* worker = Worker::current();
  if (worker == nullptr) {
    // Not on a pool thread (a pool already shut down ran the job inline):
    // the rows are done here, in one piece.
    body(0, n_rows);
    return;
  }
  run_rows(*worker, 0, n_rows, Splitter(worker->pool().call_threads()), false, body);
}

}  // namespace quarnel::engine::pool
