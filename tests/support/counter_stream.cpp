#include "support/counter_stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "dirov410.h"
#include "dirov410_sim.h"
#include "support/capture.h"

namespace dirov::test {

bool is_counter(const uint8_t* data, size_t n, uint64_t offset) {
    for (size_t i = 0; i < n; ++i)
        if (data[i] != dirov_sim_stream_counter_byte(offset + i)) return false;
    return true;
}

void expect_counter_capture(const std::string& path, uint64_t streamBytes, int32_t savedBytes) {
    uint64_t read = 0, saved = 0;
    int32_t capture = -9, save = -9;
    {
        Captured quiet;  // one "Saving packet" line per packet
        bool inOrder = StartSaveWorker(path.c_str(), savedBytes) == 0 && StartCaptureWorker() == 0;
        while (inOrder && read < streamBytes) {
            DataPacket* p = GetNextPacket();
            inOrder = p && is_counter(p->data, static_cast<size_t>(p->size), read);
            read += inOrder ? static_cast<uint64_t>(p->size) : 0;
        }
        capture = StopCaptureWorker();
        save = StopSaveWorker(0);
    }
    EXPECT_GE(read, streamBytes) << "out of order at offset " << read;
    EXPECT_EQ(std::make_pair(capture, save), std::make_pair(0, 0));
    FILE* f = std::fopen(path.c_str(), "rb");
    std::vector<uint8_t> buf(1 << 20);
    for (size_t n; f && (n = std::fread(buf.data(), 1, buf.size(), f)) > 0 &&
                   is_counter(buf.data(), n, saved);)
        saved += n;
    if (f) std::fclose(f);
    EXPECT_EQ(saved, static_cast<uint64_t>(savedBytes));
}

}  // namespace dirov::test
