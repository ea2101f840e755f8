// Control requests answered by the main firmware's face. Stalls every
// request until the run-time DFU interface is modelled.
#include "sim/board.h"

namespace dirov::sim {

uint32_t main_face_control(Board&, const SetupPacket&, uint8_t*, uint32_t, uint32_t*) {
    return 31;
}

}  // namespace dirov::sim
