#pragma once
// Read-only, in-place access to a fingerprint file: the whole file mapped
// once, with a window of consecutive rows.  The engine's workers read the
// window's words straight from the mapping.

#include <cstdint>
#include <string>

#include "common/result.hpp"
#include "engine/fingerprint_matrix.hpp"

namespace quarnel::store {

class MappedFingerprintFile {
 public:
  MappedFingerprintFile(const MappedFingerprintFile&) = delete;
  MappedFingerprintFile& operator=(const MappedFingerprintFile&) = delete;
  MappedFingerprintFile(MappedFingerprintFile&& other) noexcept;
  MappedFingerprintFile& operator=(MappedFingerprintFile&&) = delete;
  ~MappedFingerprintFile();  // unmaps

  std::uint64_t count() const { return count_; }  // rows in the window
  std::uint64_t n_bits() const { return n_bits_; }
  std::uint64_t start() const { return start_; }  // file row of the window's first row
  std::uint64_t n_words() const { return engine::words_per_fingerprint(static_cast<std::uint32_t>(n_bits_)); }
  // The window's count * n_words words.
  const std::uint64_t* window_words() const;
  // The whole mapped file, header included.
  const unsigned char* file_bytes() const { return static_cast<const unsigned char*>(mapping_); }
  std::uint64_t file_length() const { return length_; }

  friend Result<MappedFingerprintFile> map_fingerprint_file(const std::string& path, std::uint64_t db_offset,
                                                            std::uint64_t db_limit);

 private:
  MappedFingerprintFile(void* mapping, std::uint64_t length) : mapping_(mapping), length_(length) {}

  void* mapping_;
  std::uint64_t length_;
  std::uint64_t count_ = 0;
  std::uint64_t n_bits_ = 0;
  std::uint64_t start_ = 0;
};

// Maps the file at `path` (file-system bytes).  The window starts at row
// min(db_offset, N) and holds the rows after it, at most db_limit of them
// unless db_limit is 0.  A file shorter than its header announces is
// refused, so no read can pass the end of the mapping.
Result<MappedFingerprintFile> map_fingerprint_file(const std::string& path, std::uint64_t db_offset,
                                                   std::uint64_t db_limit);

}  // namespace quarnel::store
