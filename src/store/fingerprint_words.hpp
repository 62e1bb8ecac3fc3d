#pragma once
// Reading a whole fingerprint file into memory, without Python: loading
// builds its vectors from these words, and the fuzzer drives it directly.

#include <cstdint>
#include <string>

#include "common/owned_buffer.hpp"
#include "common/result.hpp"
#include "store/file_format.hpp"

namespace quarnel::store {

struct FingerprintWords {
  FileHeader header;
  // header.count rows of ceil(n_bits / 64) words; empty when count is 0,
  // whatever n_bits the header gives.
  OwnedBuffer<std::uint64_t> words;
};

// Reads the file at `path` (file-system bytes): the header, then exactly the
// word area it announces; bytes after that are never read.  A file that ends
// early gives the OSError "failed to fill whole buffer", and a regular file
// too short for its header's rows gives it before anything is allocated.
Result<FingerprintWords> read_fingerprint_words(const std::string& path);

}  // namespace quarnel::store
