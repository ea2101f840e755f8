// 200 MB of the counter pattern through the capture thread, the in-order
// reader and the save worker, every byte checked in memory and in the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/counter_stream.h"
#include "support/sim_fixture.h"

namespace {

constexpr int32_t kBytes = 200 * 1024 * 1024;

using Bulk = dirov::test::SimBoardTest;

TEST_F(Bulk, CounterStreamArrivesWholeInTheReaderAndTheFile) {
    open_main();
    std::string path = testing::TempDir() + "bulk_" + std::to_string(getpid()) + ".raw";
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    auto run = dirov::test::run_counter_capture(path, kBytes, kBytes);
    std::remove(path.c_str());
    EXPECT_TRUE(run.in_order) << "at offset " << run.read;
    EXPECT_EQ(run.capture, 0);
    EXPECT_EQ(run.save, 0);
    EXPECT_EQ(run.saved, static_cast<uint64_t>(kBytes));
}

TEST(CounterPattern, CheckerFindsADroppedOrRepeatedWord) {
    uint8_t good[12] = {0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
    uint8_t skipped[8] = {0, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_TRUE(dirov::test::is_counter(good, sizeof good, 0));
    EXPECT_TRUE(dirov::test::is_counter(good + 4, 8, 4));
    EXPECT_TRUE(dirov::test::is_counter(good + 5, 7, 5));
    EXPECT_FALSE(dirov::test::is_counter(skipped, sizeof skipped, 0));
    EXPECT_FALSE(dirov::test::is_counter(good, 8, 4));
}

}  // namespace
