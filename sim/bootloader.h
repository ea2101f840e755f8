// The bootloader model's entry points for the main firmware's face (whose
// vendor requests and restarts share the bootloader's state), and a hook
// beyond the C test API for fuzzing.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "device/transport.h"
#include "dirov410_sim.h"

namespace dirov::sim {

class Board;

uint32_t bootloader_vendor_request(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                                   uint32_t* done);
uint32_t bootloader_reply(Board& b, const SetupPacket& s, const std::vector<uint8_t>& bytes,
                          uint8_t* data, uint32_t len, uint32_t* done);
uint32_t bootloader_descriptor(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                               uint32_t* done);
void bootloader_restart(Board& b, dirov_sim_face face, uint32_t delay_ms);

// Rewrites the data stage of the bootloader face's IN requests after the
// model has handled them (its state moves as usual). The script returns
// false to keep the model's reply; true with `stall` set to stall the
// request, or with `bytes` to send instead (cut to wLength). nullptr removes it.
using ReplyScript =
    std::function<bool(const SetupPacket&, std::vector<uint8_t>& bytes, bool& stall)>;
void bootloader_script_replies(Board& board, ReplyScript script);

}  // namespace dirov::sim
