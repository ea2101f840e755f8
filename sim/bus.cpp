#include "sim/bus.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "sim/board.h"

namespace dirov::sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kStandard = 0x00;
constexpr uint8_t kInterface = 1, kEndpoint = 2;

constexpr uint8_t kGetStatus = 0, kClearFeature = 1, kSetFeature = 3, kGetDescriptor = 6,
                  kGetConfiguration = 8, kSetConfiguration = 9, kGetInterface = 10,
                  kSetInterface = 11;
constexpr uint8_t kMs20DescriptorIndex = 7, kMs10PropertiesIndex = 5;

// Walks the descriptors of a configuration, calling fn(type, bytes).
template <typename Fn>
void walk(const Bytes& config, Fn&& fn) {
    for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2;) {
        size_t len = config[at];
        if (at + len > config.size()) return;
        fn(config[at + 1], config.data() + at);
        at += len;
    }
}

uint32_t reply(const Bytes& d, const SetupPacket& s, uint8_t* data, uint32_t* done) {
    if (d.empty()) return kErrorGenFailure;
    *done = std::min<uint32_t>(s.wLength, static_cast<uint32_t>(d.size()));
    if (*done) std::memcpy(data, d.data(), *done);
    return kErrorSuccess;
}

// A standard request to the device, an interface or an endpoint; false
// when the face's model answers it.
bool standard(Board& board, const UsbDescriptors& desc, uint32_t gen, const SetupPacket& s,
              uint8_t* data, uint32_t* done, uint32_t& e) {
    uint8_t recipient = s.bmRequestType & kRecipientMask, index = s.wIndex & 0xFF;
    bool in = s.bmRequestType & 0x80;
    if (recipient == kInterface && !config_has_interface(desc.config, index)) {
        e = kErrorGenFailure;
        return true;
    }
    if (recipient == kEndpoint && !config_has_endpoint(desc.config, index)) {
        e = kErrorGenFailure;
        return true;
    }
    uint8_t high = static_cast<uint8_t>(s.wValue >> 8), low = s.wValue & 0xFF;
    switch (in ? s.bRequest : s.bRequest | 0x80) {
        case kGetDescriptor:
            // Class descriptors (the DFU functional one) are the face's.
            if (recipient != 0 || (high != 1 && high != 2 && high != 3 && high != 0x0F))
                return false;
            if (high == 3 && (low != 0xEE || desc.ms10_string.empty())) {
                e = board.get_descriptor(gen, 3, low, s.wIndex, data, s.wLength, done);
                return true;
            }
            e = reply(high == 1      ? desc.device
                      : high == 2    ? desc.config
                      : high == 0x0F ? desc.bos
                      : high == 3    ? desc.ms10_string
                                     : Bytes{},
                      s, data, done);
            return true;
        case kGetStatus:
            e = reply({0, 0}, s, data, done);
            return true;
        case kGetConfiguration:
            e = reply({1}, s, data, done);
            return true;
        case kGetInterface:
            e = reply({0}, s, data, done);
            return true;
        case kClearFeature | 0x80:
        case kSetFeature | 0x80:
        case kSetInterface | 0x80:
            e = s.wValue == 0 ? kErrorSuccess : kErrorGenFailure;  // halt; alternate 0
            return true;
        case kSetConfiguration | 0x80:
            e = s.wValue <= 1 ? kErrorSuccess : kErrorGenFailure;
            return true;
        default:
            return false;
    }
}

}  // namespace

bool config_has_interface(const Bytes& config, uint8_t number) {
    bool found = false;
    walk(config, [&](uint8_t type, const uint8_t* d) { found |= type == 4 && d[2] == number; });
    return found;
}

bool config_has_endpoint(const Bytes& config, uint8_t address) {
    if ((address & 0x7F) == 0) return true;
    bool found = false;
    walk(config, [&](uint8_t type, const uint8_t* d) { found |= type == 5 && d[2] == address; });
    return found;
}

uint32_t bus_control(Board& board, const UsbDescriptors& desc, uint32_t gen, const SetupPacket& s,
                     uint8_t* data, uint32_t* done) {
    *done = 0;
    if (board.generation() != gen) return kErrorDeviceNotConnected;
    uint32_t e = kErrorSuccess;
    if ((s.bmRequestType & kTypeMask) == kStandard && standard(board, desc, gen, s, data, done, e))
        return e;
    if (s.bmRequestType == 0xC0 && s.bRequest == kMsVendorCode && s.wIndex == kMs20DescriptorIndex)
        return reply(desc.ms20_set, s, data, done);
    if (s.bmRequestType == 0xC1 && s.bRequest == kMsVendorCode &&
        s.wIndex == kMs10PropertiesIndex) {
        size_t i = s.wValue >> 8;
        return reply(i < desc.ms10_properties.size() ? desc.ms10_properties[i] : Bytes{}, s, data,
                     done);
    }
    return board.control(gen, s, data, s.wLength, done);
}

}  // namespace dirov::sim
