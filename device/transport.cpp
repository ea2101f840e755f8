#include "device/transport.h"

#include <array>
#include <atomic>

namespace dirov {
namespace {

// Installed backends in the order they came; slots fill once and never
// empty, so a reader needs no lock.
std::array<std::atomic<const TransportOps*>, 4> installed{};

}  // namespace

bool transport_register(const TransportOps& ops) {
    for (auto& slot : installed) {
        const TransportOps* seen = nullptr;
        if (slot.compare_exchange_strong(seen, &ops) || seen == &ops) return true;
    }
    return false;
}

const TransportOps& transport_for_discovery() {
    for (auto& slot : installed) {
        const TransportOps* ops = slot.load();
        if (!ops) break;
        if (ops->active()) return *ops;
    }
    return usb_transport_ops;
}

}  // namespace dirov
