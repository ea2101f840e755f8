// The process-wide packet store: the packet list, lock counts, publication to
// the registered notification callbacks, and reuse of free data blocks.
#include "DataStore/src/data_store.h"

#include <cctype>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

#include "platform/log.h"
#include "platform/platform.h"
#include "platform/byte_count.h"

namespace dirov {
namespace {

constexpr int32_t kBlockSize = DIROV_PACKET_DATA_SIZE;
constexpr int32_t kRegisterSlots = 40;
constexpr int32_t kRegisterMax = kRegisterSlots - 1;
constexpr uint64_t kBlockBytes = kBlockSize;
constexpr size_t kNotFree = SIZE_MAX;
constexpr const char* kDashes = "---------------------------------\n";
// Free blocks kept for the next capture while none runs; the rest go back.
constexpr size_t kIdleReserve = 8;
// Free blocks kept for reuse while a capture runs. Reuse goes oldest first,
// so every kept block is rewritten in turn: a small set stays in the caches,
// while one a slow consumer once grew would make every write miss them.
constexpr size_t kCaptureReserve = 64;
// Blocks given back between two hand-backs of heap pages to the system.
constexpr uint64_t kHeapReturnBatch = 256;
// Used when the system does not tell its physical memory.
constexpr uint64_t kFallbackLimit = 1ull << 30;
constexpr const char* kLimitVariable = "DIROV410_STORE_LIMIT";

// Every record is allocated inside this wrapper. The creation sequence orders
// the free packets for reuse without walking the list; heapPos is the record's
// place in FreeHeap, kNotFree when it is not there. `block` is the data block
// the store made for this record (null for none): only that block is ever
// reused or counted, whatever a caller put in `data`. `offset` is the stream
// offset of the packet's first byte, -1 unless the capture thread set it.
struct PacketRecord {
    DataPacket pkt;
    uint64_t seq;
    size_t heapPos;
    uint8_t* block;
    int64_t offset;
};
static_assert(std::is_standard_layout_v<PacketRecord> && offsetof(PacketRecord, pkt) == 0);

PacketRecord* RecordOf(DataPacket* p) {
    return reinterpret_cast<PacketRecord*>(p);
}

std::mutex RegisterLock;
std::mutex DataLock;

PktNotifyCb RegisterTbl[kRegisterSlots];
int32_t RegisterEnd = 0;

DataPacket* FirstDataPacket = nullptr;
DataPacket* LastDataPacket = nullptr;
uint32_t NxtId = 0;
uint64_t NxtSeq = 0;
size_t RecordCount = 0;

// Min-heap by creation sequence of the free packets that carry a data block.
// Room for every record is reserved when the record is made, so a count
// falling to 0 never allocates.
PacketRecord** FreeHeap = nullptr;
size_t FreeLen = 0;
size_t FreeCap = 0;

std::atomic<uint64_t> BlocksMade{0};
// Store blocks alive (in records or in flight to one), and their peak since
// the last ResetStorePeak. Changed under DataLock, read anywhere.
std::atomic<uint64_t> LiveBlocks{0};
std::atomic<uint64_t> PeakBlocks{0};
std::atomic<uint64_t> BlocksGivenBack{0};
std::atomic<uint64_t> LimitSetting{0};  // 0: the default
std::atomic<int> Producers{0};
thread_local int PublishDepth = 0;
std::atomic<int> RecordFailures{0};
std::atomic<int> BlockFailures{0};

bool InjectedFailure(std::atomic<int>& pending) {
    int n = pending.load(std::memory_order_relaxed);
    do {
        if (n <= 0) return false;
    } while (!pending.compare_exchange_weak(n, n - 1, std::memory_order_relaxed));
    return true;
}

void StoreLink(DataPacket*& field, DataPacket* value) {
    std::atomic_ref(field).store(value, std::memory_order_release);
}

void Place(size_t i, PacketRecord* r) {
    FreeHeap[i] = r;
    r->heapPos = i;
}

void SiftUp(size_t i) {
    PacketRecord* r = FreeHeap[i];
    while (i > 0) {
        size_t parent = (i - 1) / 2;
        if (FreeHeap[parent]->seq <= r->seq) break;
        Place(i, FreeHeap[parent]);
        i = parent;
    }
    Place(i, r);
}

void SiftDown(size_t i) {
    PacketRecord* r = FreeHeap[i];
    for (size_t child = 2 * i + 1; child < FreeLen; child = 2 * i + 1) {
        if (child + 1 < FreeLen && FreeHeap[child + 1]->seq < FreeHeap[child]->seq) ++child;
        if (r->seq <= FreeHeap[child]->seq) break;
        Place(i, FreeHeap[child]);
        i = child;
    }
    Place(i, r);
}

void HeapPush(PacketRecord* r) {
    FreeHeap[FreeLen] = r;
    r->heapPos = FreeLen++;
    SiftUp(r->heapPos);
}

void HeapErase(PacketRecord* r) {
    size_t i = r->heapPos;
    r->heapPos = kNotFree;
    PacketRecord* tail = FreeHeap[--FreeLen];
    if (i == FreeLen) return;
    Place(i, tail);
    SiftUp(i);
    SiftDown(tail->heapPos);
}

bool ReserveHeapSlot() {
    if (RecordCount < FreeCap) return true;
    size_t cap = FreeCap ? FreeCap * 2 : 64;
    void* grown = std::realloc(FreeHeap, cap * sizeof(PacketRecord*));
    if (!grown) return false;
    FreeHeap = static_cast<PacketRecord**>(grown);
    FreeCap = cap;
    return true;
}

// Only a free packet that still carries the store's own block may hand it
// on: a caller's block (CreatePacketStruct) is never taken for 20480 bytes.
void SetLock(PacketRecord* r, int32_t value) {
    std::atomic_ref(r->pkt.lock).store(value, std::memory_order_release);
    bool reusable = value == 0 && r->block != nullptr && r->pkt.data == r->block;
    if (reusable && r->heapPos == kNotFree) HeapPush(r);
    if (!reusable && r->heapPos != kNotFree) HeapErase(r);
}

void RaiseLock(PacketRecord* r) {
    int32_t v = r->pkt.lock;
    SetLock(r, v == -1 ? 1 : v + 1);
}

PacketRecord* AllocRecord() {
    if (InjectedFailure(RecordFailures)) return nullptr;
    return static_cast<PacketRecord*>(std::malloc(sizeof(PacketRecord)));
}

void AppendRecord(PacketRecord* r, uint8_t* data) {
    DataPacket* p = &r->pkt;
    p->id = static_cast<int32_t>(NxtId++);
    p->size = 0;
    p->lock = -1;
    p->data = data;
    p->next = nullptr;
    p->last = LastDataPacket;
    r->seq = NxtSeq++;
    r->heapPos = kNotFree;
    r->block = data;
    r->offset = -1;
    if (LastDataPacket) {
        StoreLink(LastDataPacket->next, p);
    } else {
        FirstDataPacket = p;
    }
    LastDataPacket = p;
    ++RecordCount;
}

void UnlinkRecord(PacketRecord* r) {
    if (r->heapPos != kNotFree) HeapErase(r);
    DataPacket* next = r->pkt.next;
    DataPacket* last = r->pkt.last;
    if (next) {
        StoreLink(next->last, last);
    } else {
        LastDataPacket = last;
    }
    if (last) {
        StoreLink(last->next, next);
    } else {
        FirstDataPacket = next;
    }
    --RecordCount;
}

// Appends `r` with the block of the oldest free packet, if there is one.
// Returns false (nothing changed) when no free packet has a block.
bool AppendReusing(PacketRecord* r) {
    if (FreeLen == 0) return false;
    PacketRecord* oldest = FreeHeap[0];
    uint8_t* block = oldest->block;
    UnlinkRecord(oldest);
    std::free(oldest);
    AppendRecord(r, block);
    return true;
}

uint8_t* NewBlock() {
    if (InjectedFailure(BlockFailures)) return nullptr;
    auto* block = static_cast<uint8_t*>(std::malloc(kBlockSize));
    if (block) BlocksMade.fetch_add(1, std::memory_order_relaxed);
    return block;
}

// The limit the process starts with: DIROV410_STORE_LIMIT when it is valid,
// otherwise a quarter of physical memory. Read once.
uint64_t DefaultLimit() {
    static const uint64_t limit = [] {
        uint64_t physical = physical_memory_bytes();
        uint64_t fallback = physical ? physical / 4 : kFallbackLimit;
        const char* text = std::getenv(kLimitVariable);
        if (!text) return fallback;
        uint64_t value = 0;
        if (parse_byte_count(text, &value) == ByteCount::kOk && value >= kBlockBytes) return value;
        DIROV_LOG_E("Ignoring %s=\"%s\": not a byte count of at least %d (K, M or G may follow)\n",
                    kLimitVariable, text, kBlockSize);
        return fallback;
    }();
    return limit;
}

uint64_t Limit() {
    uint64_t set = LimitSetting.load(std::memory_order_relaxed);
    return set ? set : DefaultLimit();
}

// Claims room for one more store block within the limit (DataLock held).
bool ClaimBlock() {
    uint64_t live = LiveBlocks.load(std::memory_order_relaxed);
    if ((live + 1) * kBlockBytes > Limit()) return false;
    LiveBlocks.store(live + 1, std::memory_order_relaxed);
    if (live + 1 > PeakBlocks.load(std::memory_order_relaxed))
        PeakBlocks.store(live + 1, std::memory_order_relaxed);
    return true;
}

void DropBlockClaim() {
    LiveBlocks.fetch_sub(1, std::memory_order_relaxed);
}

// The record is leaving the list: the store's block stops counting.
void DisownBlock(PacketRecord* r) {
    if (r->block) DropBlockClaim();
}

// Whether a packet just freed should give its block back at once rather than
// wait for reuse (DataLock held): above the limit (it was lowered), or beyond
// the reserve.
bool GiveBackNow() {
    if (LiveBlocks.load(std::memory_order_relaxed) * kBlockBytes > Limit()) return true;
    bool capturing = Producers.load(std::memory_order_relaxed) != 0;
    return FreeLen > (capturing ? kCaptureReserve : kIdleReserve);
}

// Frees records taken out of the list, chained through `next`, with their
// store blocks, and now and then returns the freed heap pages (never while a
// capture runs: it would soon fault them back in).
void FreeRecords(PacketRecord* chain, bool returnHeap) {
    uint64_t count = 0;
    while (chain) {
        PacketRecord* next = RecordOf(chain->pkt.next);
        std::free(chain->block);
        std::free(chain);
        chain = next;
        ++count;
    }
    uint64_t before = BlocksGivenBack.fetch_add(count, std::memory_order_relaxed);
    bool batchDone = (before + count) / kHeapReturnBatch != before / kHeapReturnBatch;
    if (returnHeap || (batchDone && Producers.load(std::memory_order_relaxed) == 0))
        return_free_heap();
}

// Takes the oldest free packets out while `keep` says so (DataLock held);
// returns them chained through `next`.
template <typename Pred>
PacketRecord* TakeFreeWhile(Pred keep) {
    PacketRecord* chain = nullptr;
    while (FreeLen > 0 && keep()) {
        PacketRecord* r = FreeHeap[0];
        UnlinkRecord(r);
        DisownBlock(r);
        r->pkt.next = chain ? &chain->pkt : nullptr;
        chain = r;
    }
    return chain;
}

void PrintPacket(const DataPacket* p) {
    std::fprintf(stderr, "\tPacket: %d\n", p->id);
    std::fprintf(stderr, "\tSize: %d\n", LoadSize(p));
    std::fprintf(stderr, "\tLock: %d\n", p->lock);
    std::fprintf(stderr, "\tLast: %llu\n",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p->last)));
    std::fprintf(stderr, "\tNext: %llu\n",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p->next)));
    std::fputs("\t----------------------------\n", stderr);
}

