// Stand-in for real USB until a hardware backend is built in: no board is
// ever present.
#include "device/platform.h"
#include "device/transport.h"

namespace dirov {
namespace {

bool none_active() { return true; }
uint32_t none_find_path(const GUID&, std::string&) { return kErrorNoMoreItems; }
uint32_t none_open(const char*, BackendDevice*, OpenStage* stage) {
    *stage = OpenStage::File;
    return kErrorFileNotFound;
}
void none_close(BackendDevice) {}
uint32_t none_write(BackendDevice, uint8_t, const uint8_t*, uint32_t, uint32_t*) {
    return kErrorInvalidHandle;
}
uint32_t none_read(BackendDevice, uint8_t, uint8_t*, uint32_t, uint32_t*) {
    return kErrorInvalidHandle;
}
uint32_t none_wait(BackendDevice, uint8_t, bool, uint32_t*) { return kErrorInvalidHandle; }
uint32_t none_pipe(BackendDevice, uint8_t) { return kErrorInvalidHandle; }
uint32_t none_control(BackendDevice, const SetupPacket&, uint8_t*, uint32_t, uint32_t*) {
    return kErrorInvalidHandle;
}
uint32_t none_descriptor(BackendDevice, uint8_t, uint8_t, uint16_t, uint8_t*, uint32_t,
                         uint32_t*) {
    return kErrorInvalidHandle;
}

}  // namespace

const TransportOps usb_transport_ops = {
    "none",     none_active, none_find_path, none_open, none_close,   none_write,
    none_read,  none_read,   none_wait,      none_pipe, none_pipe,    none_control,
    none_descriptor,
};

}  // namespace dirov
