// The capture thread, the save thread and the capture and save workers on the
// simulated board, and the packet store under one publisher and many readers.
#include <gtest/gtest.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "DataStore/src/data_store.h"
#include "DataStore/src/ds_usb_itf.h"
#include "data/binutils_listing.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/counter_stream.h"
#include "support/sim_fixture.h"

namespace {

using dirov::test::Captured;
using dirov::test::Capturing;
using dirov::test::file_bytes;
using Bytes = std::vector<uint8_t>;

// Distinct bytes per packet and per position, so a lost, doubled or
// misplaced byte shows.
Bytes Ramp(size_t n, uint8_t seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

// Runs `fn` with the output captured: its result and what it printed.
template <typename Fn>
auto Quietly(Fn fn) {
    Captured c;
    auto result = fn();
    return std::make_pair(result, dirov::test::Output{c.out.take(), c.err.take()});
}

// For states the threads reach by themselves, with nothing to wait on outside.
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
    void Queue(std::initializer_list<Bytes> transfers) {
        for (const Bytes& t : transfers)
            ASSERT_EQ(dirov_sim_queue_in(board, 0x82, t.data(), static_cast<uint32_t>(t.size())),
                      0);
    }
    static std::string StoreInfo() {
        return Capturing([] { ShowPacketInfo(0); }).err;
    }
    static DataPacket* Publish(const Bytes& bytes) {
        return NewDataPacket(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    static Bytes Of(const DataPacket* p) { return {p->data, p->data + p->size}; }
    static bool Has(const std::string& text, const std::string& what) {
        return text.find(what) != std::string::npos;
    }
    std::string path;
};

TEST_F(Workers, ReaderWalksThePacketsInOrderHoldingOneLock) {
    Queue({Ramp(512, 1), {}, Ramp(20480, 3), Ramp(10, 4)});
    ASSERT_EQ(StartCaptureWorker(), 0);
    ASSERT_TRUE(Eventually([] { return GetPendingCnt() == 4; }));
    DataPacket* a = GetNextPacket();
    EXPECT_EQ(std::make_tuple(Of(a), GetPendingCnt(), GetCurPacket()),
              std::make_tuple(Ramp(512, 1), 3, a));
    DataPacket* b = GetNextPacket();
    EXPECT_EQ(std::make_tuple(Of(b), dirov::load_lock(a), dirov::load_lock(b)),
              std::make_tuple(Bytes{}, 0, 1));
    DataPacket* c = GetNextPacket();
    EXPECT_EQ(Of(c), Ramp(20480, 3));
    dirov_sim_clear_events();
    // The capture waits on a stalled stream.
    EXPECT_EQ(Quietly(StopCaptureWorker).first, 0);
    auto aborts = dirov::test::sim_events(DIROV_SIM_EV_ABORT);
    EXPECT_EQ(std::make_tuple(aborts.size(), aborts.at(0).ev.ep,
                              dirov::test::sim_events(DIROV_SIM_EV_FLUSH).size()),
              std::make_tuple(1u, 0x82, 1u));
    // The packet in flight is gone, the one read last still readable, the unread one free.
    EXPECT_EQ(dirov::load_lock(c), 1);
    const std::string dashes(33, '-');
    EXPECT_EQ(StoreInfo(), dashes +
                               "\nCurrent packet count: 4\nSum of packet sizes: 21002\nMax packet "
                               "size: 20480\nMin packet size: 0\nPre-Published packet count: 0\n"
                               "Locked packet count: 1\n" +
                               dashes + "\n");
    EXPECT_EQ((std::tuple{GetPendingCnt(), dirov_get_next_packet(1000), dirov_get_last_error()}),
              std::make_tuple(0, nullptr, 259u));
    EXPECT_EQ(Capturing([] { StartCaptureWorker(); }).err, "");
    EXPECT_PRED2(Has, StoreInfo(), "Locked packet count: 0\n");
    Publish({9});  // a restart registers the reader once: one packet counts once
    EXPECT_EQ(GetPendingCnt(), 1);
    DataPacket* nine = GetNextPacket();
    EXPECT_EQ(Of(nine), Bytes{9});
    // The stream stalls: a bounded wait gives up, the packet read last kept.
    EXPECT_EQ((std::tuple{dirov_get_next_packet(20), dirov_get_last_error(), GetCurPacket()}),
              std::make_tuple(nullptr, 121u, nine));
}

// Sanitizer allocators keep freed memory; under Wine the working set does not
// shrink when the heap frees.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(_WIN32)
constexpr bool kPlainHeap = false;
#else
constexpr bool kPlainHeap = true;
#endif

// A reader that stops reading: the store stays at its limit while the
// capture drains the board and counts what it drops; once the reader goes on,
// offsets show the gap; the memory goes back at stop.
TEST_F(Workers, StalledReaderMeetsTheStoreLimitAndSeesTheGap) {
    constexpr uint64_t kLimit = 8 << 20, kSlack = 4 << 20, kBlocks = kLimit / 20480;
    ASSERT_EQ(dirov_set_store_limit(kLimit), 0);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    dirov_capture_stats st{};
    uint64_t before = dirov::test::resident_bytes(), expected = 0, gaps = 0, read = 0;
    auto o = Capturing([&] {
        ASSERT_EQ(StartCaptureWorker(), 0);
        ASSERT_TRUE(Eventually([&] {
            dirov_get_capture_stats(&st);
            return st.dropped_transfers > 2 * kBlocks;
        }));
        EXPECT_LT(kPlainHeap ? dirov::test::resident_bytes() : 0, before + kLimit + kSlack);
        for (; read < 3 * kBlocks; ++read) {
            DataPacket* p = GetNextPacket();
            auto at = static_cast<uint64_t>(dirov_packet_stream_offset(p));
            ASSERT_GE(at, expected);
            ASSERT_TRUE(dirov::test::is_counter(p->data, static_cast<size_t>(p->size), at));
            gaps += at - expected;
            expected = at + static_cast<uint64_t>(p->size);
        }
        EXPECT_EQ(StopCaptureWorker(), 0);
    });
    ASSERT_EQ(dirov_get_capture_stats(&st), 0);
    EXPECT_EQ(std::make_tuple(gaps > 0, st.dropped_bytes >= gaps, st.store_peak_bytes <= kLimit),
              std::make_tuple(true, true, true));
    EXPECT_EQ(st.dropped_bytes, st.dropped_transfers * 20480);
    const std::string limit = "Store limit reached: dropping transfers";  // said once
    EXPECT_EQ(std::make_pair(o.err.find(limit) != std::string::npos, o.err.find(limit)),
              std::make_pair(true, o.err.rfind(limit)));
    EXPECT_LE(st.store_bytes, 9u * 20480);  // the reserve and the packet the reader holds
    EXPECT_LT(kPlainHeap ? dirov::test::resident_bytes() : 0, before + kSlack);
}

// A capture ended by a failed read (an unregistered one counts nothing): a
// start is refused until the reader has been told.
TEST_F(Workers, ASecondStartIsRefusedUntilTheEndIsReported) {
    Queue({Ramp(10, 1)});
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_WAIT, 2, 31);
    ASSERT_EQ(StartCaptureWorkerNoRegister(), 0);
    EXPECT_EQ(Quietly(GetNextPacket).first, nullptr);
    EXPECT_EQ(GetPendingCnt(), 0);
    Queue({Ramp(10, 1), Ramp(20, 2)});
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_WAIT, 3, 31);
    ASSERT_EQ(StartCaptureWorker(), 0);
    EXPECT_EQ((std::vector{Of(GetNextPacket()), Of(GetNextPacket())}),
              (std::vector{Ramp(10, 1), Ramp(20, 2)}));
    auto [again, refused] = Quietly(StartCaptureWorker);
    // The failed read may report while the refusal is being captured.
    EXPECT_EQ(std::make_pair(again, Has(refused.err, "Capture thread still running\n")),
              std::make_pair(-1, true));
    auto [last, ended] = Quietly(GetNextPacket);
    EXPECT_EQ(std::make_tuple(last, dirov_get_last_error()), std::make_tuple(nullptr, 31u));
    EXPECT_PRED2(Has, ended.err, "The capture thread has given up\n");
    // That reader is not registered for a start without it.
    Queue({Ramp(30, 3)});
    ASSERT_EQ(StartCaptureWorkerNoRegister(), 0);
    dirov_capture_stats st{};
    EXPECT_TRUE(Eventually([&] { return dirov_get_capture_stats(&st) == 0 && st.transfers == 1; }));
    EXPECT_EQ((std::tuple{GetPendingCnt(), StopCaptureWorker()}), std::make_tuple(0, 0));
}

TEST_F(Workers, CallsWithoutAWorkerOrRecordHaveAResult) {
    auto [got, o] = Quietly([] {
        return std::vector<intptr_t>{reinterpret_cast<intptr_t>(GetNextPacket()),
                                     StopCaptureWorker(),
                                     StopSaveWorker(0),
                                     SaveWorkerRunning(),
                                     reinterpret_cast<intptr_t>(CreateCaptureThread(nullptr, 0x82)),
                                     StopCaptureThread(nullptr),
                                     StopSaveThread(nullptr, 0),
                                     SaveThreadRunning(nullptr)};
    });
    EXPECT_EQ(got, (std::vector<intptr_t>{0, -1, -1, -1, 0, -1, -1, -1}));
    EXPECT_PRED2(Has, o.err, "Thread gone\nNo device record for the capture thread\n");
}

std::mutex LogMu;
std::string Log;  // "<level> <line>\n" for every line the handler got
void KeepLine(void*, int32_t level, const char* line) {
    std::lock_guard lk(LogMu);
    Log += std::to_string(level) + " " + line + "\n";
}

// The handler holds the thread logging a line containing `at` until
// Release. A held stdout would not do: a DLL's C runtime may own another.
std::atomic<bool> Holding;
std::atomic<int32_t> Held;  // lines held so far
std::string_view HoldAt;
void HoldThere(void*, int32_t level, const char* line) {
    KeepLine(nullptr, level, line);
    if (std::string_view(line).find(HoldAt) == std::string_view::npos) return;
    ++Held, dirov::wake_all(Held);
    dirov::wait_while_equal(Holding, true);
}
void Hold(std::string_view at) {
    HoldAt = at, Holding = true, Held = 0;
    dirov_set_log_handler(HoldThere, nullptr);
}
void Release() {
    Holding = false;
    dirov::wake_all(Holding);
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
    struct Case {
        bool saving;  // a save worker runs when the callback acts
        std::function<void()> act;
        std::function<void()> after;  // on the test thread
    } cases[] = {
        {true, [] { EXPECT_EQ(StopCaptureWorker(), 0); },
         [] { EXPECT_EQ(StartCaptureWorker(), 0); }},  // the stopped thread is reaped
        {false, [&] { EXPECT_EQ(StartSaveWorker(path.c_str(), 0), 0); },
         [] {
             EXPECT_EQ((std::tuple{SaveWorkerRunning(), StopSaveWorker(0), SaveWorkerRunning()}),
                       std::tuple(0, 0, -1));  // 0: running
         }},
        // The stopped save thread is held in its end: the new save waits for it.
        {true, [] { EXPECT_EQ((Hold("Save done"), StopSaveWorker(0)), 0); },
         [&] {
             std::thread release([] { usleep(20000), Release(); });
             EXPECT_EQ(StartSaveWorker(path.c_str(), 0), 0);
             release.join();
             dirov_set_log_handler(nullptr, nullptr);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
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
}

// Three threads call the worker and save API in random order over the
// counter stream. The reader checks every packet where it stands: within
// one capture it continues the stream exactly, across captures it moves on.
// A start releases the packet being checked, so starts are only tried
// while the reader stands between packets.
// The saved file holds the stream in order, broken at most once per capture
// started while it was written.
TEST_F(Workers, AnyCallOrderFromThreeThreadsKeepsTheCounterStreamInOrder) {
    dirov_sim_use_virtual_clock(0);
    dirov_sim_stream_set_rate(board, 20000000);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    auto running = [&] { return std::chrono::steady_clock::now() < end; };
    std::mutex openMu;    // the application keeps opening and closing apart
    std::mutex readerMu;  // held by the reader from GetNextPacket to the end of its check
    std::atomic<int32_t> starts{0}, fileStarts{0};  // the latter: before the last save started
    std::string fault;                              // where the reader left the stream
    uint64_t packets = 0;
    auto read = [&] {
        int32_t run = -1;
        uint64_t next = 0;
        std::mt19937 rng(56);
        while (running() && fault.empty()) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
            std::lock_guard lk(readerMu);
            int32_t now = starts.load();
            DataPacket* p = GetNextPacket();
            if (!p) continue;
            uint32_t word = 0;
            std::memcpy(&word, p->data, 4);
            uint64_t at = 4ull * word, size = static_cast<uint64_t>(p->size);
            if (size == 0 || size % 4 || (run == now ? at != next : at < next) ||
                !dirov::test::is_counter(p->data, size, at))
                fault = std::to_string(at) + " after " + std::to_string(next);
            run = now;
            next = at + size;
            ++packets;
        }
    };
    auto start = [&](int32_t (*fn)()) {
        std::unique_lock lk(readerMu, std::try_to_lock);
        if (lk && fn() == 0) starts.fetch_add(1);
    };
    const std::function<void()> calls[] = {
        [&] { start(StartCaptureWorker); },
        [&] { start(StartCaptureWorkerNoRegister); },
        [] { StopCaptureWorker(); },
        [&] {
            int32_t before = starts.load();
            if (StartSaveWorker(path.c_str(), 0) == 0) fileStarts.store(before);
        },
        [] { StopSaveWorker(0); },
        [] { StopSaveWorker(1); },
        [] { SaveWorkerRunning(); },
        [] { ShowBufStatus(0); },
        [] { GetPendingCnt(); },
        [&] {
            std::lock_guard lk(openMu);
            CloseDevice(&DeviceData);
            BOOL none = 0;
            OpenDevice(&DeviceData, &none, nullptr);
        },
    };
    auto act = [&](unsigned seed) {
        for (std::mt19937 rng(seed); running();) {
            calls[rng() % std::size(calls)]();
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        }
    };
    {
        Captured quiet;
        std::thread reader(read), a(act, 12), b(act, 34);
        a.join();
        b.join();
        StopCaptureWorker();  // releases a reader waiting on an unregistered capture
        reader.join();
        StopSaveWorker(0);
    }
    EXPECT_EQ(std::make_pair(fault, packets > 0), std::make_pair(std::string(), true));
    Bytes file = file_bytes(path);
    ASSERT_EQ(file.size() % 4, 0u);
    std::vector<uint32_t> w(file.size() / 4);
    std::copy(file.begin(), file.end(), reinterpret_cast<uint8_t*>(w.data()));
    EXPECT_EQ(std::adjacent_find(w.begin(), w.end(), std::greater_equal<>()), w.end());
    int32_t breaks = 0;
    for (size_t i = 1; i < w.size(); ++i) breaks += w[i] != w[i - 1] + 1;
    EXPECT_LE(breaks, starts.load() - fileStarts.load());
}

// During a real capture, a callback registered first lets go of every packet
// and the application publishes packets of its own (64 bytes of 0xEE) while
// the store limit is lowered: the reader and the save thread get every
// packet alive (locked for them), whole, once and in publication order.
TEST_F(Workers, ConsumersGetOnlyLivePacketsPublishedToThemInOrder) {
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    std::atomic<bool> publishing{true};
    uint64_t expected = 0, own = 0, fault = 0;
    Captured quiet;
    ASSERT_EQ(
        RegisterPktNotify(DecPktLock) + StartSaveWorker(path.c_str(), 0) + StartCaptureWorker(), 0);
    std::thread app([&] {
        for (const Bytes mine(64, 0xEE); publishing.load(); std::this_thread::yield())
            Publish(mine);
    });
    for (int i = 0; i < 2000 && !fault; ++i) {
        dirov_set_store_limit(i < 500 ? 4 << 20 : 1 << 20);
        DataPacket* p = GetNextPacket();
        int64_t at = dirov_packet_stream_offset(p);
        int32_t n = std::min(p->size, 64), tail = p->size - n;  // a packet's ends: fast enough
        bool mine = at < 0 && Of(p) == Bytes(64, 0xEE),
             ok = mine || (at >= int64_t(expected) && dirov::test::is_counter(p->data, n, at) &&
                           dirov::test::is_counter(p->data + tail, n, at + tail));
        fault = dirov::load_lock(p) < 1 || !ok ? i + 1 : 0;
        own += mine;
        expected = mine ? expected : at + p->size;
    }
    publishing.store(false);
    app.join();
    EXPECT_EQ(std::make_tuple(fault, own > 0, StopCaptureWorker(), StopSaveWorker(0)),
              std::make_tuple(0u, true, 0, 0));
    Bytes file = file_bytes(path);  // the stream's words in order, the application's packets whole
    std::vector<uint32_t> w(file.size() / 4);
    std::memcpy(w.data(), file.data(), file.size());
    auto end = std::remove(w.begin(), w.end(), 0xEEEEEEEEu);
    EXPECT_EQ(std::make_tuple((w.end() - end) % 16,
                              std::adjacent_find(w.begin(), end, std::greater_equal<>()) - end),
              std::make_tuple(0, 0));
}

std::vector<Bytes> Seen;

void WaitEnd(CapThreadArgs* args) {
    for (int32_t seen;
         seen = dirov::capture_event_count(), std::atomic_ref(args->status).load() > 0;)
        dirov::wait_capture_event(seen);
}

// A capture thread stopped from its own packet callback ends once the
// callback returns and frees its records itself (else LeakSanitizer says so).
TEST_F(Workers, AThreadStoppedFromItsOwnCallbackEndsByItself) {
    static CapArgs* raw = CreateCaptureThread(&DeviceData, 0x82);
    static std::atomic<int32_t> stopped{-2};
    ASSERT_EQ(RegisterPktNotify([](DataPacket*) {
                  if (stopped.load() == -2)
                      stopped.store(Quietly([] { return StopCaptureThread(raw); }).first);
              }),
              0);
    Queue({Ramp(10, 1), Ramp(10, 2)});
    EXPECT_TRUE(Eventually([] { return stopped.load() == 0; }));
}

// A read that fails, or that cannot be posted, ends the thread; the stop
// then finds it ended. Only a packet published while the failed read was in
// flight stays: the failed read's packet and the spare are gone. A failed
// read whose abort fails too is cancelled below the abort.
struct ReadFault {
    dirov_sim_op op;
    bool abortFails;
};
void PrintTo(const ReadFault& f, std::ostream* os) {
    *os << "op" << f.op << (f.abortFails ? " abort fails" : "");
}
class CaptureReadError : public Workers, public testing::WithParamInterface<ReadFault> {};

TEST_P(CaptureReadError, EndsTheThreadAndTheStopFindsItEnded) {
    bool wait = GetParam().op == DIROV_SIM_OP_STREAM_WAIT;
    Queue({Ramp(10, 1)});
    dirov_sim_fail_nth(GetParam().op, 2, wait ? 31 : 1167);
    if (GetParam().abortFails) dirov_sim_fail_nth(DIROV_SIM_OP_ABORT, 1, 31);
    auto [status, o] = Quietly([] {
        dirov_set_log_handler(KeepLine, nullptr);
        // Keeps its lock, so that every published packet stays in the store.
        RegisterPktNotify([](DataPacket* p) { Seen.emplace_back(p->data, p->data + p->size); });
        CapArgs* h = CreateCaptureThread(&DeviceData, 0x82);
        WaitEnd(h->args);
        return StopCaptureThread(h);
    });
    dirov_set_log_handler(nullptr, nullptr);
    EXPECT_EQ(std::make_tuple(status, o.out + o.err), std::make_tuple(-1, ""));
    EXPECT_PRED2(Has, Log,
                 std::to_string(DIROV_LOG_ERROR) +
                     (wait ? " ReadPipe Error: 31\n" : " ReadPipe start Error: 1167\n"));
    EXPECT_EQ(Has(Log, "Pipe abort failed (31): cancelling its transfers"), GetParam().abortFails);
    EXPECT_FALSE(Has(Log, "\n\n") || Has(Log, "Aborting Pipe")) << Log;
    EXPECT_EQ(Seen.size(), wait ? 1u : 0u);
    EXPECT_PRED2(Has, StoreInfo(),
                 wait ? "Current packet count: 1\n" : "No packets created yet.\n");
}

INSTANTIATE_TEST_SUITE_P(WaitOrSubmit, CaptureReadError,
                         testing::Values(ReadFault{DIROV_SIM_OP_STREAM_WAIT, false},
                                         ReadFault{DIROV_SIM_OP_STREAM_WAIT, true},
                                         ReadFault{DIROV_SIM_OP_STREAM_SUBMIT, false}));

// A packet the capture cannot make ends it too, the read in flight retired
// first: its buffer is the packet the thread then frees.
TEST_F(Workers, AFailedAllocationEndsTheThreadAfterRetiringTheRead) {
    Publish({1});  // its block serves the first read; the spare needs a new one
    dirov::fail_store_allocations(0, 1);
    auto [status, o] = Quietly([] {
        CapArgs* h = CreateCaptureThread(&DeviceData, 0x82);
        WaitEnd(h->args);
        return StopCaptureThread(h);
    });
    EXPECT_EQ(std::make_tuple(status, o.err),
              std::make_tuple(-1, "Failed to create data space\nFailed to make new data packet\n"));
    EXPECT_EQ(dirov::test::sim_events(DIROV_SIM_EV_ABORT).size(), 1u);
}

TEST_F(Workers, ForcedStopLeavesThePendingPacketsAndReleasesThem) {
    Hold("Saving packet");  // the thread is held writing the first packet
    SaveArgs* h = CreateSaveThread(path.c_str(), 0);
    std::vector<DataPacket*> packets{Publish(Ramp(1000, 0))};
    dirov::wait_while_equal(Held, 0);
    for (uint8_t i = 1; i < 4; ++i) packets.push_back(Publish(Ramp(1000, i)));
    std::atomic_ref(h->args->stop).store(1);
    Release();
    int32_t status = StopSaveThread(h, 1);
    EXPECT_EQ(std::make_tuple(status, file_bytes(path)), std::make_tuple(0, Ramp(1000, 0)));
    dirov_set_log_handler(nullptr, nullptr);
    EXPECT_PRED2(Has, Log, "Save done: remove (3) leftover packets");
    for (DataPacket* p : packets) EXPECT_EQ(dirov::load_lock(p), 0);
}

// The save thread's lines reach the log handler at their level, without
// being printed.
TEST_F(Workers, UnforcedStopOfAnUnfinishedLimitGivesUpOnAnIdleStream) {
    auto [status, o] = Quietly([&] {
        dirov_set_log_handler(KeepLine, nullptr);
        SaveArgs* h = CreateSaveThread(path.c_str(), 100000);
        Publish(Ramp(20480, 1)), Publish(Ramp(20480, 2));
        return StopSaveThread(h, 0);
    });
    dirov_set_log_handler(nullptr, nullptr);
    EXPECT_EQ(std::make_tuple(status, file_bytes(path).size(), o.out),
              std::make_tuple(0, 40960u, ""));
    EXPECT_PRED2(Has, Log,
                 std::to_string(DIROV_LOG_INFO) + " [INFO] DataStore/src/ds_to_file.cpp:");
    EXPECT_PRED2(Has, Log, "Stream idle before the byte limit was written\n");
}

// Names too long for the record and folders are refused, and so is a second
// saver, which leaves the running file alone.
TEST_F(Workers, SaveThreadRefusals) {
    path = testing::TempDir() + "n";
    path.resize(119, 'n');  // the longest name taken
    Capturing([&] {
        EXPECT_EQ(CreateSaveThread((path + "n").c_str(), 0), nullptr);
        EXPECT_EQ(CreateSaveThread(testing::TempDir().c_str(), 0), nullptr);
        SaveArgs* h = CreateSaveThread(path.c_str(), 0);
        Publish(Ramp(20480, 1));
        EXPECT_TRUE(Eventually([&] { return file_bytes(path).size() == 20480; }));
        EXPECT_EQ(CreateSaveThread(path.c_str(), 0), nullptr);
        Publish(Ramp(512, 2));
        EXPECT_EQ(StopSaveThread(h, 0), 0);
    });
    Bytes both = Ramp(20480, 1), tail = Ramp(512, 2);
    both.insert(both.end(), tail.begin(), tail.end());
    EXPECT_EQ(file_bytes(path), both);
#ifndef _WIN32
    // A FIFO is refused at once; a full disk (the file size limit) ends the
    // save as a failure that names the file, which keeps whole packets only.
    const std::string fifo = testing::TempDir() + "fifo" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto o = Capturing([&] {
        EXPECT_EQ(CreateSaveThread(fifo.c_str(), 0), nullptr);
        dirov::test::on_full_disk(30000, [&] {
            SaveArgs* h = CreateSaveThread(path.c_str(), 0);
            Publish(Ramp(20480, 1)), Publish(Ramp(20480, 2)), Publish(Ramp(10, 3));
            EXPECT_EQ(StopSaveThread(h, 0), -1);
        });
    });
    std::remove(fifo.c_str());
    EXPECT_EQ(file_bytes(path), Ramp(20480, 1));
    EXPECT_PRED2(Has, o.err, "Cannot save to " + fifo + ": not a regular file\n");
    EXPECT_PRED2(Has, o.err,
                 "Failed to write output file " + path + ": " + std::strerror(EFBIG) + " (errno " +
                     std::to_string(EFBIG) + ")\n");
#endif
}

}  // namespace
