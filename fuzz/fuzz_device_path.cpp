// Any text as a device path of the libusb backend and as GUID text: refused
// or parsed, and what parses formats back to the same parts.
#include <string>

#include "device/backends/libusb/usb_path.h"
#include "device/msos_descriptors.h"
#include "platform/platform.h"

namespace {

void guid_round_trip(const std::string& text) {
    GUID g, back;
    if (!dirov::msos::parse_guid_text(text, g)) return;
    if (!dirov::msos::parse_guid_text(dirov::guid_text(g), back) || !dirov::guid_equal(g, back))
        __builtin_trap();
}

void path_round_trip(const std::string& text) {
    dirov::UsbPath p, back;
    if (!dirov::parse_usb_path(text.c_str(), p)) return;
    std::string again = dirov::format_usb_path(p.location, 1, p.interface, p.guid);
    if (!dirov::parse_usb_path(again.c_str(), back) || back.location != p.location ||
        back.interface != p.interface || !dirov::guid_equal(back.guid, p.guid))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    guid_round_trip(text);
    path_round_trip(text);
    return 0;
}
