#include <boost/python/converter/registry.hpp>
#include <boost/python/type_id.hpp>

#include "bridge/bitvect_registration.hpp"

#include <DataStructs/ExplicitBitVect.h>

namespace quarnel::bridge {

const boost::python::converter::registration& bitvect_registration =
    boost::python::converter::registry::lookup(boost::python::type_id<ExplicitBitVect>());

binding::PyResult<Ok> ensure_bitvect_class() {
  if (bitvect_registration.m_to_python != nullptr) return Ok{};
  binding::PyRef module = binding::PyRef::steal(PyImport_ImportModule("rdkit.DataStructs"));
  if (!module) return binding::PyError::fetch();
  if (bitvect_registration.m_to_python != nullptr) return Ok{};
  return binding::PyError(
      make_error(ErrorKind::runtime_error, "rdkit.DataStructs did not register ExplicitBitVect"));
}

}  // namespace quarnel::bridge
