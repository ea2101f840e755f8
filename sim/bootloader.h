// Hooks into the bootloader model beyond the C test API, for fuzzing.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "device/transport.h"

namespace dirov::sim {

class Board;

// Rewrites the data stage of the bootloader face's IN requests after the
// model has handled them (its state moves as usual). The script returns
// false to keep the model's reply; true with `stall` set to stall the
// request, or with `bytes` to send instead (cut to wLength). nullptr removes it.
using ReplyScript =
    std::function<bool(const SetupPacket&, std::vector<uint8_t>& bytes, bool& stall)>;
void bootloader_script_replies(Board& board, ReplyScript script);

}  // namespace dirov::sim
