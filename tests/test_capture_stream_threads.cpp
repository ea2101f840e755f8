// The simulated board's stream on pipe 0x82: queued transfers first, the
// counter pattern and the sines, pacing on the board's clock, and a stalled
// or paced read that only an abort releases.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "device/platform.h"
#include "device/usb.h"
#include "support/sim_fixture.h"

namespace {

constexpr uint8_t kPipe = 0x82;

class Stream : public dirov::test::SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        handle = open_main();
    }
    // One read as the capture thread posts it; the error code, 0 on success.
    uint32_t Read(std::vector<uint8_t>& out) {
        out.assign(20480, 0xEE);
        uint32_t got = 0;
        if (!dirov::usb_read_pipe_overlapped(handle, kPipe, out.data(), 20480, &got) &&
            dirov::last_error() != 997)
            return dirov::last_error();
        if (!dirov::usb_get_overlapped_result(handle, kPipe, &got, true))
            return dirov::last_error();
        out.resize(got);
        return 0;
    }
    WINUSB_INTERFACE_HANDLE handle = nullptr;
};

TEST_F(Stream, QueuedTransfersGoBeforeTheCounterWhichRunsOnAcrossTransfers) {
    uint8_t queued[3] = {1, 2, 3};
    dirov_sim_queue_in(board, kPipe, queued, 3);
    dirov_sim_stream_set_transfer_size(board, 1001);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    std::vector<uint8_t> t;
    ASSERT_EQ(Read(t), 0u);
    EXPECT_EQ(t, std::vector<uint8_t>(queued, queued + 3));
    uint64_t offset = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(Read(t), 0u);
        ASSERT_EQ(t.size(), 1001u);
        for (uint8_t b : t) ASSERT_EQ(b, dirov_sim_stream_counter_byte(offset++)) << offset;
    }
    EXPECT_EQ(dirov_sim_stream_produced(board), 5005u);
    EXPECT_EQ(dirov_sim_stream_counter_byte(4 * 0x01020304ull + 2), 0x02);
}

TEST_F(Stream, SinesAreWholeStereoFrames) {
    dirov_sim_stream_set_transfer_size(board, 1002);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_I2S_SINES);
    std::vector<uint8_t> t;
    ASSERT_EQ(Read(t), 0u);
    ASSERT_EQ(t.size(), 1000u);
    int peak = 0;
    for (size_t i = 0; i + 1 < t.size(); i += 2)
        peak = std::max(peak, std::abs(static_cast<int16_t>(t[i] | t[i + 1] << 8)));
    EXPECT_NEAR(peak, 16383, 200);  // default amplitude one half
}

TEST_F(Stream, RateIsKeptOnTheVirtualClock) {
    dirov_sim_stream_set_transfer_size(board, 20000);
    dirov_sim_stream_set_rate(board, 1000000);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    uint64_t start = dirov_sim_clock_ms();
    std::vector<uint8_t> t;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Read(t), 0u);
    EXPECT_EQ(dirov_sim_clock_ms() - start, 200u);  // 200000 bytes at 1 MB/s
}

TEST_F(Stream, ReadErrorsAreInjected) {
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_WAIT, 1, 1167);
    std::vector<uint8_t> t;
    EXPECT_EQ(Read(t), 1167u);
}

// A read waiting for a stalled stream, or for its paced transfer on the real
// clock, ends with 995 when the pipe is aborted from another thread.
void ExpectAbortReleases(WINUSB_INTERFACE_HANDLE h) {
    std::vector<uint8_t> buf(20480);
    uint32_t got = 0;
    ASSERT_FALSE(dirov::usb_read_pipe_overlapped(h, kPipe, buf.data(), 20480, &got));
    std::thread aborter([h] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        dirov::usb_abort_pipe(h, kPipe);
    });
    bool ok = dirov::usb_get_overlapped_result(h, kPipe, &got, true);
    uint32_t e = dirov::last_error();
    aborter.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(e, 995u);
}

TEST_F(Stream, StalledStreamIsReleasedByAnAbort) {
    ExpectAbortReleases(handle);
}

TEST_F(Stream, PacedReadOnTheRealClockIsReleasedByAnAbort) {
    dirov_sim_use_virtual_clock(0);
    dirov_sim_stream_set_rate(board, 1);  // the first transfer is due in hours
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    ExpectAbortReleases(handle);
}

TEST_F(Stream, SwitchingThePatternOnWakesAWaitingRead) {
    std::vector<uint8_t> buf(20480);
    uint32_t got = 0;
    ASSERT_FALSE(dirov::usb_read_pipe_overlapped(handle, kPipe, buf.data(), 20480, &got));
    std::thread starter([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    });
    EXPECT_TRUE(dirov::usb_get_overlapped_result(handle, kPipe, &got, true));
    starter.join();
    EXPECT_EQ(got, 20480u);
}

}  // namespace
