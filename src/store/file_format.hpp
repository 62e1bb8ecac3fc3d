#pragma once
// The fingerprint file: an 8-byte header (count N and bit length L, unsigned
// 32-bit little-endian) and then N rows of W = ceil(L / 64) little-endian
// 64-bit words.  No magic number, so files written by other programs that
// follow the layout load as well.

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

}  // namespace quarnel::store
