// The address of a serial device server, the same on every platform.
#include <string_view>

#include "SerialLine.h"

namespace kest {

bool SplitTcpAddress(const std::string& Address, std::string& Host, std::string& Port) {
    constexpr std::string_view scheme = "tcp://";
    if (!Address.starts_with(scheme)) return false;
    const std::string rest = Address.substr(scheme.size());
    size_t colon;
    if (rest.starts_with('[')) {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return false;
        Host = rest.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = rest.rfind(':');
        if (colon == std::string::npos) return false;
        Host = rest.substr(0, colon);
    }
    Port = rest.substr(colon + 1);
    return !Host.empty() && !Port.empty();
}

}  // namespace kest
