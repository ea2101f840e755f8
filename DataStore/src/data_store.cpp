// The process-wide packet store: the packet list, lock counts, publication to
// the registered notification callbacks, and reuse of free data blocks.
#include "DataStore/src/data_store.h"
#include "device/log.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

namespace dirov {
namespace {

constexpr int32_t kBlockSize = DIROV_PACKET_DATA_SIZE;
constexpr int32_t kRegisterSlots = 40;
constexpr int32_t kRegisterMax = kRegisterSlots - 1;
constexpr size_t kNotFree = SIZE_MAX;
constexpr const char* kDashes = "---------------------------------\n";

// Every record is allocated inside this wrapper. The creation sequence orders
// the free packets for reuse without walking the list; heapPos is the record's
// place in FreeHeap, kNotFree when it is not there.
struct PacketRecord {
    DataPacket pkt;
    uint64_t seq;
    size_t heapPos;
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

// Only a free packet with a data block may hand its block on: a record made
// by CreatePacketStruct and freed without one is never reused.
void SetLock(PacketRecord* r, int32_t value) {
    std::atomic_ref(r->pkt.lock).store(value, std::memory_order_release);
    bool reusable = value == 0 && r->pkt.data != nullptr;
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
    uint8_t* block = oldest->pkt.data;
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

void PrintPacket(const DataPacket* p) {
    std::fprintf(stderr, "\tPacket: %d\n", p->id);
    std::fprintf(stderr, "\tSize: %d\n", p->size);
    std::fprintf(stderr, "\tLock: %d\n", p->lock);
    std::fprintf(stderr, "\tLast: %llu\n",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p->last)));
    std::fprintf(stderr, "\tNext: %llu\n",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p->next)));
    std::fputs("\t----------------------------\n", stderr);
}

void PrintTotals() {
    int32_t count = 0, maxSize = FirstDataPacket->size, minSize = FirstDataPacket->size;
    int32_t prePublished = 0, locked = 0;
    uint32_t sum = 0;
    for (const DataPacket* p = FirstDataPacket; p; p = p->next) {
        ++count;
        sum += static_cast<uint32_t>(p->size);
        if (p->size > maxSize) maxSize = p->size;
        if (p->size < minSize) minSize = p->size;
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

uint64_t DataBlocksAllocated() {
    return BlocksMade.load(std::memory_order_relaxed);
}

void FailStoreAllocations(int records, int blocks) {
    RecordFailures.store(records);
    BlockFailures.store(blocks);
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
        if (AppendReusing(r)) return &r->pkt;
    }
    uint8_t* block = NewBlock();
    if (!block) {
        std::free(r);
        DIROV_LOG_E("Failed to create data space\n");
        return nullptr;
    }
    std::lock_guard guard(DataLock);
    if (!ReserveHeapSlot()) {
        std::free(block);
        std::free(r);
        return nullptr;
    }
    AppendRecord(r, block);
    return &r->pkt;
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
    if (RegisterEnd == 0) {
        std::lock_guard guard(DataLock);
        if (packet->lock == -1) SetLock(r, 0);
        return;
    }
    for (int32_t i = 0; i < RegisterEnd; ++i) {
        {
            std::lock_guard guard(DataLock);
            RaiseLock(r);
        }
        RegisterTbl[i](packet);
    }
}

void IncPktLock(DataPacket* packet) {
    if (!packet) return;
    std::lock_guard guard(DataLock);
    RaiseLock(RecordOf(packet));
}

void DecPktLock(DataPacket* packet) {
    if (!packet) return;
    std::lock_guard guard(DataLock);
    if (packet->lock > 0) {
        SetLock(RecordOf(packet), packet->lock - 1);
        return;
    }
    DIROV_LOG_E("Attempt to dec lock on packet that is unlocked (Pkt: %d)\n", packet->id);
}

int32_t RemovePacket(DataPacket* packet, int32_t freeData) {
    if (!packet) return -1;
    uint8_t* block = nullptr;
    {
        std::lock_guard guard(DataLock);
        if (packet->lock > 0) {
            DIROV_LOG_E("Failed to remove packet it is still locked at level %d\n",
                         packet->lock);
            return -1;
        }
        if (freeData) block = packet->data;
        UnlinkRecord(RecordOf(packet));
    }
    std::free(block);
    std::free(RecordOf(packet));
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
    std::lock_guard guard(RegisterLock);
    if (RegisterEnd >= kRegisterMax) {
        DIROV_LOG_E("Register table full\n");
        return -1;
    }
    RegisterTbl[RegisterEnd++] = cb;
    return 0;
}

int32_t UnregisterPktNotify(PktNotifyCb cb) {
    std::lock_guard guard(RegisterLock);
    int32_t slot = 0;
    while (slot < RegisterEnd && RegisterTbl[slot] != cb) ++slot;
    if (slot == RegisterEnd) {
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
