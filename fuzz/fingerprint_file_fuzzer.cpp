// libFuzzer target: arbitrary bytes as a fingerprint file, through the same
// C++ the module runs on files: the mapped store with its database window,
// the word view the file-backed functions search, and the reader behind
// load_fingerprints.  Besides what ASan and UBSan catch, it aborts when an
// accepted file is shorter than its header says, when a window leaves the
// mapping or the file's rows, or when reader and store disagree.
//
// The input is the whole file.  Its last 16 bytes also give one db_offset
// and db_limit (little-endian), so a complete file with a tail of junk lets
// the fuzzer steer the window; a few fixed windows are tried on every input.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/clean_words.hpp"
#include "store/file_format.hpp"
#include "store/fingerprint_words.hpp"
#include "store/mapped_fingerprint_file.hpp"

namespace {

using quarnel::Error;
using quarnel::ErrorKind;
using namespace quarnel::store;

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "broken invariant: %s\n", what);
  std::abort();
}

// One memory file for the whole run, rewritten for each input.  The store
// and the reader open it by its /proc path, as they open any path.
const std::string& write_input(const std::uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("fingerprints", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  require(fd >= 0, "memfd_create");
  require(::ftruncate(fd, 0) == 0, "ftruncate");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    require(n > 0, "pwrite");
    done += static_cast<std::size_t>(n);
  }
  return path;
}

std::uint64_t load_u64(const std::uint8_t* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

bool is_short_read(const Error& error) {
  return error.kind == ErrorKind::os_error && error.os_errno == 0 &&
         error.message == "failed to fill whole buffer";
}

// What the format says of these bytes, worked out here without the store.
struct Expected {
  bool has_header;
  FileHeader header;
  std::uint64_t n_words;  // per row
  bool complete;          // every announced row is present
};

Expected expect(const std::uint8_t* data, std::size_t size) {
  Expected e{size >= header_bytes, {}, 0, false};
  if (!e.has_header) return e;
  e.header = decode_header(data);
  e.n_words = (static_cast<std::uint64_t>(e.header.n_bits) + 63) / 64;
  // 8 + 8*N*W with N, W below 2^32 and 2^27: no wrap in 64 bits.
  const std::uint64_t rows = e.header.count;
  e.complete = rows == 0 || size >= 8 + 8 * rows * e.n_words;
  return e;
}

void check_window(const Expected& e, const std::uint8_t* data, std::size_t size, const std::string& path,
                  std::uint64_t db_offset, std::uint64_t db_limit) {
  auto view = map_fingerprint_file(path, db_offset, db_limit);
  if (!e.has_header) {
    require(!view && view.error().kind == ErrorKind::value_error &&
                view.error().message == "Invalid or empty binary footprint file",
            "a file without a whole header is refused as invalid");
    return;
  }
  if (!e.complete) {
    require(!view && view.error().kind == ErrorKind::value_error &&
                view.error().message.rfind("Truncated binary footprint file: ", 0) == 0,
            "a file shorter than its rows is refused as truncated");
    return;
  }
  require(view.has_value(), "a complete file is mapped");
  require(view->file_length() == size && std::memcmp(view->file_bytes(), data, size) == 0,
          "the mapping is the whole file");

  const std::uint64_t rows = e.header.count;
  const std::uint64_t start = view->start(), count = view->count();
  require(start <= rows && count <= rows - start, "the window lies within the file's rows");
  require(db_limit == 0 || count <= db_limit, "the window holds at most db_limit rows");
  require(rows == 0 || view->n_bits() == e.header.n_bits, "the view's bit length is the header's");
  const std::uint64_t n_words = view->n_words();
  const auto* first = reinterpret_cast<const std::uint8_t*>(view->window_words());
  const std::uint64_t first_byte = static_cast<std::uint64_t>(first - view->file_bytes());
  require(count == 0 || first_byte == 8 + 8 * n_words * start, "the window starts at its first row");
  require(count == 0 || first_byte + 8 * n_words * count <= size, "the window ends inside the mapping");

  // Every word the engine would read, through the view the functions build.
  auto clean = CleanWords::of(*view);
  require(clean.has_value(), "a small window's words can be copied");
  const std::uint64_t used = e.header.n_bits % 64;
  const std::uint64_t last_mask = used == 0 ? ~std::uint64_t{0} : (std::uint64_t{1} << used) - 1;
  // Zero-width rows hold no words, however many the header announces.
  for (std::uint64_t r = 0; n_words != 0 && r < count; ++r) {
    for (std::uint64_t w = 0; w < n_words; ++w) {
      const std::uint64_t index = r * n_words + w;
      const std::uint64_t mask = w + 1 == n_words ? last_mask : ~std::uint64_t{0};
      require(view->window_words()[index] == load_u64(first + 8 * index), "window words are the file's");
      require(clean->data()[index] == (load_u64(first + 8 * index) & mask),
              "searched words are the file's, cut at the length");
    }
  }
}

void check_reader(const Expected& e, const std::uint8_t* data, const std::string& path) {
  auto read = read_fingerprint_words(path);
  if (!e.has_header || !e.complete) {
    require(!read && is_short_read(read.error()), "a short file is a short read");
    return;
  }
  require(read.has_value(), "a complete file is read");
  require(read->header.count == e.header.count && read->header.n_bits == e.header.n_bits,
          "the reader's header is the file's");
  const std::uint64_t n_words = e.header.count == 0 ? 0 : e.header.count * e.n_words;
  require(read->words.size() == n_words, "the reader holds every row and nothing more");
  require(n_words == 0 || std::memcmp(read->words.data(), data + header_bytes, 8 * n_words) == 0,
          "the reader's words are the file's");
}

// The window rule alone, on values no small file could carry.
void check_window_rule(std::uint32_t rows, std::uint64_t db_offset, std::uint64_t db_limit) {
  const RowWindow w = select_window(rows, db_offset, db_limit);
  require(w.start <= rows && w.count <= rows - w.start, "select_window stays inside the rows");
  require(w.start == (db_offset < rows ? db_offset : rows), "select_window starts at the offset or the end");
  require(db_limit == 0 ? w.start + w.count == rows : w.count <= db_limit, "select_window honours the limit");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = write_input(data, size);
  const Expected e = expect(data, size);
  check_reader(e, data, path);

  const std::uint64_t rows = e.has_header ? e.header.count : 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> windows = {
      {0, 0}, {1, 0}, {rows == 0 ? 0 : rows - 1, 1}, {rows, 0}, {UINT64_MAX, UINT64_MAX}};
  if (size >= 16) windows.emplace_back(load_u64(data + size - 16), load_u64(data + size - 8));
  for (const auto& [db_offset, db_limit] : windows) {
    check_window(e, data, size, path, db_offset, db_limit);
    check_window_rule(static_cast<std::uint32_t>(rows), db_offset, db_limit);
  }
  if (size >= 20) {
    std::uint32_t any_rows;
    std::memcpy(&any_rows, data + size - 20, sizeof any_rows);
    check_window_rule(any_rows, load_u64(data + size - 16), load_u64(data + size - 8));
  }
  return 0;
}
