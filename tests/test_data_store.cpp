// The packet store's state machine, its messages and its reuse of data blocks.
// Every case runs in a process of its own, so the store starts empty.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "DataStore/src/data_store.h"
#include "dirov410.h"
#include "support/capture.h"

using dirov::test::OutputCapture;

namespace {

std::vector<std::pair<char, int32_t>> Calls;
void CbA(DataPacket* p) {
    Calls.emplace_back('a', p->lock);
}
void CbB(DataPacket* p) {
    Calls.emplace_back('b', p->lock);
}
void CbC(DataPacket* p) {
    Calls.emplace_back('c', p->lock);
}

std::string Addr(const DataPacket* p) {
    return std::to_string(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
}

}  // namespace

TEST(PacketStore, IdsPublicationAndReuseOfOldestFreeBlock) {
    DataPacket* s = CreatePacketStruct();
    DataPacket* p1 = InitDataPacket();
    DataPacket* p2 = InitDataPacket();
    DataPacket* p3 = InitDataPacket();
    EXPECT_EQ(s->id, 0);
    EXPECT_EQ(s->data, nullptr);
    EXPECT_EQ(p3->id, 3);
    EXPECT_EQ(p2->last, p1);
    EXPECT_EQ(p1->next, p2);
    EXPECT_EQ(p1->lock, -1);
    EXPECT_EQ(dirov::DataBlocksAllocated(), 3u);

    IncPktLock(p1);  // pre-published -> 1, not 0
    EXPECT_EQ(p1->lock, 1);
    IncPktLock(p2);
    PublishDataPacket(p3);  // nobody registered: free at once
    EXPECT_EQ(p3->lock, 0);
    DecPktLock(p2);  // freed after p3, but older
    DecPktLock(p1);
    uint8_t* oldest = p1->data;
    DataPacket* n = InitDataPacket();
    EXPECT_EQ(n->id, 4);
    EXPECT_EQ(n->data, oldest);
    EXPECT_EQ(n->size, 0);
    EXPECT_EQ(n->last, p3);
    EXPECT_EQ(s->next, p2);
    EXPECT_EQ(p2->last, s);
    EXPECT_EQ(NxtUnlocked(), p2);
    EXPECT_EQ(dirov::DataBlocksAllocated(), 3u);

    // A free record without a block stays in the list and is never reused.
    PublishDataPacket(s);
    EXPECT_EQ(NxtUnlocked(), s);
    uint8_t* p2Block = p2->data;
    uint8_t* p3Block = p3->data;
    EXPECT_EQ(InitDataPacket()->data, p2Block);
    EXPECT_EQ(InitDataPacket()->data, p3Block);
    EXPECT_EQ(NxtUnlocked(), s);
    EXPECT_EQ(dirov::DataBlocksAllocated(), 3u);

    // Nor one carrying a block of the caller's own, which is far too small.
    uint8_t own[100];
    DataPacket* c = CreatePacketStruct();
    c->data = own;
    PublishDataPacket(c);
    EXPECT_NE(InitDataPacket()->data, own);
    EXPECT_EQ(dirov_packet_stream_offset(c), -1);  // not captured
    EXPECT_EQ(dirov_packet_stream_offset(nullptr), -1);
    EXPECT_EQ(RemovePacket(c, 0), 0);
}

TEST(PacketStore, LockCountsAndTheirMessages) {
    ASSERT_EQ(RegisterPktNotify(CbA), 0);
    ASSERT_EQ(RegisterPktNotify(CbB), 0);
    DataPacket* p = InitDataPacket();
    PublishDataPacket(p);
    EXPECT_EQ(p->lock, 2);
    EXPECT_EQ(Calls, (decltype(Calls){{'a', 1}, {'b', 2}}));

    OutputCapture err(stderr);
    EXPECT_EQ(RemovePacket(p, 1), -1);
    EXPECT_EQ(err.take(), "Failed to remove packet it is still locked at level 2\n");
    DecPktLock(p);
    DecPktLock(p);
    DecPktLock(p);
    DataPacket* pre = CreatePacketStruct();
    DecPktLock(pre);
    EXPECT_EQ(err.take(),
              "Attempt to dec lock on packet that is unlocked (Pkt: 0)\n"
              "Attempt to dec lock on packet that is unlocked (Pkt: 1)\n");
    EXPECT_EQ(p->lock, 0);
    EXPECT_EQ(pre->lock, -1);
}

TEST(PacketStore, RegisterTableLimitAndOrder) {
    OutputCapture err(stderr);
    for (int i = 0; i < 39; ++i) ASSERT_EQ(RegisterPktNotify(CbA), 0);
    EXPECT_EQ(RegisterPktNotify(CbB), -1);
    EXPECT_EQ(err.take(), "Register table full\n");
    for (int i = 0; i < 39; ++i) ASSERT_EQ(UnregisterPktNotify(CbA), 0);
    EXPECT_EQ(UnregisterPktNotify(CbA), -1);
    EXPECT_EQ(err.take(), "Failed to find callback in register cannot remove\n");

    RegisterPktNotify(CbA);
    RegisterPktNotify(CbB);
    RegisterPktNotify(CbC);
    ASSERT_EQ(UnregisterPktNotify(CbB), 0);
    PublishDataPacket(InitDataPacket());
    EXPECT_EQ(Calls, (decltype(Calls){{'a', 1}, {'c', 2}}));
}

TEST(PacketStore, RemovalAndNxtUnlocked) {
    DataPacket* a = InitDataPacket();
    DataPacket* b = InitDataPacket();
    DataPacket* c = InitDataPacket();
    EXPECT_EQ(NxtUnlocked(), nullptr);  // all pre-published
    PublishDataPacket(c);
    EXPECT_EQ(NxtUnlocked(), c);
    IncPktLock(c);
    EXPECT_EQ(NxtUnlocked(), nullptr);
    DecPktLock(c);

    uint8_t* kept = a->data;
    EXPECT_EQ(RemovePacket(a, 0), 0);  // head; its block stays with the caller
    EXPECT_EQ(b->last, nullptr);
    EXPECT_EQ(RemovePacket(c, 1), 0);  // tail
    EXPECT_EQ(b->next, nullptr);
    DataPacket* d = InitDataPacket();  // nothing free: a fresh block
    EXPECT_EQ(d->last, b);
    EXPECT_NE(d->data, kept);
    std::free(kept);
    EXPECT_EQ(RemovePacket(b, 1), 0);
    EXPECT_EQ(RemovePacket(d, 1), 0);  // the only one
    OutputCapture err(stderr);
    ShowPacketInfo(1);
    EXPECT_EQ(err.take(), "No packets created yet.\n");
    EXPECT_EQ(InitDataPacket()->last, nullptr);
}

TEST(PacketStore, NewDataPacketRefusesBadCounts) {
    std::vector<uint8_t> src(20481, 0x5a);
    OutputCapture err(stderr);
    EXPECT_EQ(NewDataPacket(src.data(), 20481), nullptr);
    EXPECT_EQ(NewDataPacket(src.data(), -1), nullptr);
    EXPECT_EQ(NewDataPacket(nullptr, 10), nullptr);
    EXPECT_EQ(err.take(),
              "Cannot make new packet data too big (20481)\n"
              "Cannot make new packet negative size (-1)\n"
              "Cannot make new packet from null data\n");
    DataPacket* p = NewDataPacket(src.data(), 20480);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->id, 0);  // nothing was made before
    EXPECT_EQ(p->size, 20480);
    EXPECT_EQ(p->lock, 0);
    EXPECT_EQ(p->data[20479], 0x5a);
}

