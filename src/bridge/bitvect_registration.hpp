#pragma once
// The Boost.Python converter registry entry of RDKit's ExplicitBitVect.  It
// is looked up when the shared object loads; RDKit's Python bindings fill in
// its converters whenever they are imported, before or after this module.

#include <boost/python/converter/registrations.hpp>

namespace quarnel::bridge {

extern const boost::python::converter::registration& bitvect_registration;

}  // namespace quarnel::bridge
