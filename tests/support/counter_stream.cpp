#include "support/counter_stream.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "dirov410.h"
#include "dirov410_sim.h"
#include "support/capture.h"

namespace dirov::test {

bool is_counter(const uint8_t* data, size_t n, uint64_t offset) {
    size_t i = 0;
    for (; i < n && (offset + i) % 4; ++i)
        if (data[i] != dirov_sim_stream_counter_byte(offset + i)) return false;
    auto word = static_cast<uint32_t>((offset + i) / 4);
    for (; i + 4 <= n; i += 4, ++word) {
        uint32_t got;
        std::memcpy(&got, data + i, 4);
        if (got != word) return false;
    }
    for (; i < n; ++i)
        if (data[i] != dirov_sim_stream_counter_byte(offset + i)) return false;
    return true;
}

uint64_t counter_prefix_of_file(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    std::vector<uint8_t> buf(1 << 20);
    uint64_t offset = 0;
    for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), f)) > 0; offset += n)
        if (!is_counter(buf.data(), n, offset)) break;
    std::fclose(f);
    return offset;
}

CounterRun run_counter_capture(const std::string& path, uint64_t streamBytes, int32_t savedBytes) {
    CounterRun run;
    {
        Captured quiet;  // one "Saving packet" line per packet
        if (StartSaveWorker(path.c_str(), savedBytes) != 0 || StartCaptureWorker() != 0) {
            run.in_order = false;
            return run;
        }
        while (run.in_order && run.read < streamBytes) {
            DataPacket* p = GetNextPacket();
            run.in_order = p && is_counter(p->data, static_cast<size_t>(p->size), run.read);
            run.read += p ? static_cast<uint64_t>(p->size) : 0;
        }
        run.capture = StopCaptureWorker();
        run.save = StopSaveWorker(0);
    }
    run.saved = counter_prefix_of_file(path);
    return run;
}

}  // namespace dirov::test
