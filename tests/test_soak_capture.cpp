// Soak: 10 GiB of the counter pattern, paced at 1 GB/s on the real clock,
// through the capture thread and the in-order reader, every byte checked;
// the save worker keeps the first GiB, checked in the file. A reader that
// falls behind is covered by the stalled-reader test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/counter_stream.h"
#include "support/sim_fixture.h"

namespace {

using Soak = dirov::test::SimBoardTest;

TEST_F(Soak, TenGibibytesOfCounterStream) {
    open_main();
    std::string path = testing::TempDir() + "soak_" + std::to_string(getpid()) + ".raw";
    dirov_sim_use_virtual_clock(0);
    dirov_sim_stream_set_rate(board, 1000000000);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    dirov::test::expect_counter_capture(path, 10ull << 30, 1 << 30);
    std::remove(path.c_str());
}

}  // namespace
