// The save thread with the test as publisher: the capture file's bytes with
// and without a byte limit, forced and unforced stops, and the reports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "DataStore/src/data_store.h"
#include "device/platform.h"
#include "support/capture.h"

namespace {

using dirov::test::Captured;

using dirov::test::Capturing;
using dirov::test::Output;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The thread ends by itself; there is no event to wait on from outside.
bool WaitEnded(SaveArgs* h) {
    for (int i = 0; i < 5000 && SaveThreadRunning(h) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return SaveThreadRunning(h) == -1;
}

class SaveThread : public ::testing::Test {
   protected:
    void SetUp() override {
        path = testing::TempDir() + "save_" + std::to_string(getpid()) + ".raw";
    }
    void TearDown() override { std::remove(path.c_str()); }
    static DataPacket* Publish(const std::vector<uint8_t>& bytes) {
        return NewDataPacket(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    std::string path;
};

TEST_F(SaveThread, WritesEveryPacketWhole) {
    auto a = Pattern(20480, 1), b = Pattern(20480, 2), c = Pattern(512, 3);
    int32_t status = -9;
    Output o = Capturing([&] {
        SaveArgs* h = CreateSaveThread(path.c_str(), 0);
        Publish(a), Publish(b), Publish(c);
        status = StopSaveThread(h, 0);
    });
    EXPECT_EQ(status, 0);
    std::vector<uint8_t> want = a;
    want.insert(want.end(), b.begin(), b.end());
    want.insert(want.end(), c.begin(), c.end());
    EXPECT_EQ(ReadFile(path), want);
    EXPECT_EQ(Count(o.out, ": Saving packet\n"), 3u);
    size_t drained = o.out.find("Data gone now stop the thread\n\n");
    ASSERT_NE(drained, std::string::npos) << o.out;
    EXPECT_LT(o.out.rfind("Saving packet"), drained);  // the backlog is written before the stop
    EXPECT_NE(o.out.find("[INFO] DataStore/src/ds_to_file.cpp:"), std::string::npos);
    EXPECT_NE(o.out.find("Forcing stop on save thread\n"), std::string::npos);
    EXPECT_NE(o.out.find("Save done: remove (0) leftover packets\n\n"), std::string::npos);
    EXPECT_EQ(o.err, "");
}

TEST_F(SaveThread, ASecondSaverIsRefusedWithoutTouchingTheRunningFile) {
    auto a = Pattern(20480, 1), b = Pattern(512, 2);
    Capturing([&] {
        SaveArgs* h = CreateSaveThread(path.c_str(), 0);
        Publish(a);
        for (int i = 0; i < 5000 && ReadFile(path).size() < a.size(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(CreateSaveThread(path.c_str(), 0), nullptr);
        Publish(b);
        EXPECT_EQ(StopSaveThread(h, 0), 0);
    });
    std::vector<uint8_t> want = a;
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_EQ(ReadFile(path), want);
}

TEST_F(SaveThread, ByteLimitCutsTheFileAndEndsTheThread) {
    auto a = Pattern(20480, 1), b = Pattern(20480, 2);
    SaveArgs* h = nullptr;
    Output o = Capturing([&] {
        h = CreateSaveThread(path.c_str(), 30000);
        Publish(a), Publish(b), Publish(Pattern(512, 3));
    });
    ASSERT_TRUE(WaitEnded(h));
    int32_t status = -9;
    Output stop = Capturing([&] { status = StopSaveThread(h, 0); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(stop.out.find("Forcing stop"), std::string::npos) << stop.out;
    std::vector<uint8_t> want = a;
    want.insert(want.end(), b.begin(), b.begin() + 9520);
    EXPECT_EQ(ReadFile(path), want);
}

TEST_F(SaveThread, NegativeLimitLeavesAnEmptyFile) {
    SaveArgs* h = nullptr;
    Capturing([&] { h = CreateSaveThread(path.c_str(), -1); });
    ASSERT_TRUE(WaitEnded(h));
    Capturing([&] { Publish(Pattern(100, 1)); });
    int32_t status = -9;
    Capturing([&] { status = StopSaveThread(h, 1); });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(ReadFile(path).empty());
}

TEST_F(SaveThread, EmptyPacketCountsAsWritten) {
    auto a = Pattern(100, 1), c = Pattern(200, 3);
    int32_t status = -9;
    Output o = Capturing([&] {
        SaveArgs* h = CreateSaveThread(path.c_str(), 0);
        Publish(a), Publish({}), Publish(c);
        status = StopSaveThread(h, 0);
    });
    EXPECT_EQ(status, 0);
    a.insert(a.end(), c.begin(), c.end());
    EXPECT_EQ(ReadFile(path), a);
    EXPECT_EQ(o.err, "");
}

TEST_F(SaveThread, ForcedStopLeavesThePendingPacketsAndReleasesThem) {
    std::vector<DataPacket*> packets;
    int32_t status = -9;
    Output o = Capturing([&] {
        SaveArgs* h = CreateSaveThread(path.c_str(), 0);
        // Holding stdout stops the thread at its first "Saving packet" line.
        dirov::lock_stream(stdout);
        for (uint8_t i = 0; i < 4; ++i) packets.push_back(Publish(Pattern(1000, i)));
        std::atomic_ref(h->args->stop).store(1);
        dirov::unlock_stream(stdout);
        status = StopSaveThread(h, 1);
    });
    EXPECT_EQ(status, 0);
    auto file = ReadFile(path);
    size_t written = file.size() / 1000;
    ASSERT_LE(written, 1u);
    EXPECT_EQ(file, written ? Pattern(1000, 0) : std::vector<uint8_t>{});
    size_t left = 4 - written;
    EXPECT_NE(o.out.find("Save thread stopping\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Save done: remove (" + std::to_string(left) + ") leftover packets"),
              std::string::npos);
    for (size_t n = left; n-- > 0;)
        EXPECT_NE(o.out.find("Packet number decreased to " + std::to_string(n) + "\n"),
                  std::string::npos);
    EXPECT_EQ(Count(o.out, "Packet number decreased to"), left);
    EXPECT_NE(o.out.find("Releasing last packet\n"), std::string::npos);
    for (DataPacket* p : packets) EXPECT_EQ(dirov::LoadLock(p), 0);
}

TEST_F(SaveThread, UnforcedStopOfAnUnfinishedLimitGivesUpOnAnIdleStream) {
    int32_t status = -9;
    Output o = Capturing([&] {
        SaveArgs* h = CreateSaveThread(path.c_str(), 100000);
        Publish(Pattern(20480, 1)), Publish(Pattern(20480, 2));
        status = StopSaveThread(h, 0);
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(path).size(), 40960u);
    size_t idle = o.out.find("Stream idle before the byte limit was written\n");
    ASSERT_NE(idle, std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Forcing stop on save thread\n", idle), std::string::npos);
}

TEST_F(SaveThread, BadNamesAreRefused) {
    std::string longest = testing::TempDir() + "n";
    longest.resize(119, 'n');
    std::string too_long = longest + "n";
    SaveArgs* ok = nullptr;
    SaveArgs* refused = reinterpret_cast<SaveArgs*>(1);
    SaveArgs* dir = reinterpret_cast<SaveArgs*>(1);
    Output o = Capturing([&] {
        refused = CreateSaveThread(too_long.c_str(), 0);
        dir = CreateSaveThread(testing::TempDir().c_str(), 0);
        ok = CreateSaveThread(longest.c_str(), 0);
        StopSaveThread(ok, 1);
    });
    std::remove(longest.c_str());
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(dir, nullptr);
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(o.err.rfind("[ERROR] DataStore/src/ds_to_file.cpp:", 0), 0u) << o.err;
    EXPECT_NE(o.err.find(": Filename is to long to store\n\n"), std::string::npos);
    EXPECT_NE(o.err.find("Failed to open output file for writing\n\n"), std::string::npos);
    EXPECT_EQ(StopSaveThread(nullptr, 0), -1);
    EXPECT_EQ(SaveThreadRunning(nullptr), -1);
}

}  // namespace
