#pragma once
// What the drivers hand back: result buffers with their shapes, still plain
// memory.  The binding wraps them as NumPy arrays without copying.

#include <cstdint>
#include <variant>

#include "common/owned_buffer.hpp"

namespace quarnel::engine {

template <class T>
struct ArrayBuffer {
  OwnedBuffer<T> data;
  int ndim = 1;
  std::uint64_t shape[2] = {0, 0};
};

template <class T>
ArrayBuffer<T> vector_buffer(OwnedBuffer<T> data, std::uint64_t length) {
  return ArrayBuffer<T>{std::move(data), 1, {length, 0}};
}

template <class T>
ArrayBuffer<T> matrix_buffer(OwnedBuffer<T> data, std::uint64_t rows, std::uint64_t cols) {
  return ArrayBuffer<T>{std::move(data), 2, {rows, cols}};
}

struct TopKOutput {
  ArrayBuffer<std::uint32_t> indices;
  ArrayBuffer<double> scores;
};

// Rows of different lengths, laid end to end: row i holds the entries
// indptr[i] .. indptr[i + 1] - 1 of indices and scores.
struct CsrOutput {
  ArrayBuffer<std::int64_t> indptr;
  ArrayBuffer<std::uint32_t> indices;
  ArrayBuffer<double> scores;
};

using EngineOutput = std::variant<ArrayBuffer<double>, TopKOutput>;

}  // namespace quarnel::engine
