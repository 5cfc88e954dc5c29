#include "Corvantesk/health/ErrorDescription.h"

#include <cstdlib>
#include <memory>
#include <system_error>

#include <cxxabi.h>

namespace corvantesk {

std::string demangledTypeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                     &std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

std::string errorTypeName(const std::exception& error) {
    return demangledTypeName(typeid(error));
}

std::string errorDescription(const std::exception& error) {
    return error.what();
}

std::string errorDomain(const std::exception& error) {
    if (const auto* systemError = dynamic_cast<const std::system_error*>(&error)) {
        return systemError->code().category().name();
    }
    return errorTypeName(error);
}

} // namespace corvantesk
