// Virtual sample buffers over the packet store, on a stream whose byte at
// position k is k % 251. Every case runs in a process of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "dirov410.h"
#include "support/capture.h"

using dirov::test::OutputCapture;

namespace {

class BufferTest : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_EQ(RegisterBufferCb(), 0); }

    DataPacket* publish(int32_t size) {
        std::vector<uint8_t> bytes(static_cast<size_t>(size));
        for (auto& b : bytes) b = static_cast<uint8_t>(streamPos++ % 251);
        return NewDataPacket(bytes.data(), size);
    }
    // The last `n` bytes published.
    std::vector<uint8_t> tail(int32_t n) const {
        std::vector<uint8_t> bytes;
        for (uint64_t k = streamPos - static_cast<uint64_t>(n); k < streamPos; ++k)
            bytes.push_back(static_cast<uint8_t>(k % 251));
        return bytes;
    }
    std::vector<uint8_t> extract(VirtualBuffer* b) {
        std::vector<uint8_t> out(static_cast<size_t>(b->size));
        EXPECT_EQ(ExtractBuffData(out.data(), b), 0);
        return out;
    }

    uint64_t streamPos = 0;
};

std::string ShowInfo() {
    OutputCapture err(stderr);
    ShowBufferInfo();
    return err.take();
}

}  // namespace

TEST_F(BufferTest, WorkedExampleAcrossTwoPackets) {
    VirtualBuffer* b = CreateNewBuffer(30000, 1);
    DataPacket* p0 = publish(20480);
    DataPacket* p1 = publish(20480);
    DataPacket* p2 = publish(20480);
    EXPECT_EQ(p0->lock, 0);  // left the window on the third packet
    ASSERT_EQ(GetBufferData(b), 0);
    EXPECT_EQ(b->pktCount, 2);
    EXPECT_EQ(b->offset, 10960);
    EXPECT_EQ(b->samples, 30000);
    EXPECT_EQ(b->firstPkt, p1);
    EXPECT_EQ(p1->lock, 2);  // the service's lock and the buffer's
    EXPECT_EQ(extract(b), tail(30000));
    EXPECT_EQ(ShowInfo(),
              "Current samples: 40960\nMax buff size:   30000\nBuffer sizes:\n\t00 = 30000\n"
              "Oldest packet:\n\tPacket: 1\n\tSize: 20480\n\tLock: 2\n"
              "Newest packet:\n\tPacket: 2\n\tSize: 20480\n\tLock: 2\n");
    RemoveBuffer(b);
    EXPECT_EQ(p1->lock, 1);
    EXPECT_EQ(p2->lock, 1);
}

TEST_F(BufferTest, OverlappingAndSeparateWindows) {
    VirtualBuffer* lap = CreateNewBuffer(1000, 1);
    publish(3000);
    VirtualBuffer* sep = CreateNewBuffer(1000, 0);
    EXPECT_EQ(GetBufferData(sep), -1);  // needs 1000 bytes published after its creation
    ASSERT_EQ(GetBufferData(lap), 0);
    EXPECT_EQ(extract(lap), tail(1000));
    EXPECT_EQ(GetBufferData(lap), -1);  // nothing new

    publish(600);
    EXPECT_EQ(GetBufferData(sep), -1);
    ASSERT_EQ(GetBufferData(lap), 0);
    EXPECT_EQ(lap->pktCount, 2);
    EXPECT_EQ(lap->offset, 2600);
    EXPECT_EQ(extract(lap), tail(1000));

    publish(400);  // window starts exactly at a packet boundary
    ASSERT_EQ(GetBufferData(sep), 0);
    EXPECT_EQ(sep->offset, 0);
    EXPECT_EQ(sep->pktCount, 2);
    EXPECT_EQ(extract(sep), tail(1000));
    publish(999);
    EXPECT_EQ(GetBufferData(sep), -1);
    publish(1);
    ASSERT_EQ(GetBufferData(sep), 0);
    EXPECT_EQ(extract(sep), tail(1000));
    RemoveBuffer(sep);
    RemoveBuffer(lap);
}