TEST(PacketStore, AllocationFailuresLoseNoBlock) {
    PublishDataPacket(InitDataPacket());
    uint8_t* freeBlock = NxtUnlocked()->data;
    dirov::FailStoreAllocations(1, 0);
    OutputCapture err(stderr);
    EXPECT_EQ(InitDataPacket(), nullptr);  // no record: the free packet keeps its block
    EXPECT_EQ(err.take(), "");
    EXPECT_EQ(NxtUnlocked()->data, freeBlock);
    dirov::FailStoreAllocations(0, 1);
    EXPECT_EQ(InitDataPacket()->data, freeBlock);
    uint8_t byte = 1;
    EXPECT_EQ(NewDataPacket(&byte, 1), nullptr);
    EXPECT_EQ(err.take(), "Failed to create data space\nNew packet creation failed\n");
    EXPECT_EQ(InitDataPacket()->id, 2);
    EXPECT_EQ(dirov::DataBlocksAllocated(), 2u);
}

TEST(PacketStore, ShowPacketInfoText) {
    DataPacket* pre = InitDataPacket();
    uint8_t bytes[100] = {};
    DataPacket* p = NewDataPacket(bytes, 100);
    const std::string dashes = "---------------------------------\n";
    const std::string totals =
        "Current packet count: 2\nSum of packet sizes: 100\nMax packet size: 100\n"
        "Min packet size: 0\nPre-Published packet count: 1\nLocked packet count: 0\n";
    OutputCapture err(stderr);
    ShowPacketInfo(0);
    EXPECT_EQ(err.take(), dashes + totals + dashes);
    ShowPacketInfo(1);
    const std::string sep = "\t----------------------------\n";
    EXPECT_EQ(err.take(), dashes + "Current packets:\n" +
                              "\tPacket: 0\n\tSize: 0\n\tLock: -1\n\tLast: 0\n\tNext: " + Addr(p) +
                              "\n" + sep + "\tPacket: 1\n\tSize: 100\n\tLock: 0\n\tLast: " +
                              Addr(pre) + "\n\tNext: 0\n" + sep + totals + dashes);
}

