// Any bytes the board may send as a reply.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> buf(data, data + size);
    buf.push_back('\0');
    CommandReply r;
    dirov::parse_reply_bytes(buf.data(), size, &r);
    if (r.Data) {
        // Touch every byte the record claims to hold.
        volatile uint8_t sink = 0;
        for (int i = 0; i < r.DataLength; ++i) sink = sink ^ r.Data[i];
        (void)sink;
    }
    std::free(r.Data);
    return 0;
}
