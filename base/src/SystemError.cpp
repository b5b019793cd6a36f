#include <kivora/base/SystemError.h>

#include <system_error>

namespace kivora::base {

std::string systemReason(int errorNumber) {
    return std::generic_category().message(errorNumber);
}

} // namespace kivora::base