// A consumer that keeps the latest few packets, as a slow reader would.
std::deque<DataPacket*> Held;
void HoldFew(DataPacket* p) {
    Held.push_back(p);
    if (Held.size() > 6) {
        DecPktLock(Held.front());
        Held.pop_front();
    }
}

TEST(PacketStore, SteadyStateCaptureAllocatesNoBlocks) {
    RegisterPktNotify(HoldFew);
    for (int i = 0; i < 100; ++i) PublishDataPacket(InitDataPacket());
    uint64_t warmed = dirov::DataBlocksAllocated();
    EXPECT_LE(warmed, 8u);
    for (int i = 0; i < 20000; ++i) {
        DataPacket* p = InitDataPacket();
        p->size = i % 20481;
        PublishDataPacket(p);
    }
    EXPECT_EQ(dirov::DataBlocksAllocated(), warmed);
}

TEST(PacketStore, ReusesTheOldestFreeBlockWhateverTheReleaseOrder) {
    std::vector<DataPacket*> held;
    for (int i = 0; i < 300; ++i) {
        held.push_back(InitDataPacket());
        IncPktLock(held.back());
        PublishDataPacket(held.back());
    }
    std::mt19937 rng(3);
    std::shuffle(held.begin(), held.end(), rng);
    for (size_t i = 0; i < held.size(); ++i) {
        DecPktLock(held[i]);
        if (i % 3 != 2) continue;
        uint8_t* expected = NxtUnlocked()->data;
        DataPacket* p = InitDataPacket();
        EXPECT_EQ(p->data, expected);
        PublishDataPacket(p);  // free at once, newest of all
    }
    EXPECT_EQ(dirov::DataBlocksAllocated(), 300u);
}

