#include "device/transport.h"

namespace dirov {

const TransportOps& transport_for_discovery() {
    return sim_transport_ops.active() ? sim_transport_ops : usb_transport_ops;
}

}  // namespace dirov
