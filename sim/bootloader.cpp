// The board's bootloader face. Stalls every request until the bootloader
// model is built.
#include "sim/board.h"

namespace dirov::sim {
namespace {

class Bootloader final : public FaceModel {};

}  // namespace

std::unique_ptr<FaceModel> make_bootloader(Board&) { return std::make_unique<Bootloader>(); }

}  // namespace dirov::sim
