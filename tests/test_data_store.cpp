// The packet store's state machine, its messages and its reuse of data
// blocks, and the virtual sample buffers over it. Every case runs in a process
// of its own, so the store starts empty.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "DataStore/src/data_store.h"
#include "dirov410.h"
#include "support/capture.h"

using dirov::test::OutputCapture;

namespace {

std::vector<std::pair<char, int32_t>> Calls;
template <char Name>
void Cb(DataPacket* p) {
    Calls.emplace_back(Name, p->lock);
}
constexpr auto CbA = Cb<'a'>, CbB = Cb<'b'>, CbC = Cb<'c'>;

TEST(PacketStore, IdsPublicationAndReuseOfOldestFreeBlock) {
    DataPacket* s = CreatePacketStruct();
    DataPacket *p1 = InitDataPacket(), *p2 = InitDataPacket(), *p3 = InitDataPacket();
    EXPECT_EQ(std::tie(s->id, s->data), std::make_tuple(0, nullptr));
    EXPECT_EQ(std::tie(p2->last, p1->next, p1->lock), std::make_tuple(p1, p2, -1));
    EXPECT_EQ(dirov::data_blocks_allocated(), 3u);

    IncPktLock(p1);  // pre-published -> 1, not 0
    IncPktLock(p2);
    PublishDataPacket(p3);  // nobody registered: free at once
    EXPECT_EQ(std::tie(p1->lock, p3->lock), std::make_tuple(1, 0));
    DecPktLock(p2);  // freed after p3, but older
    DecPktLock(p1);
    uint8_t* oldest = p1->data;
    DataPacket* n = InitDataPacket();
    EXPECT_EQ(std::tie(n->id, n->data, n->size, n->last), std::make_tuple(4, oldest, 0, p3));
    EXPECT_EQ(std::make_tuple(s->next, p2->last, NxtUnlocked()), std::make_tuple(p2, s, p2));

    // A free record without a block stays in the list and is never reused.
    PublishDataPacket(s);
    EXPECT_EQ((std::vector{NxtUnlocked()->data, InitDataPacket()->data, InitDataPacket()->data,
                           NxtUnlocked()->data}),
              (std::vector{s->data, p2->data, p3->data, s->data}));

    // Nor one carrying a block of the caller's own, which is far too small.
    uint8_t own[100];
    DataPacket* c = CreatePacketStruct();
    c->data = own;
    PublishDataPacket(c);
    EXPECT_NE(InitDataPacket()->data, own);
    EXPECT_EQ((std::tuple{dirov_packet_stream_offset(c), dirov_packet_stream_offset(nullptr),
                          RemovePacket(c, 0)}),
              std::make_tuple(-1, -1, 0));  // not captured
}

// Its lines reach a log handler that calls back into the store (guarded
// against its own lines): no line is logged with a store lock held.
std::string Lines;
void CallingHandler(void*, int32_t, const char* line) {
    static thread_local bool inside = false;
    Lines += std::string(line) + "\n";
    if (std::exchange(inside, true)) return;
    NxtUnlocked();
    UnregisterPktNotify(CbB);
    inside = false;
}

TEST(PacketStore, RegisterTableLockCountsAndTheirMessages) {
    dirov_set_log_handler(CallingHandler, nullptr);
    for (int i = 0; i < 39; ++i) ASSERT_EQ(RegisterPktNotify(CbA), 0);
    EXPECT_EQ(RegisterPktNotify(CbB), -1);
    for (int i = 0; i < 39; ++i) ASSERT_EQ(UnregisterPktNotify(CbA), 0);
    EXPECT_EQ(UnregisterPktNotify(CbA), -1);

    for (auto cb : {CbA, CbB, CbC}) RegisterPktNotify(cb);
    ASSERT_EQ(UnregisterPktNotify(CbB), 0);
    DataPacket* p = InitDataPacket();
    PublishDataPacket(p);
    EXPECT_EQ(Calls, (decltype(Calls){{'a', 2}, {'c', 2}}));  // every lock taken first
    EXPECT_EQ(RemovePacket(p, 1), -1);                        // still locked
    for (int i = 0; i < 3; ++i) DecPktLock(p);
    DataPacket* pre = CreatePacketStruct();
    DecPktLock(pre);
    EXPECT_EQ(std::tie(p->lock, pre->lock), std::make_tuple(0, -1));
    dirov_set_log_handler(nullptr, nullptr);
    const char* find = "Failed to find callback in register cannot remove\n";
    EXPECT_EQ(Lines, std::string("Register table full\n") + find + find + find +
                         "Failed to remove packet it is still locked at level 2\n" + find +
                         "Attempt to dec lock on packet that is unlocked (Pkt: 0)\n" + find +
                         "Attempt to dec lock on packet that is unlocked (Pkt: 1)\n" + find);
}

TEST(PacketStore, RemovalAndNxtUnlocked) {
    DataPacket *a = InitDataPacket(), *b = InitDataPacket(), *c = InitDataPacket();
    DataPacket* found[3] = {NxtUnlocked()};  // all pre-published
    PublishDataPacket(c);
    found[1] = NxtUnlocked();
    IncPktLock(c);
    found[2] = NxtUnlocked();
    DecPktLock(c);
    EXPECT_EQ(std::vector(found, found + 3), (std::vector<DataPacket*>{nullptr, c, nullptr}));

    uint8_t* kept = a->data;
    int32_t head = RemovePacket(a, 0), tail = RemovePacket(c, 1);  // a's block stays with us
    EXPECT_EQ(std::make_tuple(head, tail, b->last, b->next),
              std::make_tuple(0, 0, nullptr, nullptr));
    DataPacket* d = InitDataPacket();  // nothing free: a fresh block
    EXPECT_EQ(std::make_tuple(d->last, d->data != kept), std::make_tuple(b, true));
    std::free(kept);
    // d is the only one left.
    EXPECT_EQ((std::tuple{RemovePacket(b, 1), RemovePacket(d, 1), InitDataPacket()->last}),
              std::make_tuple(0, 0, nullptr));
}

// Bad counts and failed allocations make no packet and lose no block.
TEST(PacketStore, NewDataPacketRefusalsAndAllocationFailures) {
    std::vector<uint8_t> src(20481, 0x5a);
    OutputCapture err(stderr);
    for (auto [from, n] : {std::tuple{src.data(), 20481}, {src.data(), -1}, {nullptr, 10}})
        EXPECT_EQ(NewDataPacket(from, n), nullptr);
    EXPECT_NE(err.take().find("Cannot make new packet negative size (-1)\n"), std::string::npos);
    DataPacket* p = NewDataPacket(src.data(), 20480);
    ASSERT_NE(p, nullptr);
    // The first record made, free at once, holding the bytes.
    EXPECT_EQ(std::tie(p->id, p->size, p->lock, p->data[20479]),
              std::make_tuple(0, 20480, 0, 0x5a));
    uint8_t* freeBlock = p->data;
    dirov::fail_store_allocations(1, 0);
    EXPECT_EQ(InitDataPacket(), nullptr);  // no record: the free packet keeps its block
    EXPECT_EQ(NxtUnlocked()->data, freeBlock);
    dirov::fail_store_allocations(0, 1);
    EXPECT_EQ((std::tuple{InitDataPacket()->data, NewDataPacket(src.data(), 1)}),
              std::make_tuple(freeBlock, nullptr));
    EXPECT_EQ(err.take(),
              "Failed to create packet record\nFailed to create data space\nNew packet creation "
              "failed\n");
    EXPECT_EQ((std::tuple{InitDataPacket()->id, dirov::data_blocks_allocated()}),
              std::make_tuple(2, size_t{2}));
}

// The limit counts the store's own blocks: at it InitDataPacket fails with a
// message and free blocks are still reused; a lowered limit gives blocks back
// as they are freed.
TEST(PacketStore, BlockBytesStayWithinTheLimit) {
    dirov_capture_stats st{};
    OutputCapture err(stderr);
    EXPECT_EQ((std::tuple{dirov_set_store_limit(20479), dirov_get_capture_stats(nullptr)}),
              std::make_tuple(-1, -1));
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
    // One block left: the pre-published one.
    EXPECT_EQ((std::tuple{st.store_bytes, RemovePacket(own, 1), dirov::data_blocks_allocated()}),
              std::make_tuple(uint64_t{20480}, 0, size_t{3}));
}

// Free blocks beyond a reserve go back: 64 kept while a capture runs, 8 after.
TEST(PacketStore, FreeBlocksBeyondTheReserveGoBack) {
    dirov_capture_stats st{};
    std::vector<DataPacket*> p(70);
    dirov::begin_producing();
    for (auto& q : p) IncPktLock(q = InitDataPacket());
    for (DataPacket* q : p) DecPktLock(q);
    ASSERT_EQ(dirov_get_capture_stats(&st), 0);
    EXPECT_EQ(st.store_bytes, 64u * 20480);
    dirov::end_producing();
    ASSERT_EQ(dirov_get_capture_stats(&st), 0);
    EXPECT_EQ(st.store_bytes, 8u * 20480);
}

// DIROV410_STORE_LIMIT is read once: a byte count of at least one block (K, M
// or G may follow, in either case) sets the default; anything else, an
// overflow included, is reported once.
class StoreLimitVariable : public testing::TestWithParam<std::string> {};

TEST_P(StoreLimitVariable, SetsTheDefaultOrIsReportedOnce) {
    dirov::test::set_env("DIROV410_STORE_LIMIT", GetParam().c_str());
    OutputCapture err(stderr);
    int made = 0;
    while (made < 4 && InitDataPacket()) ++made;
    dirov::test::set_env("DIROV410_STORE_LIMIT", "20K");  // read once: no effect now
    ASSERT_EQ(dirov_set_store_limit(0), 0);
    made += InitDataPacket() != nullptr;
    std::string atLimit = "Failed to create data space: store limit of 40960 bytes reached\n";
    // Two blocks, the default again after a limit of 0.
    bool valid = GetParam() == "40K" || GetParam() == "40k" || GetParam() == "40960";
    EXPECT_EQ(std::make_tuple(made, err.take()),
              std::make_tuple(valid ? 2 : 5,
                              valid ? atLimit + atLimit
                                    : "Ignoring DIROV410_STORE_LIMIT=\"" + GetParam() +
                                          "\": not a byte count of at least 20480 (K, M or G may "
                                          "follow)\n"));
}

INSTANTIATE_TEST_SUITE_P(Values, StoreLimitVariable,
                         testing::Values("40K", "40k", "40960", "lots", "1K", "5KB", " 5", "-5",
                                         "12Q", "17179869184G", "18446744073709551616"));

// Virtual sample buffers over the store, on a stream whose byte at position k
// is k % 251.
class BufferTest : public ::testing::Test {
   protected:
    void SetUp() override { ASSERT_EQ(RegisterBufferCb(), 0); }
    DataPacket* publish(int32_t size) {
        std::vector<uint8_t> bytes(static_cast<size_t>(size));
        for (auto& b : bytes) b = static_cast<uint8_t>(streamPos++ % 251);
        return NewDataPacket(bytes.data(), size);
    }
    // The last `n` bytes published.
    std::vector<uint8_t> tail(uint64_t n) const {
        std::vector<uint8_t> bytes;
        for (uint64_t k = streamPos - n; k < streamPos; ++k) bytes.push_back(k % 251);
        return bytes;
    }
    // A new window's bytes (nothing when there is none), or the last one again.
    static std::vector<uint8_t> read(VirtualBuffer* b, bool fresh = true) {
        std::vector<uint8_t> out(static_cast<size_t>(b->size));
        if (fresh && GetBufferData(b) != 0) return {};
        EXPECT_EQ(ExtractBuffData(out.data(), b), 0);
        return out;
    }
    static std::string info() { return dirov::test::Capturing(ShowBufferInfo).err; }
    uint64_t streamPos = 0;
};

TEST_F(BufferTest, WorkedExampleAcrossTwoPackets) {
    VirtualBuffer* b = CreateNewBuffer(30000, 1);
    DataPacket* p[] = {publish(20480), publish(20480), publish(20480)};
    EXPECT_EQ(p[0]->lock, 0);  // left the window on the third packet
    EXPECT_EQ(read(b), tail(30000));
    EXPECT_EQ(std::tie(b->pktCount, b->offset, b->samples, b->firstPkt),
              std::make_tuple(2, 10960, 30000, p[1]));
    EXPECT_EQ(p[1]->lock, 2);  // the service's lock and the buffer's
    EXPECT_EQ(info().rfind("Current samples: 40960\nMax buff size:   30000\nBuffer sizes:\n"
                           "\t00 = 30000\nOldest packet:\n",
                           0),
              0u);
    RemoveBuffer(b);
    EXPECT_EQ(std::tie(p[1]->lock, p[2]->lock), std::make_tuple(1, 1));
}

TEST_F(BufferTest, OverlappingAndSeparateWindows) {
    VirtualBuffer* lap = CreateNewBuffer(1000, 1);
    publish(3000);
    VirtualBuffer* sep = CreateNewBuffer(1000, 0);
    EXPECT_EQ(std::tie(sep->lastCounter, sep->index), std::make_tuple(3000u, 1));
    EXPECT_EQ(GetBufferData(sep), -1);  // needs 1000 bytes published after its creation
    EXPECT_EQ(read(lap), tail(1000));
    EXPECT_EQ(GetBufferData(lap), -1);  // nothing new
    publish(600);
    EXPECT_EQ(GetBufferData(sep), -1);
    EXPECT_EQ(read(lap), tail(1000));
    EXPECT_EQ(std::tie(lap->pktCount, lap->offset), std::make_tuple(2, 2600));
    DataPacket* edge = publish(400);  // window starts exactly at a packet boundary
    EXPECT_EQ(read(sep), tail(1000));
    EXPECT_EQ(std::tie(sep->pktCount, sep->offset), std::make_tuple(2, 0));
    publish(999);
    EXPECT_EQ(GetBufferData(sep), -1);
    publish(1);
    EXPECT_EQ((std::tuple{read(sep), edge->lock}), std::tuple(tail(1000), 0));  // left both windows
    RemoveBuffer(sep);
    EXPECT_NE(info().find("Max buff size:   1000\n"), std::string::npos);
    RemoveBuffer(lap);
    EXPECT_NE(info().find("Max buff size:   0\n"), std::string::npos);
}

TEST_F(BufferTest, UnregisteredServiceLetsTheDataGo) {
    VirtualBuffer* b = CreateNewBuffer(500, 1);
    publish(800);
    ASSERT_EQ(GetBufferData(b), 0);
    EXPECT_EQ(RegisterBufferCb(), -1);
    ASSERT_EQ(UnregisterBufferCb(), 0);
    OutputCapture err(stderr);
    EXPECT_EQ((std::tuple{GetBufferData(b), UnregisterBufferCb()}), std::make_tuple(-1, -1));
    EXPECT_EQ(read(b, false), tail(500));  // the last window is still held
    RemoveBuffer(b);
}

TEST_F(BufferTest, RefusesBadArguments) {
    OutputCapture err(stderr);
    for (auto [size, overlap] : {std::tuple{0, 1}, {-5, 0}, {INT32_MAX, 1}})
        EXPECT_EQ(CreateNewBuffer(size, overlap), nullptr);
    EXPECT_EQ(GetBufferData(nullptr), -1);
    RemoveBuffer(nullptr);
    VirtualBuffer* b = CreateNewBuffer(10, 1);
    uint8_t dest[10] = {7};
    EXPECT_EQ((std::tuple{ExtractBuffData(dest, b), dest[0], ExtractBuffData(nullptr, b)}),
              std::make_tuple(-1, 7, -1));
    EXPECT_NE(err.take().find("Cannot create virtual buffer of size -5\n"), std::string::npos);
    RemoveBuffer(b);
}

}  // namespace
