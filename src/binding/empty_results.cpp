#include "binding/empty_results.hpp"

#include "binding/array_wrap.hpp"

namespace quarnel::binding {

using engine::ArrayBuffer;
using engine::EngineOutput;

PyResult<PyRef> empty_cross_result(engine::AggregationMode mode, std::uint64_t n_queries,
                                   std::uint64_t n_db) {
  if (mode == engine::AggregationMode::full) {
    return wrap_buffer_as_array(engine::matrix_buffer(OwnedBuffer<double>(), n_queries, n_db));
  }
  auto zeros = allocate_zeroed<double>(n_queries);
  if (!zeros) return PyError(std::move(zeros).error());
  return wrap_buffer_as_array(engine::vector_buffer(std::move(zeros).value(), n_queries));
}

PyResult<PyRef> empty_topk_result(std::uint64_t n_queries) {
  return wrap_engine_output(
      EngineOutput(engine::TopKOutput{engine::matrix_buffer(OwnedBuffer<std::uint32_t>(), n_queries, 0),
                                      engine::matrix_buffer(OwnedBuffer<double>(), n_queries, 0)}));
}

PyResult<PyRef> empty_vector_result() {
  return wrap_buffer_as_array(engine::vector_buffer(OwnedBuffer<double>(), 0));
}

PyResult<PyRef> empty_csr_result(std::uint64_t n_rows) {
  auto indptr = allocate_zeroed<std::int64_t>(n_rows + 1);
  if (!indptr) return PyError(std::move(indptr).error());
  return wrap_csr_output(engine::CsrOutput{engine::vector_buffer(std::move(indptr).value(), n_rows + 1),
                                           engine::vector_buffer(OwnedBuffer<std::uint32_t>(), 0),
                                           engine::vector_buffer(OwnedBuffer<double>(), 0)});
}

}  // namespace quarnel::binding