TEST_F(BufferTest, FiftyBuffersAndSlotReuse) {
    std::vector<VirtualBuffer*> live;
    for (int i = 0; i < 50; ++i) live.push_back(CreateNewBuffer(100 + i, 1));
    EXPECT_EQ(live[49]->index, 49);
    EXPECT_EQ(CreateNewBuffer(10, 1), nullptr);
    RemoveBuffer(live[3]);
    VirtualBuffer* again = CreateNewBuffer(10, 1);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->index, 3);
    live[3] = again;
    for (VirtualBuffer* b : live) RemoveBuffer(b);
}

TEST_F(BufferTest, ShrinkingMaxNarrowsThenEmptiesTheWindow) {
    VirtualBuffer* big = CreateNewBuffer(30000, 1);
    VirtualBuffer* small = CreateNewBuffer(5000, 1);
    DataPacket* p[6];
    for (int i = 0; i < 3; ++i) p[i] = publish(10000);
    RemoveBuffer(big);
    EXPECT_NE(ShowInfo().find("Current samples: 30000\nMax buff size:   5000\n"),
              std::string::npos);
    p[3] = publish(10000);  // one packet leaves per publication
    EXPECT_EQ(p[0]->lock, 0);
    EXPECT_EQ(p[1]->lock, 1);
    p[4] = publish(10000);
    EXPECT_EQ(p[1]->lock, 0);
    EXPECT_EQ(p[2]->lock, 1);

    RemoveBuffer(small);
    p[5] = publish(10000);  // p[0] and p[1] have been reused meanwhile
    for (int i = 2; i < 6; ++i) EXPECT_EQ(p[i]->lock, 0);
    EXPECT_EQ(ShowInfo(), "Current samples: 0\nMax buff size:   0\nBuffer sizes:\n");
}

TEST_F(BufferTest, UnregisteredServiceLetsTheDataGo) {
    VirtualBuffer* b = CreateNewBuffer(500, 1);
    publish(800);
    ASSERT_EQ(GetBufferData(b), 0);
    EXPECT_EQ(RegisterBufferCb(), -1);
    ASSERT_EQ(UnregisterBufferCb(), 0);
    EXPECT_EQ(ShowInfo().substr(0, 20), "Current samples: 0\nM");

    OutputCapture err(stderr);
    EXPECT_EQ(GetBufferData(b), -1);
    EXPECT_TRUE(std::regex_match(
        err.take(), std::regex(R"(\[ERROR\] DataStore/src/ds_buffer\.cpp:\d+: )"
                               "We don't have the data in the buffer but we have had before\n\n")));
    EXPECT_EQ(extract(b), tail(500));  // the last window is still held
    EXPECT_EQ(UnregisterBufferCb(), -1);
    EXPECT_NE(err.take().find("Failed to find callback in register cannot remove\n[ERROR] "),
              std::string::npos);
    RemoveBuffer(b);
}

TEST_F(BufferTest, RefusesBadArguments) {
    EXPECT_NE(ShowInfo().find("No buffers registered\n\n"), std::string::npos);
    OutputCapture err(stderr);
    EXPECT_EQ(CreateNewBuffer(0, 1), nullptr);
    EXPECT_EQ(CreateNewBuffer(-5, 0), nullptr);
    EXPECT_EQ(CreateNewBuffer(INT32_MAX, 1), nullptr);
    EXPECT_EQ(GetBufferData(nullptr), -1);
    RemoveBuffer(nullptr);
    VirtualBuffer* b = CreateNewBuffer(10, 1);
    uint8_t dest[10] = {7};
    EXPECT_EQ(ExtractBuffData(dest, b), -1);
    EXPECT_EQ(dest[0], 7);
    EXPECT_EQ(ExtractBuffData(nullptr, b), -1);
    std::string text = err.take();
    EXPECT_NE(text.find("Cannot create virtual buffer of size -5\n"), std::string::npos);
    EXPECT_NE(text.find("Warning: Extract buffer called with empty buffer\n\n"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '['), 7);
    RemoveBuffer(b);
}
