// The capture and save workers on the simulated board: the in-order reader
// and its lock, pending counts, the Start/Stop rules and the save worker.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "DataStore/src/data_store.h"
#include "support/capture.h"
#include "support/counter_stream.h"
#include "support/sim_fixture.h"

namespace {

using dirov::test::Captured;

using dirov::test::Capturing;
using dirov::test::Output;

std::vector<uint8_t> Fill(size_t n, uint8_t value) {
    return std::vector<uint8_t>(n, value);
}

std::vector<uint8_t> Bytes(const DataPacket* p) {
    return {p->data, p->data + p->size};
}

// Counts that the capture thread moves on its own; nothing to wait on from outside.
template <typename Pred>
bool Eventually(Pred pred) {
    for (int i = 0; i < 5000 && !pred(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

class Workers : public dirov::test::SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        open_main();
        path = testing::TempDir() + "workers_" + std::to_string(getpid()) + ".raw";
    }
    void TearDown() override {
        Capturing([] {
            StopCaptureWorker();
            StopSaveWorker(1);
        });
        std::remove(path.c_str());
        SimBoardTest::TearDown();
    }
    void Queue(const std::vector<uint8_t>& t) {
        ASSERT_EQ(dirov_sim_queue_in(board, 0x82, t.data(), static_cast<uint32_t>(t.size())), 0);
    }
    static std::string Locked() {
        return Capturing([] { ShowPacketInfo(0); }).err;
    }
    std::vector<uint8_t> File() {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string path;
};

TEST_F(Workers, ReaderWalksThePacketsInOrderHoldingOneLock) {
    Queue(Fill(100, 1));
    Queue(Fill(200, 2));
    Queue(Fill(300, 3));
    ASSERT_EQ(StartCaptureWorker(), 0);
    ASSERT_TRUE(Eventually([] { return GetPendingCnt() == 3; }));
    DataPacket* a = GetNextPacket();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(Bytes(a), Fill(100, 1));
    EXPECT_EQ(GetPendingCnt(), 2);
    EXPECT_EQ(GetCurPacket(), a);
    DataPacket* b = GetNextPacket();
    EXPECT_EQ(Bytes(b), Fill(200, 2));
    EXPECT_EQ(dirov::LoadLock(a), 0);
    EXPECT_EQ(dirov::LoadLock(b), 1);
    DataPacket* c = GetNextPacket();
    EXPECT_EQ(Bytes(c), Fill(300, 3));
    EXPECT_EQ(GetPendingCnt(), 0);
    Output shown = Capturing([] { ShowBufStatus(0); });
    EXPECT_EQ(shown.out, "Max pending level: 3\n");
    EXPECT_EQ(shown.err.rfind(std::string(43, '-') + "\n---", 0), 0u) << shown.err;
    int32_t status = -9;
    Capturing([&] { status = StopCaptureWorker(); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(dirov::LoadLock(c), 1);  // still readable after the stop
    Capturing([] { StartCaptureWorker(); });
    EXPECT_NE(Locked().find("Locked packet count: 0\n"), std::string::npos);  // released
    EXPECT_EQ(GetPendingCnt(), 0);
}

TEST_F(Workers, PendingPacketsNobodyReadAreReleasedAtStop) {
    Queue(Fill(10, 1));
    Queue(Fill(20, 2));
    ASSERT_EQ(StartCaptureWorker(), 0);
    ASSERT_TRUE(Eventually([] { return GetPendingCnt() == 2; }));
    Capturing([] { StopCaptureWorker(); });
    EXPECT_NE(Locked().find("Locked packet count: 0\n"), std::string::npos);
    EXPECT_EQ(GetPendingCnt(), 0);
    EXPECT_EQ(GetNextPacket(), nullptr);
    Output o = Capturing([] { StartCaptureWorker(); });
    EXPECT_EQ(o.err, "");
}

uint64_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPlainHeap = false;  // sanitizer allocators keep freed memory
#else
constexpr bool kPlainHeap = true;
#endif

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A reader that stops reading: the store stays at its limit while the
// capture drains the board and counts what it drops; once the reader goes on,
// offsets show the gap; the memory goes back at stop.
TEST_F(Workers, StalledReaderMeetsTheStoreLimitAndSeesTheGap) {
    constexpr uint64_t kLimit = 8 << 20, kSlack = 4 << 20;
    constexpr uint64_t kBlocks = kLimit / 20480;
    ASSERT_EQ(dirov_set_store_limit(kLimit), 0);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    dirov_capture_stats st{};
    uint64_t before = ResidentBytes(), expected = 0, gaps = 0, read = 0;
    Output o = Capturing([&] {
        ASSERT_EQ(StartCaptureWorker(), 0);
        ASSERT_TRUE(Eventually([&] {
            dirov_get_capture_stats(&st);
            return st.dropped_transfers > 2 * kBlocks;
        }));
        if (kPlainHeap) {
            EXPECT_LT(ResidentBytes(), before + kLimit + kSlack);
        }
        for (; read < 3 * kBlocks; ++read) {
            DataPacket* p = GetNextPacket();
            int64_t at = dirov_packet_stream_offset(p);
            ASSERT_GE(at, static_cast<int64_t>(expected));
            ASSERT_TRUE(dirov::test::is_counter(p->data, static_cast<size_t>(p->size),
                                                static_cast<uint64_t>(at)));
            gaps += static_cast<uint64_t>(at) - expected;
            expected = static_cast<uint64_t>(at) + static_cast<uint64_t>(p->size);
        }
        EXPECT_EQ(StopCaptureWorker(), 0);
    });
    ASSERT_EQ(read, 3 * kBlocks);
    ASSERT_EQ(dirov_get_capture_stats(&st), 0);
    EXPECT_GT(gaps, 0u);
    EXPECT_GE(st.dropped_bytes, gaps);
    EXPECT_EQ(st.dropped_bytes, st.dropped_transfers * 20480);
    EXPECT_LE(st.store_peak_bytes, kLimit);
    EXPECT_EQ(Count(o.err, "Store limit reached: dropping transfers"), 1u) << o.err;
    EXPECT_EQ(Count(o.err, " at the store limit\n"), 1u);
    EXPECT_LE(st.store_bytes, 9u * 20480);  // the reserve and the packet the reader holds
    if (kPlainHeap) {
        EXPECT_LT(ResidentBytes(), before + kSlack);
    }
}

TEST_F(Workers, ASecondStartIsRefusedUntilTheEndIsReported) {
    Queue(Fill(10, 1));
    Queue(Fill(20, 2));
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_WAIT, 3, 31);
    ASSERT_EQ(StartCaptureWorker(), 0);
    EXPECT_EQ(Bytes(GetNextPacket()), Fill(10, 1));
    EXPECT_EQ(Bytes(GetNextPacket()), Fill(20, 2));
    int32_t again = 0;
    Output refused = Capturing([&] { again = StartCaptureWorker(); });
    EXPECT_EQ(again, -1);
    EXPECT_NE(refused.err.find("Capture thread still running\n"), std::string::npos);
    DataPacket* last = reinterpret_cast<DataPacket*>(1);
    Output ended = Capturing([&] { last = GetNextPacket(); });
    EXPECT_EQ(last, nullptr);
    EXPECT_NE(ended.err.find("The capture thread has given up\n"), std::string::npos);
    EXPECT_EQ(StartCaptureWorker(), 0);
}

TEST_F(Workers, UnregisteredStartCountsNothing) {
    Queue(Fill(10, 1));
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_WAIT, 2, 31);
    ASSERT_EQ(StartCaptureWorkerNoRegister(), 0);
    DataPacket* p = reinterpret_cast<DataPacket*>(1);
    Output o = Capturing([&] { p = GetNextPacket(); });
    EXPECT_EQ(p, nullptr);
    EXPECT_NE(o.err.find("The capture thread has given up\n"), std::string::npos);
    EXPECT_EQ(GetPendingCnt(), 0);
}

TEST_F(Workers, RestartRegistersTheReaderOnce) {
    ASSERT_EQ(StartCaptureWorker(), 0);
    Capturing([] { StopCaptureWorker(); });
    ASSERT_EQ(StartCaptureWorker(), 0);
    uint8_t byte = 9;
    NewDataPacket(&byte, 1);
    EXPECT_EQ(GetPendingCnt(), 1);
    EXPECT_EQ(*GetNextPacket()->data, 9);
}

TEST_F(Workers, CallsWithoutAWorkerHaveAResult) {
    int32_t capture = 0, save = 0, running = 0;
    DataPacket* p = reinterpret_cast<DataPacket*>(1);
    Capturing([&] {
        p = GetNextPacket();
        capture = StopCaptureWorker();
        save = StopSaveWorker(0);
        running = SaveWorkerRunning();
    });
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(capture, -1);
    EXPECT_EQ(save, -1);
    EXPECT_EQ(running, -1);
}

TEST_F(Workers, SavedFileHoldsTheTransfers) {
    Queue(Fill(20480, 1));
    Queue(Fill(20480, 2));
    Queue(Fill(512, 3));
    int32_t status = -9;
    Output o = Capturing([&] {
        StartSaveWorker(path.c_str(), 0);
        StartCaptureWorker();
        for (int i = 0; i < 3; ++i) GetNextPacket();
        StopCaptureWorker();
        status = StopSaveWorker(0);
    });
    EXPECT_EQ(status, 0);
    std::vector<uint8_t> want = Fill(20480, 1);
    for (uint8_t v : {2, 3}) {
        auto part = Fill(v == 2 ? 20480 : 512, v);
        want.insert(want.end(), part.begin(), part.end());
    }
    EXPECT_EQ(File(), want);
    EXPECT_NE(o.err.find("Started save thread\n"), std::string::npos);
    EXPECT_NE(o.err.find("Stopping save thread\nThread gone\n"), std::string::npos);
}

TEST_F(Workers, LimitedSaveEndsByItselfAndBlocksTheNextStart) {
    Queue(Fill(20480, 1));
    Queue(Fill(20480, 2));
    Queue(Fill(512, 3));
    Capturing([&] {
        StartSaveWorker(path.c_str(), 30000);
        StartCaptureWorker();
    });
    ASSERT_TRUE(Eventually([] { return SaveWorkerRunning() == -1; }));
    int32_t again = 0, status = -9;
    Output o = Capturing([&] {
        again = StartSaveWorker(path.c_str(), 0);
        status = StopSaveWorker(0);
    });
    EXPECT_EQ(again, -1);
    EXPECT_NE(o.err.find("Last save thread not closed\n"), std::string::npos);
    EXPECT_EQ(status, 0);
    std::vector<uint8_t> want = Fill(20480, 1);
    want.resize(30000, 2);
    EXPECT_EQ(File(), want);
}

}  // namespace
