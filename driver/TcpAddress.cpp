// The address of a serial device server, the same on every platform.
#include <string>
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
    if (Host.empty() || Port.empty()) return false;
    // A number the resolver would take modulo 65536; a name it looks up.
    if (Port.front() < '0' || Port.front() > '9') return true;
    if (Port.size() > 5 || Port.find_first_not_of("0123456789") != std::string::npos) return false;
    const int number = std::stoi(Port);
    return number >= 1 && number <= 65535;
}

}  // namespace kest
