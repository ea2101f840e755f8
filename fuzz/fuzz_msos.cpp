// Any bytes a device may return for its BOS, MS OS 2.0 descriptor set, MS OS
// 1.0 string or extended properties, and any GUID map text.
#include <string_view>
#include <vector>

#include "device/msos_descriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dirov::msos;
    // Copies so that reads past the input show up as heap overflows.
    std::vector<uint8_t> buf(data, data + size);
    Ms20Capability cap;
    find_ms20_capability(buf.data(), buf.size(), cap);
    std::vector<FunctionGuids> fns;
    if (parse_ms20_set(buf.data(), buf.size(), fns)) {
        for (const auto& f : fns)
            if (f.guids.empty()) __builtin_trap();
    }
    uint8_t code = 0;
    parse_ms10_string(buf.data(), buf.size(), code);
    std::vector<GUID> guids;
    parse_ms10_properties(buf.data(), buf.size(), guids);
    std::vector<GuidMapEntry> map;
    parse_guid_map(std::string_view(reinterpret_cast<const char*>(buf.data()), buf.size()), map);
    return 0;
}
