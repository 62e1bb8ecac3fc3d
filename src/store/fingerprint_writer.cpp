#include "store/fingerprint_writer.hpp"

#include <boost/dynamic_bitset.hpp>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <iterator>
#include <vector>

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"
#include "bridge/native_bitvect.hpp"
#include "store/output_file.hpp"

namespace quarnel::store {
namespace {

using binding::PyRef;

// Printed, the failure reads as a ValueError naming the path; kept for the
// caller to raise, it is the OSError subclass of the error number, as
// Python's own open() gives it.
[[noreturn]] void fail_to_open(const std::string& path, int errnum) {
  PyRef name =
      PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!name) boost::python::throw_error_already_set();
  if (bridge::input_errors_are_kept()) {
    errno = errnum;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  } else {
    PyErr_Format(PyExc_ValueError, "cannot open %R for writing: %s", name.get(),
                 describe_os_error(errnum).c_str());
  }
  boost::python::throw_error_already_set();
  __builtin_unreachable();
}

void write_u32(OutputFile& file, std::uint32_t value) { file.write(&value, sizeof value); }

void write_rows(PyObject* fps, OutputFile& file) {
  PyRef fast = PyRef::steal(PySequence_Fast(fps, "Expected a sequence"));
  if (!fast) boost::python::throw_error_already_set();
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  PyObject** items = PySequence_Fast_ITEMS(fast.get());
  if (n == 0) {
    write_u32(file, 0);
    write_u32(file, 0);
    return;
  }
  if (static_cast<std::uint64_t>(n) > UINT32_MAX) {
    bridge::fail_with(PyExc_OverflowError, "a fingerprint file holds at most 4294967295 fingerprints");
  }
  const unsigned int n_bits = bridge::native_bitvect_at(items[0], 0).getNumBits();
  write_u32(file, static_cast<std::uint32_t>(n));
  write_u32(file, n_bits);

  std::vector<std::uint64_t> row;  // reused: one write per fingerprint
  for (Py_ssize_t i = 0; i < n; ++i) {
    const ExplicitBitVect& vector = bridge::native_bitvect_at(items[i], i);
    if (vector.getNumBits() != n_bits) bridge::fail_length_mismatch(i, vector.getNumBits(), n_bits);
    row.clear();
    boost::to_block_range(*vector.dp_bits, std::back_inserter(row));
    file.write(row.data(), row.size() * sizeof(std::uint64_t));
  }
}

}  // namespace

void write_fingerprint_file(PyObject* fps, const std::string& path) noexcept {
  OutputFile file(path);
  try {
    if (!file.is_open()) fail_to_open(path, file.open_errno());
    write_rows(fps, file);
  } catch (const boost::python::error_already_set&) {
    bridge::report_input_error();
  } catch (const std::exception&) {
    PyErr_NoMemory();
    bridge::report_input_error();
  }
  if (const int lost = file.close(); lost != 0) {
    binding::PyError(os_error(lost)).raise();
    bridge::report_input_error();
  }
}

}  // namespace quarnel::store