void PrintTotals() {
    int32_t count = 0, maxSize = LoadSize(FirstDataPacket), minSize = maxSize;
    int32_t prePublished = 0, locked = 0;
    uint32_t sum = 0;
    for (const DataPacket* p = FirstDataPacket; p; p = p->next) {
        ++count;
        int32_t size = LoadSize(p);
        sum += static_cast<uint32_t>(size);
        if (size > maxSize) maxSize = size;
        if (size < minSize) minSize = size;
        if (p->lock == -1) ++prePublished;
        if (p->lock > 0) ++locked;
    }
    std::fprintf(stderr, "Current packet count: %d\n", count);
    std::fprintf(stderr, "Sum of packet sizes: %d\n", static_cast<int32_t>(sum));
    std::fprintf(stderr, "Max packet size: %d\n", maxSize);
    std::fprintf(stderr, "Min packet size: %d\n", minSize);
    std::fprintf(stderr, "Pre-Published packet count: %d\n", prePublished);
    std::fprintf(stderr, "Locked packet count: %d\n", locked);
}

}  // namespace

bool InPublication() {
    return PublishDepth > 0;
}

uint64_t DataBlocksAllocated() {
    return BlocksMade.load(std::memory_order_relaxed);
}

void FailStoreAllocations(int records, int blocks) {
    RecordFailures.store(records);
    BlockFailures.store(blocks);
}

