#include <boost/python/converter/registry.hpp>
#include <boost/python/type_id.hpp>

#include "bridge/bitvect_registration.hpp"

#include <DataStructs/ExplicitBitVect.h>

namespace quarnel::bridge {

const boost::python::converter::registration& bitvect_registration =
    boost::python::converter::registry::lookup(boost::python::type_id<ExplicitBitVect>());

}  // namespace quarnel::bridge
