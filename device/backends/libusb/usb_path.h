// Device paths of the libusb backend. They name the port, not the address,
// so a board is found again after it re-enumerates:
// "usb:<bus>-<port.port...>:<config>.<interface>#{GUID}".
#pragma once

#include <string>

#include "dirov410.h"

namespace dirov {

struct UsbPath {
    std::string location;  // "<bus>-<port.port...>"
    int interface = 0;     // 0 to 999
    GUID guid{};
};

std::string format_usb_path(const std::string& location, int config, int interface,
                            const GUID& guid);

// False for anything that is not such a path (any text is safe input).
bool parse_usb_path(const char* path, UsbPath& out);

}  // namespace dirov