DataPacket* MakeStorePacket(StoreShortage* why) {
    DefaultLimit();  // read (and a bad value reported) before any lock is taken
    *why = StoreShortage::kRecord;
    // The record is allocated first, so that a failure cannot cost the block
    // of a free packet.
    PacketRecord* r = AllocRecord();
    if (!r) return nullptr;
    {
        std::lock_guard guard(DataLock);
        if (!ReserveHeapSlot()) {
            std::free(r);
            return nullptr;
        }
        if (AppendReusing(r)) {
            *why = StoreShortage::kNone;
            return &r->pkt;
        }
        if (!ClaimBlock()) {
            std::free(r);
            *why = StoreShortage::kLimit;
            return nullptr;
        }
    }
    uint8_t* block = NewBlock();
    std::lock_guard guard(DataLock);
    if (!block || !ReserveHeapSlot()) {
        DropBlockClaim();
        std::free(block);
        std::free(r);
        if (!block) *why = StoreShortage::kBlock;
        return nullptr;
    }
    AppendRecord(r, block);
    *why = StoreShortage::kNone;
    return &r->pkt;
}

void SetStreamOffset(DataPacket* p, int64_t offset) {
    std::atomic_ref(RecordOf(p)->offset).store(offset, std::memory_order_relaxed);
}

