// One publisher and several readers on the packet store at once: an in-order
// reader fed by a notification callback, and threads reading virtual buffers.
// The byte at stream position k is k % 251, so a lost, doubled or overwritten
// byte shows up wherever it is read.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "DataStore/src/data_store.h"
#include "device/platform.h"
#include "dirov410.h"
#include "support/capture.h"

namespace {

constexpr int kPackets = 1500;

std::atomic<uint32_t> Published{0};
std::atomic<bool> PublisherDone{false};

std::mutex ReaderLock;
std::condition_variable ReaderWake;
int ReaderPending = 0;
DataPacket* ReaderFirst = nullptr;

void ReaderCb(DataPacket* p) {
    std::lock_guard guard(ReaderLock);
    if (!ReaderFirst) ReaderFirst = p;
    ++ReaderPending;
    ReaderWake.notify_one();
}

uint64_t Publish() {
    std::mt19937 rng(7);
    uint64_t pos = 0;
    for (int i = 0; i < kPackets; ++i) {
        DataPacket* p = InitDataPacket();
        int32_t size = 1 + static_cast<int32_t>(rng() % DIROV_PACKET_DATA_SIZE);
        for (int32_t j = 0; j < size; ++j) p->data[j] = static_cast<uint8_t>(pos++ % 251);
        p->size = size;
        PublishDataPacket(p);
        Published.fetch_add(1);
        dirov::wake_all(Published);
    }
    PublisherDone = true;
    Published.fetch_add(1);
    dirov::wake_all(Published);
    return pos;
}

// Walks every published packet in order; returns the bytes seen, or 0 on a
// byte out of place.
uint64_t ReadInOrder() {
    uint64_t pos = 0;
    DataPacket* cur = nullptr;
    for (int n = 0; n < kPackets; ++n) {
        {
            std::unique_lock lock(ReaderLock);
            ReaderWake.wait(lock, [] { return ReaderPending > 0; });
            --ReaderPending;
        }
        DataPacket* left = cur;
        cur = left ? dirov::LoadNext(left) : ReaderFirst;
        if (left) DecPktLock(left);
        for (int32_t j = 0; j < cur->size; ++j) {
            if (cur->data[j] != static_cast<uint8_t>(pos++ % 251)) return 0;
        }
    }
    DecPktLock(cur);
    return pos;
}

struct BufferStats {
    int reads = 0;
    int faults = 0;
};

// Reads `b` until the publisher is done; each window must hold the stream
// bytes that end at its counter and, without overlap, start after the last.
BufferStats ReadBuffer(VirtualBuffer* b) {
    BufferStats stats;
    std::vector<uint8_t> dest(static_cast<size_t>(b->size));
    uint32_t previousEnd = b->lastCounter;
    for (;;) {
        uint32_t seen = Published.load();
        if (GetBufferData(b) == 0) {
            ExtractBuffData(dest.data(), b);
            uint32_t start = b->lastCounter - static_cast<uint32_t>(b->size);
            for (int32_t j = 0; j < b->size; ++j)
                stats.faults += dest[j] != static_cast<uint8_t>((uint64_t{start} + j) % 251);
            stats.faults += !b->overlap && start < previousEnd;
            previousEnd = b->lastCounter;
            ++stats.reads;
            continue;
        }
        if (PublisherDone) return stats;
        dirov::wait_while_equal(Published, seen);
    }
}

}  // namespace

TEST(StoreThreads, PublisherInOrderReaderAndBufferReaders) {
    dirov::test::OutputCapture err(stderr);
    ASSERT_EQ(RegisterBufferCb(), 0);
    ASSERT_EQ(RegisterPktNotify(ReaderCb), 0);
    std::vector<VirtualBuffer*> buffers = {CreateNewBuffer(30000, 1), CreateNewBuffer(5000, 0),
                                           CreateNewBuffer(65536, 1)};
    std::vector<BufferStats> stats(buffers.size());
    std::vector<std::thread> readers;
    for (size_t i = 0; i < buffers.size(); ++i)
        readers.emplace_back([&, i] { stats[i] = ReadBuffer(buffers[i]); });
    uint64_t readBytes = 0;
    readers.emplace_back([&] { readBytes = ReadInOrder(); });
    uint64_t published = Publish();
    for (auto& t : readers) t.join();

    EXPECT_EQ(readBytes, published);
    for (const BufferStats& s : stats) {
        EXPECT_GT(s.reads, 0);
        EXPECT_EQ(s.faults, 0);
    }
    for (VirtualBuffer* b : buffers) RemoveBuffer(b);
    ASSERT_EQ(UnregisterBufferCb(), 0);
    ASSERT_EQ(UnregisterPktNotify(ReaderCb), 0);
    EXPECT_EQ(err.take(), "");
    ShowPacketInfo(0);
    std::string info = err.take();
    EXPECT_NE(info.find("Pre-Published packet count: 0\nLocked packet count: 0\n"),
              std::string::npos);
}
