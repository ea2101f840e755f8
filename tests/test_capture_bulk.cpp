// 200 MB of the counter pattern through the capture thread, the in-order
// reader and the save worker, every byte checked in memory and in the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/sim_fixture.h"

namespace {

constexpr int32_t kBytes = 200 * 1024 * 1024;

// True when `n` bytes at stream offset `offset` (a multiple of 4) follow the
// counter pattern: 32-bit little-endian words 0, 1, 2...
bool IsCounter(const uint8_t* data, size_t n, uint64_t offset) {
    auto word = static_cast<uint32_t>(offset / 4);
    size_t i = 0;
    for (; i + 4 <= n; i += 4, ++word) {
        uint32_t got;
        std::memcpy(&got, data + i, 4);
        if (got != word) return false;
    }
    for (; i < n; ++i)
        if (data[i] != dirov_sim_stream_counter_byte(offset + i)) return false;
    return true;
}

class Bulk : public dirov::test::SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        open_main();
        path = testing::TempDir() + "bulk_" + std::to_string(getpid()) + ".raw";
    }
    void TearDown() override {
        std::remove(path.c_str());
        SimBoardTest::TearDown();
    }
    uint64_t CheckFile() {
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) return 0;
        std::vector<uint8_t> buf(1 << 20);
        uint64_t offset = 0;
        for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), f)) > 0; offset += n)
            if (!IsCounter(buf.data(), n, offset)) break;
        std::fclose(f);
        return offset;
    }
    std::string path;
};

TEST_F(Bulk, CounterStreamArrivesWholeInTheReaderAndTheFile) {
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    uint64_t offset = 0;
    bool in_order = true;
    int32_t capture = -9, save = -9;
    {
        dirov::test::Captured quiet;  // one "Saving packet" line per packet
        ASSERT_EQ(StartSaveWorker(path.c_str(), kBytes), 0);
        ASSERT_EQ(StartCaptureWorker(), 0);
        while (in_order && offset < static_cast<uint64_t>(kBytes)) {
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
    EXPECT_EQ(CheckFile(), static_cast<uint64_t>(kBytes));
}

}  // namespace