uint64_t StoreBytes() {
    return LiveBlocks.load(std::memory_order_relaxed) * kBlockBytes;
}

uint64_t StorePeakBytes() {
    return PeakBlocks.load(std::memory_order_relaxed) * kBlockBytes;
}

void BeginProducing() {
    std::lock_guard guard(DataLock);
    Producers.fetch_add(1, std::memory_order_relaxed);
    PeakBlocks.store(LiveBlocks.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void EndProducing() {
    {
        std::lock_guard guard(DataLock);
        Producers.fetch_sub(1, std::memory_order_relaxed);
    }
    GiveBackIdleBlocks();
}

void GiveBackIdleBlocks() {
    PacketRecord* chain;
    {
        std::lock_guard guard(DataLock);
        if (Producers.load(std::memory_order_relaxed) != 0) return;
        chain = TakeFreeWhile([] { return FreeLen > kIdleReserve; });
    }
    FreeRecords(chain, true);
}

}  // namespace dirov

using namespace dirov;

DataPacket* CreatePacketStruct(void) {
    PacketRecord* r = AllocRecord();
    if (!r) return nullptr;
    std::lock_guard guard(DataLock);
    if (!ReserveHeapSlot()) {
        std::free(r);
        return nullptr;
    }
    AppendRecord(r, nullptr);
    return &r->pkt;
}

DataPacket* InitDataPacket(void) {
    StoreShortage why;
    DataPacket* p = MakeStorePacket(&why);
    if (why == StoreShortage::kLimit)
        DIROV_LOG_E("Failed to create data space: store limit of %llu bytes reached\n",
                    static_cast<unsigned long long>(Limit()));
    if (why == StoreShortage::kBlock) DIROV_LOG_E("Failed to create data space\n");
    if (why == StoreShortage::kRecord) DIROV_LOG_E("Failed to create packet record\n");
    return p;
}

DataPacket* NewDataPacket(const uint8_t* src, int32_t count) {
    if (count > kBlockSize) {
        DIROV_LOG_E("Cannot make new packet data too big (%d)\n", count);
        return nullptr;
    }
    if (count < 0) {
        DIROV_LOG_E("Cannot make new packet negative size (%d)\n", count);
        return nullptr;
    }
    if (!src && count > 0) {
        DIROV_LOG_E("Cannot make new packet from null data\n");
        return nullptr;
    }
    DataPacket* p = InitDataPacket();
    if (!p) {
        DIROV_LOG_E("New packet creation failed\n");
        return nullptr;
    }
    if (count > 0) std::memcpy(p->data, src, static_cast<size_t>(count));
    p->size = count;
    PublishDataPacket(p);
    return p;
}

void PublishDataPacket(DataPacket* packet) {
    if (!packet) return;
    PacketRecord* r = RecordOf(packet);
    std::lock_guard registered(RegisterLock);
    // Every callback's lock is taken before the first runs: one that lets go
    // of its packet at once must not bring the count to 0 (and the record to
    // the free list, or back to the system) while later callbacks still
    // need it.
    {
        std::lock_guard guard(DataLock);
        int32_t held = packet->lock == -1 ? 0 : packet->lock;
        SetLock(r, held + RegisterEnd);
    }
    ++PublishDepth;
    for (int32_t i = 0; i < RegisterEnd; ++i) RegisterTbl[i](packet);
    --PublishDepth;
}

void IncPktLock(DataPacket* packet) {
    if (!packet) return;
    std::lock_guard guard(DataLock);
    RaiseLock(RecordOf(packet));
}

void DecPktLock(DataPacket* packet) {
    if (!packet) return;
    PacketRecord* gone = nullptr;
    {
        std::unique_lock guard(DataLock);
        if (packet->lock <= 0) {
            int32_t id = packet->id;
            guard.unlock();  // a log handler may call back into the store
            DIROV_LOG_E("Attempt to dec lock on packet that is unlocked (Pkt: %d)\n", id);
            return;
        }
        PacketRecord* r = RecordOf(packet);
        SetLock(r, packet->lock - 1);
        if (r->heapPos != kNotFree && GiveBackNow()) {
            UnlinkRecord(r);
            DisownBlock(r);
            r->pkt.next = nullptr;
            gone = r;
        }
    }
    if (gone) FreeRecords(gone, false);
}

int32_t RemovePacket(DataPacket* packet, int32_t freeData) {
    if (!packet) return -1;
    PacketRecord* r = RecordOf(packet);
    uint8_t* data = nullptr;
    uint8_t* orphan = nullptr;
    {
        std::unique_lock guard(DataLock);
        if (int32_t held = packet->lock; held > 0) {
            guard.unlock();
            DIROV_LOG_E("Failed to remove packet it is still locked at level %d\n", held);
            return -1;
        }
        if (freeData) data = packet->data;
        // A store block that a caller replaced in `data` has no other owner.
        if (r->block != packet->data) orphan = r->block;
        UnlinkRecord(r);
        DisownBlock(r);
    }
    std::free(data);
    std::free(orphan);
    std::free(r);
    return 0;
}

DataPacket* NxtUnlocked(void) {
    std::lock_guard guard(DataLock);
    for (DataPacket* p = FirstDataPacket; p; p = p->next) {
        if (p->lock == 0) return p;
    }
    return nullptr;
}

int32_t RegisterPktNotify(PktNotifyCb cb) {
    {
        std::lock_guard guard(RegisterLock);
        if (RegisterEnd < kRegisterMax) {
            RegisterTbl[RegisterEnd++] = cb;
            return 0;
        }
    }
    DIROV_LOG_E("Register table full\n");
    return -1;
}

int32_t UnregisterPktNotify(PktNotifyCb cb) {
    std::unique_lock guard(RegisterLock);
    int32_t slot = 0;
    while (slot < RegisterEnd && RegisterTbl[slot] != cb) ++slot;
    if (slot == RegisterEnd) {
        guard.unlock();
        DIROV_LOG_E("Failed to find callback in register cannot remove\n");
        return -1;
    }
    for (; slot + 1 < RegisterEnd; ++slot) RegisterTbl[slot] = RegisterTbl[slot + 1];
    RegisterTbl[--RegisterEnd] = nullptr;
    return 0;
}

void ShowPacketInfo(int32_t verbose) {
    std::lock_guard guard(DataLock);
    if (!FirstDataPacket) {
        std::fputs("No packets created yet.\n", stderr);
        return;
    }
    std::fputs(kDashes, stderr);
    if (verbose > 0) {
        std::fputs("Current packets:\n", stderr);
        for (const DataPacket* p = FirstDataPacket; p; p = p->next) PrintPacket(p);
    }
    PrintTotals();
    std::fputs(kDashes, stderr);
}

int32_t dirov_set_store_limit(uint64_t bytes) {
    if (bytes != 0 && bytes < kBlockBytes) {
        DIROV_LOG_E("Store limit %llu is below one data block (%d bytes)\n",
                    static_cast<unsigned long long>(bytes), kBlockSize);
        return -1;
    }
    DefaultLimit();
    PacketRecord* chain;
    {
        std::lock_guard guard(DataLock);
        LimitSetting.store(bytes, std::memory_order_relaxed);
        chain = TakeFreeWhile([] { return LiveBlocks.load() * kBlockBytes > Limit(); });
    }
    if (chain) FreeRecords(chain, true);
    return 0;
}

int64_t dirov_packet_stream_offset(const DataPacket* p) {
    if (!p) return -1;
    return std::atomic_ref(RecordOf(const_cast<DataPacket*>(p))->offset)
        .load(std::memory_order_relaxed);
}
