#pragma once

#include <exception>
#include <string>
#include <typeinfo>

namespace corvantesk {

// The readable name of a C++ type ("std::runtime_error", "quillobrandt::DatabaseError").
std::string demangledTypeName(const std::type_info& type);
// The name of the error's dynamic type.
std::string errorTypeName(const std::exception& error);
// The error's text as a user would read it (what()).
std::string errorDescription(const std::exception& error);
// Where the error comes from: a system error's category ("generic", "system", ...), else its type name.
std::string errorDomain(const std::exception& error);

} // namespace corvantesk
