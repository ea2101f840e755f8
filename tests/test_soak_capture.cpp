// Soaks of the capture path, every byte checked. Built twice: in full (long
// runs) and, with DIROV_SOAK_BOUNDED, the same scenarios at sizes that take
// seconds, for every run and the sanitizers. Each run bounds what it writes
// (a file size limit) and removes its file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/counter_stream.h"
#include "support/sim_fixture.h"

namespace {

#ifdef DIROV_SOAK_BOUNDED
constexpr uint64_t kTenStream = 64 << 20, kTenSaved = 8 << 20, kFiveStream = 256 << 20,
                   kFiveLimit = 16 << 20;
#else
constexpr uint64_t kTenStream = 10ull << 30, kTenSaved = 1 << 30, kFiveStream = 5ull << 30,
                   kFiveLimit = 256 << 20;
#endif

class Soak : public dirov::test::SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        open_main();
        // No file grows past the stream: a write beyond fails (and the save
        // with it) rather than filling the disk.
        rlimit bound{};
        getrlimit(RLIMIT_FSIZE, &bound);
        bound.rlim_cur = std::min<rlim_t>(bound.rlim_cur, kFiveStream + (64 << 20));
        std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &bound), 0);
    }
    void TearDown() override {
        std::remove(path.c_str());
        SimBoardTest::TearDown();
    }
    std::string path = testing::TempDir() + "soak_" + std::to_string(getpid()) + ".raw";
};

// The counter pattern paced at 1 GB/s on the real clock through the capture
// thread and the in-order reader; the save worker keeps the first part.
TEST_F(Soak, TenGibibytesOfCounterStream) {
    dirov_sim_use_virtual_clock(0);
    dirov_sim_stream_set_rate(board, 1000000000);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    dirov::test::expect_counter_capture(path, kTenStream, static_cast<int32_t>(kTenSaved));
}

using Jumps = std::vector<std::pair<uint64_t, uint64_t>>;  // (offset, bytes missing before it)

// Where the capture's published stream jumps.
Jumps Published;
uint64_t NextOffset = 0;
void NoteJumps(DataPacket* p) {
    auto at = static_cast<uint64_t>(dirov_packet_stream_offset(p));
    if (at != NextOffset) Published.emplace_back(at, at - NextOffset);
    NextOffset = at + static_cast<uint64_t>(p->size);
    DecPktLock(p);
}

// The file holds whole 20480-byte transfers of the counter stream: the first
// word of each names its stream offset, so gaps can be read off the file.
// Sets `counter` false on a transfer out of the pattern or a partial one.
Jumps FileJumps(const std::string& path, bool& counter) {
    Jumps jumps;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> t(20480);
    uint64_t next = 0;
    counter = true;
    while (counter && in.read(reinterpret_cast<char*>(t.data()), 20480)) {
        uint32_t word;
        std::memcpy(&word, t.data(), 4);
        uint64_t at = 4ull * word;
        counter = at >= next && dirov::test::is_counter(t.data(), t.size(), at);
        if (at != next) jumps.emplace_back(at, at - next);
        next = at + t.size();
    }
    counter = counter && in.gcount() == 0;
    return jumps;
}

// 5 GB through capture, save and the reader with the board faster than the
// disk, and a callback that lets go of each packet registered first: memory
// stays within the store limit, the drops are counted, the reader sees the
// stream in order, and the file is the counter stream with gaps exactly
// where the packets' offsets put them.
TEST_F(Soak, FiveGigabytesFasterThanTheDiskStayWithinTheLimit) {
    [[maybe_unused]] constexpr uint64_t kSlack = 64ull << 20;
    ASSERT_EQ(dirov_set_store_limit(kFiveLimit), 0);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    uint64_t before = dirov::test::resident_bytes(), peakRss = 0, expected = 0, n = 0;
    bool inOrder = true;
    dirov_capture_stats st{};
    std::optional<dirov::test::Captured> quiet(std::in_place);  // a line per packet saved
    ASSERT_EQ(RegisterPktNotify(NoteJumps), 0);
    ASSERT_EQ(StartSaveWorker(path.c_str(), 0), 0);
    ASSERT_EQ(StartCaptureWorker(), 0);
    while (inOrder && dirov_get_capture_stats(&st) == 0 && st.bytes < kFiveStream) {
        DataPacket* p = dirov_get_next_packet(10000);
        if (!p) break;
        auto at = static_cast<uint64_t>(dirov_packet_stream_offset(p));
        inOrder = at >= expected && dirov::test::is_counter(p->data, size_t(p->size), at);
        expected = at + size_t(p->size);
        if (++n % 512 == 0) peakRss = std::max(peakRss, dirov::test::resident_bytes());
    }
    EXPECT_EQ(StopCaptureWorker(), 0);
    EXPECT_EQ(StopSaveWorker(0), 0);
    UnregisterPktNotify(NoteJumps);
    quiet.reset();
    ASSERT_EQ(dirov_get_capture_stats(&st), 0);
    EXPECT_TRUE(inOrder) << "reader out of order at " << expected;
    bool counter = false;
    EXPECT_EQ(FileJumps(path, counter), Published);
    EXPECT_TRUE(counter);
    EXPECT_LE(st.store_peak_bytes, kFiveLimit);
#ifndef __SANITIZE_THREAD__
    // Its shadow memory and allocator grow the process apart, and it slows
    // the board more than the disk, so the store need not fill there.
    EXPECT_LT(peakRss, before + kFiveLimit + kSlack);
    EXPECT_GT(st.dropped_transfers, 0u);
#endif
    uint64_t missing = 0;
    for (const auto& j : Published) missing += j.second;
    EXPECT_LE(missing, st.dropped_bytes);  // drops after the last packet leave no gap
    std::cout << "peak RSS " << ((peakRss - std::min(peakRss, before)) >> 20) << " MiB above the "
              << "start, " << st.dropped_transfers << " of " << st.transfers
              << " transfers dropped, " << Published.size() << " gaps in the file\n";
}

}  // namespace
