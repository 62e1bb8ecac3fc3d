#pragma once
// The Boost.Python converter registry entry of RDKit's ExplicitBitVect.  It
// is looked up when the shared object loads; RDKit's Python bindings fill in
// its converters whenever they are imported, before or after this module.

#include <boost/python/converter/registrations.hpp>

#include "binding/py_error.hpp"

namespace quarnel::bridge {

extern const boost::python::converter::registration& bitvect_registration;

// Makes sure new vectors can be handed to Python: a caller may load a file
// before anything imported RDKit, so the first need imports its
// rdkit.DataStructs, which registers the class.
binding::PyResult<Ok> ensure_bitvect_class();

}  // namespace quarnel::bridge
