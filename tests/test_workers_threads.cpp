// The capture and save workers on the simulated board: the in-order reader
// and its lock, pending counts, the Start/Stop rules and the save worker.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DataStore/src/data_store.h"
#include "device/platform.h"
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

// Sanitizer allocators keep freed memory; under Wine the working set does not
// shrink when the heap frees.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(_WIN32)
constexpr bool kPlainHeap = false;
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
    uint64_t before = dirov::test::resident_bytes(), expected = 0, gaps = 0, read = 0;
    Output o = Capturing([&] {
        ASSERT_EQ(StartCaptureWorker(), 0);
        ASSERT_TRUE(Eventually([&] {
            dirov_get_capture_stats(&st);
            return st.dropped_transfers > 2 * kBlocks;
        }));
        if (kPlainHeap) {
            EXPECT_LT(dirov::test::resident_bytes(), before + kLimit + kSlack);
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
        EXPECT_LT(dirov::test::resident_bytes(), before + kSlack);
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

struct LogLines {
    std::mutex mutex;
    std::vector<std::pair<int32_t, std::string>> lines;
    // The first line of `level` holding `text`, or "".
    std::string find(int32_t level, const std::string& text) {
        std::lock_guard lock(mutex);
        for (const auto& [l, t] : lines)
            if (l == level && t.find(text) != std::string::npos) return t;
        return "";
    }
};

// Lines of the main, capture and save threads reach the handler whole,
// without their newline, at their level, and nothing is printed; without a
// handler DIROV410_LOG filters what prints.
TEST_F(Workers, LogHandlerGetsEveryLineOfEveryThread) {
    Queue(Fill(20480, 1));
    Queue(Fill(512, 2));
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_WAIT, 3, 31);  // the capture thread's read fails
    LogLines log;
    Output o = Capturing([&] {
        dirov_set_log_handler(
            [](void* user, int32_t level, const char* line) {
                auto* l = static_cast<LogLines*>(user);
                std::lock_guard lock(l->mutex);
                l->lines.emplace_back(level, line);
            },
            &log);
        StartSaveWorker(path.c_str(), 0);
        StartSaveWorker(path.c_str(), 0);
        StartCaptureWorker();
        while (GetNextPacket()) {
        }
        StopSaveWorker(0);
        dirov_set_log_handler(nullptr, nullptr);
    });
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(log.find(DIROV_LOG_INFO, "Started"), "Started save thread");
    EXPECT_EQ(log.find(DIROV_LOG_ERROR, "Last save"), "Last save thread not closed");
    EXPECT_EQ(log.find(DIROV_LOG_ERROR, "ReadPipe"), "ReadPipe Error: 31");  // capture thread
    EXPECT_EQ(log.find(DIROV_LOG_ERROR, "given up"), "The capture thread has given up");
    std::string saving = log.find(DIROV_LOG_INFO, "Saving packet");  // save thread
    EXPECT_EQ(saving.rfind("[INFO] ", 0), 0u) << saving;
    EXPECT_NE(saving.find("ds_to_file.cpp:"), std::string::npos) << saving;
    EXPECT_TRUE(saving.ends_with(": Saving packet")) << saving;
    for (const auto& [level, line] : log.lines) EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_EQ(File().size(), 20480u + 512u);

    dirov::test::set_env("DIROV410_LOG", "error");
    o = Capturing([&] {
        StartSaveWorker(path.c_str(), 0);
        StartSaveWorker(path.c_str(), 0);
        StopSaveWorker(1);
    });
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "Last save thread not closed\n");
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

// Worker calls made from a packet callback, on the capture thread: each
// returns without waiting, and the workers work again afterwards.
std::function<void()> CallbackAct;
std::atomic<int32_t> CallbackRan{0};
void ActOnce(DataPacket*) {
    if (CallbackRan.load() != 0) return;
    CallbackAct();
    CallbackRan.store(1);
    dirov::wake_all(CallbackRan);
}

TEST_F(Workers, CallsFromAPacketCallbackNeverWaitOnTheCaptureThread) {
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    SaveArgs* direct = nullptr;
    struct Case {
        const char* name;
        bool saving;  // a save worker runs when the callback acts
        std::function<void()> act;
        std::function<void()> after;  // on the test thread
    } cases[] = {
        {"StopCaptureWorker", true, [] { EXPECT_EQ(StopCaptureWorker(), 0); },
         [] { EXPECT_EQ(StartCaptureWorker(), 0); }},  // the stopped thread is reaped
        {"StartSaveWorker", false, [&] { EXPECT_EQ(StartSaveWorker(path.c_str(), 0), 0); },
         [] { EXPECT_EQ(StopSaveWorker(0), 0); }},
        {"StopSaveWorker(0)", true, [] { EXPECT_EQ(StopSaveWorker(0), 0); },
         [&] { EXPECT_EQ(StartSaveWorker(path.c_str(), 0), 0); }},
        {"StopSaveWorker(1)", true, [] { EXPECT_EQ(StopSaveWorker(1), 0); },
         [&] { EXPECT_EQ(StartSaveWorker(path.c_str(), 0), 0); }},
        {"CreateSaveThread", false, [&] { direct = CreateSaveThread((path + "2").c_str(), 0); },
         [&] { EXPECT_EQ(StopSaveThread(direct, 1), 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Captured quiet;
        StopCaptureWorker();
        StopSaveWorker(1);
        ASSERT_EQ(c.saving ? StartSaveWorker(path.c_str(), 0) : 0, 0);
        ASSERT_EQ(StartCaptureWorker(), 0);
        CallbackAct = c.act;
        CallbackRan.store(0);
        ASSERT_EQ(RegisterPktNotify(ActOnce), 0);
        dirov::wait_while_equal(CallbackRan, 0);
        ASSERT_EQ(UnregisterPktNotify(ActOnce), 0);
        c.after();
    }
    std::remove((path + "2").c_str());
}

// Three threads call the worker and save API in random order over the
// counter stream. The reader checks every packet where it stands: within
// one capture it continues the stream exactly, across captures it moves on.
// A start releases the packet being checked, so starts are only tried
// while the reader stands between packets.
// The saved file holds the stream in order, broken at most once per capture
// started while it was written.
class CallOrder {
   public:
    explicit CallOrder(std::string path) : path_(std::move(path)) {}
    void Read();
    void Act(unsigned seed);
    bool reader_in_order = true;
    std::string why;  // where the reader left the stream
    uint64_t reader_packets = 0;
    std::atomic<int32_t> file_starts{0};  // starts before the last save started

    int32_t Starts() { return starts_.load(); }

   private:
    bool Running() const { return std::chrono::steady_clock::now() < end_; }

    std::string path_;
    std::chrono::steady_clock::time_point end_ =
        std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::mutex open_mu_;   // the application keeps opening and closing apart
    std::mutex reader_mu_;  // held by the reader from GetNextPacket to the end of its check
    std::atomic<int32_t> starts_{0};
};

void CallOrder::Read() {
    int32_t run = -1;
    uint64_t next = 0;
    std::mt19937 rng(56);
    while (Running() && reader_in_order) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
        std::lock_guard lk(reader_mu_);
        int32_t starts = Starts();
        DataPacket* p = GetNextPacket();
        if (!p) continue;
        uint32_t word = 0;
        std::memcpy(&word, p->data, 4);
        uint64_t at = 4ull * word;
        auto size = static_cast<uint64_t>(p->size);
        bool ok = size > 0 && size % 4 == 0 && (run == starts ? at == next : at >= next) &&
                  dirov::test::is_counter(p->data, size, at);
        reader_in_order = ok;
        if (!ok)
            why = std::to_string(at) + " after " + std::to_string(next) + (run == starts ? " in one capture" : "");
        run = starts;
        next = at + size;
        ++reader_packets;
    }
}

void CallOrder::Act(unsigned seed) {
    std::mt19937 rng(seed);
    auto start = [&](int32_t (*fn)()) {
        std::unique_lock lk(reader_mu_, std::try_to_lock);
        if (lk && fn() == 0) starts_.fetch_add(1);
    };
    const std::function<void()> calls[] = {
        [&] { start(StartCaptureWorker); },
        [&] { start(StartCaptureWorkerNoRegister); },
        [] { StopCaptureWorker(); },
        [&] {
            int32_t before = Starts();
            if (StartSaveWorker(path_.c_str(), 0) == 0) file_starts.store(before);
        },
        [] { StopSaveWorker(0); },
        [] { StopSaveWorker(1); },
        [] { SaveWorkerRunning(); },
        [] { ShowBufStatus(0); },
        [] { GetPendingCnt(); },
        [&] {
            std::lock_guard lk(open_mu_);
            CloseDevice(&DeviceData);
            BOOL none = 0;
            OpenDevice(&DeviceData, &none, nullptr);
        },
    };
    while (Running()) {
        calls[rng() % std::size(calls)]();
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    }
}

TEST_F(Workers, AnyCallOrderFromThreeThreadsKeepsTheCounterStreamInOrder) {
    dirov_sim_use_virtual_clock(0);
    dirov_sim_stream_set_rate(board, 20000000);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    CallOrder run(path);
    {
        Captured quiet;
        std::thread reader([&] { run.Read(); });
        std::thread a([&] { run.Act(12); });
        std::thread b([&] { run.Act(34); });
        a.join();
        b.join();
        StopCaptureWorker();  // releases a reader waiting on an unregistered capture
        reader.join();
        StopSaveWorker(0);
    }
    EXPECT_TRUE(run.reader_in_order) << run.why;
    EXPECT_GT(run.reader_packets, 0u);
    std::vector<uint8_t> file = File();
    ASSERT_EQ(file.size() % 4, 0u);
    int32_t breaks = 0;
    for (size_t i = 4; i < file.size(); i += 4) {
        uint32_t prev, word;
        std::memcpy(&prev, &file[i - 4], 4);
        std::memcpy(&word, &file[i], 4);
        ASSERT_GT(word, prev) << "at " << i;
        breaks += word != prev + 1;
    }
    EXPECT_LE(breaks, run.Starts() - run.file_starts.load());
}

}  // namespace
