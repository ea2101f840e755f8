// Any bytes a USB/IP client may send: first an operation request, then a
// stream of URB commands, parsed as the server does, request after request.
#include <cstdlib>

#include "sim/usbip/protocol.h"

using namespace dirov::usbip;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    OpRequest op;
    Result r = parse_op(data, size, op);
    if (r.status == Parsed::kRequest && (r.used > size || r.used < kOpHeaderSize)) std::abort();
    if (r.status == Parsed::kRequest && op.busid.size() >= kBusIdSize) std::abort();
    size_t at = 0;
    for (;;) {
        Command c;
        r = parse_command(data + at, size - at, c);
        if (r.status != Parsed::kRequest) break;
        if (r.used < kCommandSize || r.used > size - at) std::abort();
        if (c.out.size() > kMaxTransfer || c.ep > 15) std::abort();
        at += r.used;
        // A reply to each, as the server would send it.
        Bytes reply = encode_ret_submit(c.seqnum, 0, static_cast<uint32_t>(c.out.size()),
                                        c.out.empty() ? nullptr : c.out.data());
        if (reply.size() != kCommandSize + c.out.size()) std::abort();
    }
    return 0;
}
