// A control request as it reaches the board off a real bus: the standard
// requests a host's USB stack sends (descriptors, configuration, status,
// halt), the Microsoft OS descriptor requests, then the face's own
// requests. Adapters that present the board as a USB device (an emulated
// usbfs device, the USB/IP server) answer ep0 through this.
#pragma once

#include <cstdint>

#include "device/transport.h"
#include "sim/usb_descriptors.h"

namespace dirov::sim {

class Board;

// The face's descriptors are `desc` (those shown to the bus since `gen`).
// Returns 0 with *done set, 31 to stall, or 1167 when the board left.
// `data` holds at least s.wLength bytes.
uint32_t bus_control(Board& board, const UsbDescriptors& desc, uint32_t gen, const SetupPacket& s,
                     uint8_t* data, uint32_t* done);

// Whether configuration `config` (a whole configuration descriptor) has
// interface `number`, or endpoint `address`.
bool config_has_interface(const std::vector<uint8_t>& config, uint8_t number);
bool config_has_endpoint(const std::vector<uint8_t>& config, uint8_t address);

}  // namespace dirov::sim
