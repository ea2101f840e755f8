#include "device/backends/libusb/usb_path.h"

#include <cstdlib>
#include <string_view>

#include "device/msos_descriptors.h"
#include "platform/platform.h"

namespace dirov {

std::string format_usb_path(const std::string& location, int config, int interface,
                            const GUID& guid) {
    std::string p = "usb:";
    p.append(location).append(":").append(std::to_string(config));
    p.append(".").append(std::to_string(interface)).append("#").append(guid_text(guid));
    return p;
}

bool parse_usb_path(const char* path, UsbPath& out) {
    std::string p = path ? path : "";
    size_t hash = p.rfind('#');
    if (p.rfind("usb:", 0) != 0 || hash == std::string::npos) return false;
    if (!msos::parse_guid_text(std::string_view(p).substr(hash + 1), out.guid)) return false;
    std::string mid = p.substr(4, hash - 4);
    size_t colon = mid.rfind(':');
    size_t dot = mid.rfind('.');
    if (colon == std::string::npos || dot == std::string::npos || dot < colon) return false;
    out.location = mid.substr(0, colon);
    std::string iface = mid.substr(dot + 1);
    if (iface.empty() || iface.size() > 3 ||
        iface.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out.interface = std::atoi(iface.c_str());
    return !out.location.empty();
}

}  // namespace dirov