// The limit counts the store's own blocks: at it InitDataPacket fails with a
// message and free blocks are still reused; a lowered limit gives blocks back
// as they are freed.
TEST(PacketStore, BlockBytesStayWithinTheLimit) {
    dirov_capture_stats st{};
    OutputCapture err(stderr);
    EXPECT_EQ(dirov_set_store_limit(20479), -1);
    EXPECT_EQ(dirov_get_capture_stats(nullptr), -1);
    ASSERT_EQ(dirov_set_store_limit(3 * 20480 + 100), 0);
    std::vector<DataPacket*> p;
    for (int i = 0; i < 3; ++i) p.push_back(InitDataPacket());
    DataPacket* own = CreatePacketStruct();  // a caller's block does not count
    own->data = static_cast<uint8_t*>(std::malloc(10));
    for (DataPacket* q : p) IncPktLock(q);
    err.take();
    EXPECT_EQ(InitDataPacket(), nullptr);
    EXPECT_EQ(err.take(), "Failed to create data space: store limit of 61540 bytes reached\n");
    ASSERT_EQ(dirov_get_capture_stats(&st), 0);
    EXPECT_EQ(st.store_bytes, 3u * 20480);
    uint8_t* freed = p[1]->data;
    DecPktLock(p[1]);
    EXPECT_EQ(InitDataPacket()->data, freed);
    ASSERT_EQ(dirov_set_store_limit(20480), 0);
    DecPktLock(p[0]);
    DecPktLock(p[2]);
    ASSERT_EQ(dirov_get_capture_stats(&st), 0);
    EXPECT_EQ(st.store_bytes, 20480u);  // one block left: the pre-published one
    EXPECT_EQ(RemovePacket(own, 1), 0);
    EXPECT_EQ(dirov::DataBlocksAllocated(), 3u);
}

TEST(PacketStore, ByteCountsWithSuffixes) {
    const struct {
        const char* text;
        bool ok;
        uint64_t value;
    } cases[] = {{"4096", true, 4096},      {"8K", true, 8192}, {"3m", true, 3ull << 20},
                 {"2G", true, 2ull << 30},  {"0", true, 0},     {"", false, 0},
                 {"K", false, 0},           {"12Q", false, 0},  {"5KB", false, 0},
                 {" 5", false, 0},          {"-5", false, 0},   {"18446744073709551616", false, 0},
                 {"17179869184G", false, 0}};
    for (const auto& c : cases) {
        uint64_t v = 7;
        EXPECT_EQ(dirov::ParseByteCount(c.text, &v), c.ok) << c.text;
        EXPECT_EQ(v, c.ok ? c.value : 7) << c.text;
    }
}

// DIROV410_STORE_LIMIT is read once; a malformed value is reported once.
class StoreLimitVariable : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(StoreLimitVariable, SetsTheDefaultOrIsReportedOnce) {
    dirov::test::set_env("DIROV410_STORE_LIMIT", GetParam().first);
    OutputCapture err(stderr);
    int made = 0;
    while (made < 4 && InitDataPacket()) ++made;
    dirov::test::set_env("DIROV410_STORE_LIMIT", "20K");  // read once: no effect now
    ASSERT_EQ(dirov_set_store_limit(0), 0);
    made += InitDataPacket() != nullptr;
    std::string text = err.take();
    if (*GetParam().second) {
        EXPECT_EQ(made, 5);
        EXPECT_EQ(text, GetParam().second);
    } else {
        EXPECT_EQ(made, 2);  // 40K: two blocks
        EXPECT_NE(text.find("store limit of 40960 bytes reached"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, StoreLimitVariable,
    testing::Values(std::make_pair("40K", ""),
                    std::make_pair("lots",
                                   "Ignoring DIROV410_STORE_LIMIT=\"lots\": not a byte "
                                   "count of at least 20480 (K, M or G may follow)\n"),
                    std::make_pair("1K",
                                   "Ignoring DIROV410_STORE_LIMIT=\"1K\": not a byte "
                                   "count of at least 20480 (K, M or G may follow)\n")));
