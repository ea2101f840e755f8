// Soak: 10 GiB of the counter pattern, paced at 1 GB/s on the real clock,
// through the capture thread and the in-order reader, every byte checked;
// the save worker keeps the first GiB, checked in the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/sim_fixture.h"

namespace {

constexpr uint64_t kStreamBytes = 10ull << 30;
constexpr int32_t kSavedBytes = 1 << 30;

bool IsCounter(const uint8_t* data, size_t n, uint64_t offset) {
    auto word = static_cast<uint32_t>(offset / 4);
    for (size_t i = 0; i + 4 <= n; i += 4, ++word) {
        uint32_t got;
        std::memcpy(&got, data + i, 4);
        if (got != word) return false;
    }
    return n % 4 == 0;
}

uint64_t CheckFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    std::vector<uint8_t> buf(1 << 20);
    uint64_t offset = 0;
    for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), f)) > 0; offset += n)
        if (!IsCounter(buf.data(), n, offset)) break;
    std::fclose(f);
    return offset;
}

class Soak : public dirov::test::SimBoardTest {};

TEST_F(Soak, TenGibibytesOfCounterStream) {
    open_main();
    std::string path = testing::TempDir() + "soak_" + std::to_string(getpid()) + ".raw";
    dirov_sim_use_virtual_clock(0);
    dirov_sim_stream_set_rate(board, 1000000000);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    uint64_t offset = 0;
    bool in_order = true;
    int32_t capture = -9, save = -9;
    {
        dirov::test::Captured quiet;
        ASSERT_EQ(StartSaveWorker(path.c_str(), kSavedBytes), 0);
        ASSERT_EQ(StartCaptureWorker(), 0);
        while (in_order && offset < kStreamBytes) {
            DataPacket* p = GetNextPacket();
            in_order = p && IsCounter(p->data, p->size, offset);
            offset += p ? p->size : 0;
        }
        capture = StopCaptureWorker();
        save = StopSaveWorker(0);
    }
    EXPECT_TRUE(in_order) << "at offset " << offset;
    EXPECT_EQ(capture, 0);
    EXPECT_EQ(save, 0);
    EXPECT_EQ(CheckFile(path), static_cast<uint64_t>(kSavedBytes));
    std::remove(path.c_str());
}

}  // namespace
