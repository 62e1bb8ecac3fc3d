#pragma once
// The fingerprint file: an 8-byte header (count N and bit length L, unsigned
// 32-bit little-endian) and then N rows of W = ceil(L / 64) little-endian
// 64-bit words.  No magic number, so files written by other programs that
// follow the layout load as well.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/fingerprint_matrix.hpp"

namespace quarnel::store {

inline constexpr std::uint64_t header_bytes = 8;

struct FileHeader {
  std::uint32_t count;
  std::uint32_t n_bits;
};

// The host is little-endian, so the header is its raw in-memory value.
inline FileHeader decode_header(const unsigned char* bytes) {
  FileHeader header{};
  std::memcpy(&header.count, bytes, 4);
  std::memcpy(&header.n_bits, bytes + 4, 4);
  return header;
}

// 8 + 8*N*W: below 2^62 for any 32-bit N and L, so it cannot wrap.
inline std::uint64_t complete_file_bytes(const FileHeader& header) {
  return header_bytes +
         8 * static_cast<std::uint64_t>(header.count) * engine::words_per_fingerprint(header.n_bits);
}

// A run of consecutive rows of a file: the database window.
struct RowWindow {
  std::uint64_t start;  // file row of its first row
  std::uint64_t count;
};

// The window of a file of `rows` rows that starts at row min(db_offset,
// rows) and holds the rows after it, at most db_limit of them unless
// db_limit is 0.  It never reaches past the last row, whatever the values.
constexpr RowWindow select_window(std::uint32_t rows, std::uint64_t db_offset, std::uint64_t db_limit) {
  const std::uint64_t start = std::min<std::uint64_t>(db_offset, rows);
  const std::uint64_t remaining = rows - start;
  return RowWindow{start, db_limit == 0 ? remaining : std::min(db_limit, remaining)};
}

}  // namespace quarnel::store
