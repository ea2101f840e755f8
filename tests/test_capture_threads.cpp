// The capture thread on the simulated board's stream pipe: publication one
// pass behind the read, the stop paths (stop seen, abort after the grace
// period, read errors) and the cleanup of unpublished packets.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <string>
#include <vector>

#include "DataStore/src/ds_usb_itf.h"
#include "device/platform.h"
#include "support/capture.h"
#include "support/sim_fixture.h"

namespace {

using dirov::test::Captured;

std::vector<std::vector<uint8_t>> Seen;
int32_t SeenCount = 0;
std::atomic<CapThreadArgs*> StopOnFirst{nullptr};  // the callback asks this thread to stop

// Keeps its lock, so that every published packet stays in the store.
void Record(DataPacket* p) {
    Seen.emplace_back(p->data, p->data + p->size);
    if (CapThreadArgs* args = StopOnFirst.load()) std::atomic_ref(args->stop).store(1);
    std::atomic_ref count(SeenCount);
    count.fetch_add(1);
    dirov::wake_all(SeenCount);
}

void WaitSeen(int32_t n) {
    std::atomic_ref count(SeenCount);
    for (int32_t v; (v = count.load()) < n;) dirov::wait_while_equal(SeenCount, v);
}

void WaitEnd(CapThreadArgs* args);

// Starts a capture thread, waits for it to end by itself and stops it.
int32_t RunUntilItEnds() {
    CapArgs* h = CreateCaptureThread(&DeviceData, 0x82);
    WaitEnd(h->args);
    return StopCaptureThread(h);
}

void WaitEnd(CapThreadArgs* args) {
    for (;;) {
        int32_t seen = dirov::CaptureEventCount();
        if (std::atomic_ref(args->status).load() <= 0) return;
        dirov::WaitCaptureEvent(seen);
    }
}

using dirov::test::Capturing;
using dirov::test::Output;

std::vector<uint8_t> Fill(size_t n, uint8_t value) {
    return std::vector<uint8_t>(n, value);
}

class CaptureThread : public dirov::test::SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        open_main();
        ASSERT_EQ(RegisterPktNotify(Record), 0);
    }
    void Queue(const std::vector<uint8_t>& t) {
        ASSERT_EQ(dirov_sim_queue_in(board, 0x82, t.data(), static_cast<uint32_t>(t.size())), 0);
    }
    static std::string StoreSummary() {
        return Capturing([] { ShowPacketInfo(0); }).err;
    }
};

TEST_F(CaptureThread, StopBeforeTheFirstReadRemovesItsPacket) {
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_SUBMIT, 1, 31);  // a posted read would end it with -1
    CapThreadArgs args{&DeviceData, 0x82, 1, 1};
    void* result = nullptr;
    Output o = Capturing([&] { result = captureThread(&args); });
    EXPECT_EQ(result, &args);
    EXPECT_EQ(args.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(StoreSummary(), "No packets created yet.\n");
}

