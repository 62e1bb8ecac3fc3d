#pragma once
// A buffered output file that remembers the first failure of any write or of
// the close, so that a lost write (a full disk, say) can be reported.

#include <cstdio>
#include <string>

namespace quarnel::store {

class OutputFile {
 public:
  // Creates or truncates the file; check is_open().
  explicit OutputFile(const std::string& path);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();  // closes, keeping what was written

  bool is_open() const { return stream_ != nullptr; }
  int open_errno() const { return open_errno_; }

  void write(const void* data, std::size_t size);
  // Closes the file; returns the errno of the first failed write or of the
  // close, or 0.
  int close();

 private:
  std::FILE* stream_;
  int open_errno_ = 0;
  int first_errno_ = 0;
};

}  // namespace quarnel::store
