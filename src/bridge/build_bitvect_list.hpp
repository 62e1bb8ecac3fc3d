#pragma once

#include <Python.h>

#include <cstdint>

namespace quarnel::bridge {

// A new list of `count` new ExplicitBitVect objects of `n_bits` bits, row r
// made from words r*W .. r*W + W - 1 (bits at and beyond n_bits cleared).
// Never raises: on failure the cause is printed to standard error and null
// is returned with no exception pending.  Needs the interpreter lock.
PyObject* build_bitvect_list(std::uint32_t count, std::uint32_t n_bits, const std::uint64_t* words) noexcept;

// A floor on the memory that each vector of such a list takes: its list
// slot, its Python object header, the native vector, its bitset and the
// bitset's blocks.  The allocators add more; never less.
std::uint64_t min_bitvect_bytes(std::uint32_t n_bits);

}  // namespace quarnel::bridge