TEST_F(CaptureThread, StopSeenAfterATransferLeavesThatTransferUnpublished) {
    CapArgs* h = CreateCaptureThread(&DeviceData, 0x82);
    ASSERT_NE(h, nullptr);
    StopOnFirst = h->args;
    Queue(Fill(100, 1));
    Queue(Fill(200, 2));
    Queue(Fill(300, 3));
    WaitEnd(h->args);
    int32_t status = -9;
    Capturing([&] { status = StopCaptureThread(h); });
    EXPECT_EQ(status, 0);
    ASSERT_EQ(Seen.size(), 1u);
    EXPECT_EQ(Seen[0], Fill(100, 1));
    EXPECT_EQ(dirov_sim_pending_in(board, 0x82), 1u);  // no read after the stop
    std::string summary = StoreSummary();
    EXPECT_NE(summary.find("Current packet count: 1\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("Pre-Published packet count: 0\n"), std::string::npos);
}

TEST_F(CaptureThread, StalledStreamIsAbortedOnceThePollsRunOut) {
    Queue(Fill(64, 7));
    CapArgs* h = CreateCaptureThread(&DeviceData, 0x82);
    ASSERT_NE(h, nullptr);
    int policy = -1;
    sched_param param{};
    ASSERT_EQ(pthread_getschedparam(h->thread, &policy, &param), 0);
    EXPECT_EQ(policy, SCHED_OTHER);
    WaitSeen(1);  // published after the next read was posted: the thread now waits for data
    dirov_sim_clear_events();
    int32_t status = -9;
    Output o = Capturing([&] { status = StopCaptureThread(h); });
    EXPECT_EQ(status, 0);
    const char* lines[] = {"Stopping capture thread", "Capture thread stopped", "Aborting Pipe",
                           "Calling join on the capture thread", "Stopping finished"};
    size_t at = 0;
    for (const char* line : lines) {
        size_t found = o.out.find(std::string(line) + "\n", at);
        ASSERT_NE(found, std::string::npos) << line << " in\n" << o.out;
        size_t head = o.out.rfind("[INFO] DataStore/src/ds_usb_itf.cpp:", found);
        EXPECT_EQ(head, o.out.rfind('[', found));
        at = found;
    }
    auto aborts = dirov::test::sim_events(DIROV_SIM_EV_ABORT);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].ev.ep, 0x82);
    EXPECT_EQ(dirov::test::sim_events(DIROV_SIM_EV_FLUSH).size(), 1u);
    std::string summary = StoreSummary();
    EXPECT_NE(summary.find("Current packet count: 1\n"), std::string::npos) << summary;
    EXPECT_NE(summary.find("Pre-Published packet count: 0\n"), std::string::npos);
}

TEST_F(CaptureThread, ThreadEndedByAReadErrorIsStoppedAtOnce) {
    Queue(Fill(10, 1));
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_WAIT, 2, 31);
    int32_t status = -9;
    Output o = Capturing([&] { status = RunUntilItEnds(); });
    EXPECT_EQ(status, -1);
    EXPECT_EQ(o.err, "ReadPipe Error: 31\n");
    EXPECT_NE(o.out.find("Capture thread stopped\n"), std::string::npos);
    EXPECT_EQ(o.out.find("Aborting Pipe"), std::string::npos);
    ASSERT_EQ(Seen.size(), 1u);  // published while the failed read was in flight
    // Only the published packet stays: the failed read's packet and the spare are gone.
    std::string summary = StoreSummary();
    EXPECT_NE(summary.find("Current packet count: 1\n"), std::string::npos) << summary;
}

TEST_F(CaptureThread, ReadThatCannotBePostedEndsTheThread) {
    Queue(Fill(10, 1));
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_SUBMIT, 2, 1167);
    int32_t status = -9;
    Output o = Capturing([&] { status = RunUntilItEnds(); });
    EXPECT_EQ(status, -1);
    EXPECT_EQ(o.err, "ReadPipe start Error: 1167\n");
    EXPECT_TRUE(Seen.empty());  // the filled packet is dropped unpublished
    EXPECT_EQ(StoreSummary(), "No packets created yet.\n");
}

TEST_F(CaptureThread, ShortAndZeroLengthTransfersBecomePackets) {
    Queue(Fill(512, 5));
    Queue({});
    Queue(Fill(20480, 6));
    CapArgs* h = CreateCaptureThread(&DeviceData, 0x82);
    ASSERT_NE(h, nullptr);
    WaitSeen(3);
    int32_t status = -9;
    Capturing([&] { status = StopCaptureThread(h); });
    EXPECT_EQ(status, 0);
    ASSERT_EQ(Seen.size(), 3u);
    EXPECT_EQ(Seen[0], Fill(512, 5));
    EXPECT_TRUE(Seen[1].empty());
    EXPECT_EQ(Seen[2], Fill(20480, 6));
}

TEST_F(CaptureThread, AbsentRecordsAreRefused) {
    CapArgs* h = reinterpret_cast<CapArgs*>(1);
    Output o = Capturing([&] { h = CreateCaptureThread(nullptr, 0x82); });
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(o.err, "No device record for the capture thread\n");
    EXPECT_EQ(StopCaptureThread(nullptr), -1);
}

}  // namespace
