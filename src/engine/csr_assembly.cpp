#include "engine/csr_assembly.hpp"

namespace quarnel::engine {

CsrOutput CsrBuffers::output(std::uint64_t n_rows) && {
  const std::uint64_t n_entries = indices.size();
  return CsrOutput{vector_buffer(std::move(indptr), n_rows + 1), vector_buffer(std::move(indices), n_entries),
                   vector_buffer(std::move(scores), n_entries)};
}

Result<CsrBuffers> allocate_csr(const std::uint64_t* row_lengths, std::uint64_t n_rows) {
  QUARNEL_TRY(indptr, allocate_zeroed<std::int64_t>(n_rows + 1));
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < n_rows; ++i) {
    total += row_lengths[i];
    indptr.data()[i + 1] = static_cast<std::int64_t>(total);
  }
  QUARNEL_TRY(indices, allocate_zeroed<std::uint32_t>(total));
  QUARNEL_TRY(scores, allocate_zeroed<double>(total));
  return CsrBuffers{std::move(indptr), std::move(indices), std::move(scores)};
}

}  // namespace quarnel::engine
