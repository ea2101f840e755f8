// Control requests answered by the main firmware's face: its run-time DFU
// interface (appIDLE, DFU_DETACH into the bootloader) and the bootloader's
// vendor requests, answered with bit 0 of the state record set since the main
// firmware already runs.
#include "dfu/dfu_protocol.h"
#include "platform/platform.h"
#include "sim/board.h"
#include "sim/bootloader.h"

namespace dirov::sim {

namespace {

constexpr uint32_t kStall = kErrorGenFailure;  // what WinUSB reports for a stall
using namespace dirov::dfu;
constexpr uint8_t kAppIdle = 0;

uint32_t class_request(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                       uint32_t* done) {
    if (s.bmRequestType == kClassIn && s.bRequest == kGetState)
        return bootloader_reply(b, s, {kAppIdle}, data, len, done);
    if (s.bmRequestType == kClassIn && s.bRequest == kGetStatus)
        return bootloader_reply(b, s, {0, 0, 0, 0, kAppIdle, 0}, data, len, done);
    if (s.bmRequestType == kClassOut && s.bRequest == kDetach) {
        bootloader_restart(b, DIROV_SIM_FACE_BOOTLOADER, b.config().reenumerate_ms);
        return kErrorSuccess;
    }
    return kStall;
}

}  // namespace

uint32_t main_face_control(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                           uint32_t* done) {
    if (s.bmRequestType == kVendorIn) return bootloader_vendor_request(b, s, data, len, done);
    if (s.bmRequestType == kStandardIn) return bootloader_descriptor(b, s, data, len, done);
    if (!b.config().runtime_dfu) return kStall;
    return class_request(b, s, data, len, done);
}

}  // namespace dirov::sim
