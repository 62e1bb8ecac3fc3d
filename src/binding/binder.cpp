#include "binding/binder.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace quarnel::binding {
namespace {

Error type_error(std::string message) { return make_error(ErrorKind::type_error, std::move(message)); }

std::string function_label(const FunctionSignature& signature) { return std::string(signature.name) + "()"; }

Error too_many_positional(const FunctionSignature& signature, std::size_t given) {
  const std::size_t total = signature.parameters.size();
  std::string message = function_label(signature) + " takes ";
  if (signature.required < total) {
    message += "from " + std::to_string(signature.required) + " to " + std::to_string(total);
  } else {
    message += std::to_string(total);
  }
  message +=
      " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return type_error(std::move(message));
}

// 'a'  /  'a' and 'b'  /  'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += std::string("'") + names[i] + "'";
  }
  return list;
}

Error missing_required(const FunctionSignature& signature, const std::vector<const char*>& missing) {
  return type_error(function_label(signature) + " missing " + std::to_string(missing.size()) +
                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                    quoted_list(missing));
}

// The parameter index named by `keyword`, compared as UTF-8 bytes, or -1.
PyResult<int> parameter_index(const FunctionSignature& signature, PyObject* keyword) {
  Py_ssize_t length = 0;
  const char* name = PyUnicode_AsUTF8AndSize(keyword, &length);
  if (name == nullptr) return PyError::fetch();
  for (std::size_t p = 0; p < signature.parameters.size(); ++p) {
    const char* parameter = signature.parameters[p];
    if (std::strlen(parameter) == static_cast<std::size_t>(length) &&
        std::memcmp(parameter, name, static_cast<std::size_t>(length)) == 0) {
      return static_cast<int>(p);
    }
  }
  return -1;
}

}  // namespace

PyResult<BoundArguments> bind_arguments(const FunctionSignature& signature, PyObject* const* args,
                                        Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArguments bound{};
  const auto n_positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (n_positional > signature.parameters.size()) return too_many_positional(signature, n_positional);
  for (std::size_t i = 0; i < n_positional; ++i) bound[i] = args[i];

  const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n_keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    auto index = parameter_index(signature, keyword);
    if (!index) return std::move(index).error();
    if (*index < 0) {
      Py_ssize_t length = 0;
      const char* name = PyUnicode_AsUTF8AndSize(keyword, &length);
      return type_error(function_label(signature) + " got an unexpected keyword argument '" +
                        std::string(name, static_cast<std::size_t>(length)) + "'");
    }
    auto slot = static_cast<std::size_t>(*index);
    if (bound[slot] != nullptr) {
      return type_error(function_label(signature) + " got multiple values for argument '" +
                        signature.parameters[slot] + "'");
    }
    bound[slot] = args[n_positional + static_cast<std::size_t>(k)];
  }

  std::vector<const char*> missing;
  for (std::size_t p = 0; p < signature.required; ++p) {
    if (bound[p] == nullptr) missing.push_back(signature.parameters[p]);
  }
  if (!missing.empty()) return missing_required(signature, missing);
  return bound;
}

}  // namespace quarnel::binding
