// The libusb backend's shared parts: the process's libusb context, device
// lists, and the discovery that finds the board's interfaces by
// device-interface GUID (libusb_discovery.cpp), used by the transfers side
// (libusb_transport.cpp) to open what discovery found.
#pragma once

#include <libusb.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "dirov410.h"

namespace dirov::libusb_backend {

// The Linux usbfs refuses control transfers with a longer data stage.
inline constexpr uint32_t kControlMaxLength = 4096;

struct ContextState {
    libusb_context* ctx = nullptr;
    int error = LIBUSB_SUCCESS;
};

// One context for the process, made on first use and kept: the library has
// no unload hook, and devices opened later share its event handling.
const ContextState& context();

// A device node the user may not open, said once per device and process.
void report_no_permission(libusb_device* dev);

using DeviceList = std::unique_ptr<libusb_device*, void (*)(libusb_device**)>;
DeviceList device_list(libusb_context* ctx, ssize_t& count);

// Bus and port path, e.g. "1-2.3".
std::string location(libusb_device* dev);

// Whether `dev` presents `guid`, and on which interface. Uses `h` when
// given, otherwise opens the device for the descriptor requests; only
// devices with a vendor-specific or DFU interface are opened, and each at
// most once per GUID that it turned out not to present.
bool presents(libusb_device* dev, libusb_device_handle* h, const GUID& guid, int& interface);

// The transport's find_path: the `index`-th interface presenting `guid`.
uint32_t find_path(const GUID& guid, uint32_t index, std::string& path);

}  // namespace dirov::libusb_backend
