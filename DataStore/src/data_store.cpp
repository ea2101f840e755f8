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

#include "platform/byte_count.h"
#include "platform/log.h"
#include "platform/platform.h"

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
// the free packets for reuse without walking the list; heap_pos is the record's
// place in free_heap, kNotFree when it is not there. `block` is the data block
// the store made for this record (null for none): only that block is ever
// reused or counted, whatever a caller put in `data`. `offset` is the stream
// offset of the packet's first byte, -1 unless the capture thread set it.
struct PacketRecord {
    DataPacket pkt;
    uint64_t seq;
    size_t heap_pos;
    uint8_t* block;
    int64_t offset;
};
static_assert(std::is_standard_layout_v<PacketRecord> && offsetof(PacketRecord, pkt) == 0);

PacketRecord* record_of(DataPacket* p) {
    return reinterpret_cast<PacketRecord*>(p);
}

std::mutex RegisterLock;
std::mutex DataLock;

PktNotifyCb RegisterTbl[kRegisterSlots];
int32_t RegisterEnd = 0;

DataPacket* FirstDataPacket = nullptr;
DataPacket* LastDataPacket = nullptr;
uint32_t NxtId = 0;
uint64_t nxt_seq = 0;
size_t record_count = 0;

// Min-heap by creation sequence of the free packets that carry a data block.
// Room for every record is reserved when the record is made, so a count
// falling to 0 never allocates.
PacketRecord** free_heap = nullptr;
size_t free_len = 0;
size_t free_cap = 0;

std::atomic<uint64_t> blocks_made{0};
// Store blocks alive (in records or in flight to one), and their peak since
// the last ResetStorePeak. Changed under DataLock, read anywhere.
std::atomic<uint64_t> live_blocks{0};
std::atomic<uint64_t> peak_blocks{0};
std::atomic<uint64_t> blocks_given_back{0};
std::atomic<uint64_t> limit_setting{0};  // 0: the default
std::atomic<int> producers{0};
thread_local int publish_depth = 0;
std::atomic<int> record_failures{0};
std::atomic<int> block_failures{0};

bool injected_failure(std::atomic<int>& pending) {
    int n = pending.load(std::memory_order_relaxed);
    do {
        if (n <= 0) return false;
    } while (!pending.compare_exchange_weak(n, n - 1, std::memory_order_relaxed));
    return true;
}

void store_link(DataPacket*& field, DataPacket* value) {
    std::atomic_ref(field).store(value, std::memory_order_release);
}

void heap_place(size_t i, PacketRecord* r) {
    free_heap[i] = r;
    r->heap_pos = i;
}

void sift_up(size_t i) {
    PacketRecord* r = free_heap[i];
    while (i > 0) {
        size_t parent = (i - 1) / 2;
        if (free_heap[parent]->seq <= r->seq) break;
        heap_place(i, free_heap[parent]);
        i = parent;
    }
    heap_place(i, r);
}

void sift_down(size_t i) {
    PacketRecord* r = free_heap[i];
    for (size_t child = 2 * i + 1; child < free_len; child = 2 * i + 1) {
        if (child + 1 < free_len && free_heap[child + 1]->seq < free_heap[child]->seq) ++child;
        if (r->seq <= free_heap[child]->seq) break;
        heap_place(i, free_heap[child]);
        i = child;
    }
    heap_place(i, r);
}

void heap_push(PacketRecord* r) {
    free_heap[free_len] = r;
    r->heap_pos = free_len++;
    sift_up(r->heap_pos);
}

void heap_erase(PacketRecord* r) {
    size_t i = r->heap_pos;
    r->heap_pos = kNotFree;
    PacketRecord* tail = free_heap[--free_len];
    if (i == free_len) return;
    heap_place(i, tail);
    sift_up(i);
    sift_down(tail->heap_pos);
}

bool reserve_heap_slot() {
    if (record_count < free_cap) return true;
    size_t cap = free_cap ? free_cap * 2 : 64;
    void* grown = std::realloc(free_heap, cap * sizeof(PacketRecord*));
    if (!grown) return false;
    free_heap = static_cast<PacketRecord**>(grown);
    free_cap = cap;
    return true;
}

// Only a free packet that still carries the store's own block may hand it
// on: a caller's block (CreatePacketStruct) is never taken for 20480 bytes.
void set_lock(PacketRecord* r, int32_t value) {
    std::atomic_ref(r->pkt.lock).store(value, std::memory_order_release);
    bool reusable = value == 0 && r->block != nullptr && r->pkt.data == r->block;
    if (reusable && r->heap_pos == kNotFree) heap_push(r);
    if (!reusable && r->heap_pos != kNotFree) heap_erase(r);
}

void raise_lock(PacketRecord* r) {
    int32_t v = r->pkt.lock;
    set_lock(r, v == -1 ? 1 : v + 1);
}

PacketRecord* alloc_record() {
    if (injected_failure(record_failures)) return nullptr;
    return static_cast<PacketRecord*>(std::malloc(sizeof(PacketRecord)));
}

void append_record(PacketRecord* r, uint8_t* data) {
    DataPacket* p = &r->pkt;
    p->id = static_cast<int32_t>(NxtId++);
    p->size = 0;
    p->lock = -1;
    p->data = data;
    p->next = nullptr;
    p->last = LastDataPacket;
    r->seq = nxt_seq++;
    r->heap_pos = kNotFree;
    r->block = data;
    r->offset = -1;
    if (LastDataPacket) {
        store_link(LastDataPacket->next, p);
    } else {
        FirstDataPacket = p;
    }
    LastDataPacket = p;
    ++record_count;
}

void unlink_record(PacketRecord* r) {
    if (r->heap_pos != kNotFree) heap_erase(r);
    DataPacket* next = r->pkt.next;
    DataPacket* last = r->pkt.last;
    if (next) {
        store_link(next->last, last);
    } else {
        LastDataPacket = last;
    }
    if (last) {
        store_link(last->next, next);
    } else {
        FirstDataPacket = next;
    }
    --record_count;
}

// Appends `r` with the block of the oldest free packet, if there is one.
// Returns false (nothing changed) when no free packet has a block.
bool append_reusing(PacketRecord* r) {
    if (free_len == 0) return false;
    PacketRecord* oldest = free_heap[0];
    uint8_t* block = oldest->block;
    unlink_record(oldest);
    std::free(oldest);
    append_record(r, block);
    return true;
}

uint8_t* new_block() {
    if (injected_failure(block_failures)) return nullptr;
    auto* block = static_cast<uint8_t*>(std::malloc(kBlockSize));
    if (block) blocks_made.fetch_add(1, std::memory_order_relaxed);
    return block;
}

// The limit the process starts with: DIROV410_STORE_LIMIT when it is valid,
// otherwise a quarter of physical memory. Read once.
uint64_t default_limit() {
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

uint64_t limit_bytes() {
    uint64_t set = limit_setting.load(std::memory_order_relaxed);
    return set ? set : default_limit();
}

// Claims room for one more store block within the limit (DataLock held).
bool claim_block() {
    uint64_t live = live_blocks.load(std::memory_order_relaxed);
    if ((live + 1) * kBlockBytes > limit_bytes()) return false;
    live_blocks.store(live + 1, std::memory_order_relaxed);
    if (live + 1 > peak_blocks.load(std::memory_order_relaxed))
        peak_blocks.store(live + 1, std::memory_order_relaxed);
    return true;
}

void drop_block_claim() {
    live_blocks.fetch_sub(1, std::memory_order_relaxed);
}

// The record is leaving the list: the store's block stops counting.
void disown_block(PacketRecord* r) {
    if (r->block) drop_block_claim();
}

// Whether a packet just freed should give its block back at once rather than
// wait for reuse (DataLock held): above the limit (it was lowered), or beyond
// the reserve.
bool give_back_now() {
    if (live_blocks.load(std::memory_order_relaxed) * kBlockBytes > limit_bytes()) return true;
    bool capturing = producers.load(std::memory_order_relaxed) != 0;
    return free_len > (capturing ? kCaptureReserve : kIdleReserve);
}

// Frees records taken out of the list, chained through `next`, with their
// store blocks, and now and then returns the freed heap pages (never while a
// capture runs: it would soon fault them back in).
void free_records(PacketRecord* chain, bool return_heap) {
    uint64_t count = 0;
    while (chain) {
        PacketRecord* next = record_of(chain->pkt.next);
        std::free(chain->block);
        std::free(chain);
        chain = next;
        ++count;
    }
    uint64_t before = blocks_given_back.fetch_add(count, std::memory_order_relaxed);
    bool batch_done = (before + count) / kHeapReturnBatch != before / kHeapReturnBatch;
    if (return_heap || (batch_done && producers.load(std::memory_order_relaxed) == 0))
        return_free_heap();
}

// Takes the oldest free packets out while `keep` says so (DataLock held);
// returns them chained through `next`.
template <typename Pred>
PacketRecord* take_free_while(Pred keep) {
    PacketRecord* chain = nullptr;
    while (free_len > 0 && keep()) {
        PacketRecord* r = free_heap[0];
        unlink_record(r);
        disown_block(r);
        r->pkt.next = chain ? &chain->pkt : nullptr;
        chain = r;
    }
    return chain;
}

void print_packet(const DataPacket* p) {
    std::fprintf(stderr, "\tPacket: %d\n", p->id);
    std::fprintf(stderr, "\tSize: %d\n", load_size(p));
    std::fprintf(stderr, "\tLock: %d\n", p->lock);
    std::fprintf(stderr, "\tLast: %llu\n",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p->last)));
    std::fprintf(stderr, "\tNext: %llu\n",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p->next)));
    std::fputs("\t----------------------------\n", stderr);
}

void print_totals() {
    int32_t count = 0, max_size = load_size(FirstDataPacket), min_size = max_size;
    int32_t pre_published = 0, locked = 0;
    uint32_t sum = 0;
    for (const DataPacket* p = FirstDataPacket; p; p = p->next) {
        ++count;
        int32_t size = load_size(p);
        sum += static_cast<uint32_t>(size);
        if (size > max_size) max_size = size;
        if (size < min_size) min_size = size;
        if (p->lock == -1) ++pre_published;
        if (p->lock > 0) ++locked;
    }
    std::fprintf(stderr, "Current packet count: %d\n", count);
    std::fprintf(stderr, "Sum of packet sizes: %d\n", static_cast<int32_t>(sum));
    std::fprintf(stderr, "Max packet size: %d\n", max_size);
    std::fprintf(stderr, "Min packet size: %d\n", min_size);
    std::fprintf(stderr, "Pre-Published packet count: %d\n", pre_published);
    std::fprintf(stderr, "Locked packet count: %d\n", locked);
}

}  // namespace

bool in_publication() {
    return publish_depth > 0;
}

uint64_t data_blocks_allocated() {
    return blocks_made.load(std::memory_order_relaxed);
}

void fail_store_allocations(int records, int blocks) {
    record_failures.store(records);
    block_failures.store(blocks);
}

DataPacket* make_store_packet(StoreShortage* why) {
    default_limit();  // read (and a bad value reported) before any lock is taken
    *why = StoreShortage::kRecord;
    // The record is allocated first, so that a failure cannot cost the block
    // of a free packet.
    PacketRecord* r = alloc_record();
    if (!r) return nullptr;
    {
        std::lock_guard guard(DataLock);
        if (!reserve_heap_slot()) {
            std::free(r);
            return nullptr;
        }
        if (append_reusing(r)) {
            *why = StoreShortage::kNone;
            return &r->pkt;
        }
        if (!claim_block()) {
            std::free(r);
            *why = StoreShortage::kLimit;
            return nullptr;
        }
    }
    uint8_t* block = new_block();
    std::lock_guard guard(DataLock);
    if (!block || !reserve_heap_slot()) {
        drop_block_claim();
        std::free(block);
        std::free(r);
        if (!block) *why = StoreShortage::kBlock;
        return nullptr;
    }
    append_record(r, block);
    *why = StoreShortage::kNone;
    return &r->pkt;
}

void set_stream_offset(DataPacket* p, int64_t offset) {
    std::atomic_ref(record_of(p)->offset).store(offset, std::memory_order_relaxed);
}

uint64_t store_bytes() {
    return live_blocks.load(std::memory_order_relaxed) * kBlockBytes;
}

uint64_t store_peak_bytes() {
    return peak_blocks.load(std::memory_order_relaxed) * kBlockBytes;
}

void begin_producing() {
    std::lock_guard guard(DataLock);
    producers.fetch_add(1, std::memory_order_relaxed);
    peak_blocks.store(live_blocks.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void end_producing() {
    {
        std::lock_guard guard(DataLock);
        producers.fetch_sub(1, std::memory_order_relaxed);
    }
    give_back_idle_blocks();
}

void give_back_idle_blocks() {
    PacketRecord* chain;
    {
        std::lock_guard guard(DataLock);
        if (producers.load(std::memory_order_relaxed) != 0) return;
        chain = take_free_while([] { return free_len > kIdleReserve; });
    }
    free_records(chain, true);
}

}  // namespace dirov

using namespace dirov;

DataPacket* CreatePacketStruct(void) {
    PacketRecord* r = alloc_record();
    if (!r) return nullptr;
    std::lock_guard guard(DataLock);
    if (!reserve_heap_slot()) {
        std::free(r);
        return nullptr;
    }
    append_record(r, nullptr);
    return &r->pkt;
}

DataPacket* InitDataPacket(void) {
    StoreShortage why;
    DataPacket* p = make_store_packet(&why);
    if (why == StoreShortage::kLimit)
        DIROV_LOG_E("Failed to create data space: store limit of %llu bytes reached\n",
                    static_cast<unsigned long long>(limit_bytes()));
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
    PacketRecord* r = record_of(packet);
    std::lock_guard registered(RegisterLock);
    // Every callback's lock is taken before the first runs: one that lets go
    // of its packet at once must not bring the count to 0 (and the record to
    // the free list, or back to the system) while later callbacks still
    // need it.
    {
        std::lock_guard guard(DataLock);
        int32_t held = packet->lock == -1 ? 0 : packet->lock;
        set_lock(r, held + RegisterEnd);
    }
    ++publish_depth;
    for (int32_t i = 0; i < RegisterEnd; ++i) RegisterTbl[i](packet);
    --publish_depth;
}

void IncPktLock(DataPacket* packet) {
    if (!packet) return;
    std::lock_guard guard(DataLock);
    raise_lock(record_of(packet));
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
        PacketRecord* r = record_of(packet);
        set_lock(r, packet->lock - 1);
        if (r->heap_pos != kNotFree && give_back_now()) {
            unlink_record(r);
            disown_block(r);
            r->pkt.next = nullptr;
            gone = r;
        }
    }
    if (gone) free_records(gone, false);
}

int32_t RemovePacket(DataPacket* packet, int32_t freeData) {
    if (!packet) return -1;
    PacketRecord* r = record_of(packet);
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
        unlink_record(r);
        disown_block(r);
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
        for (const DataPacket* p = FirstDataPacket; p; p = p->next) print_packet(p);
    }
    print_totals();
    std::fputs(kDashes, stderr);
}

int32_t dirov_set_store_limit(uint64_t bytes) {
    if (bytes != 0 && bytes < kBlockBytes) {
        DIROV_LOG_E("Store limit %llu is below one data block (%d bytes)\n",
                    static_cast<unsigned long long>(bytes), kBlockSize);
        return -1;
    }
    default_limit();
    PacketRecord* chain;
    {
        std::lock_guard guard(DataLock);
        limit_setting.store(bytes, std::memory_order_relaxed);
        chain = take_free_while([] { return live_blocks.load() * kBlockBytes > limit_bytes(); });
    }
    if (chain) free_records(chain, true);
    return 0;
}

int64_t dirov_packet_stream_offset(const DataPacket* p) {
    if (!p) return -1;
    return std::atomic_ref(record_of(const_cast<DataPacket*>(p))->offset)
        .load(std::memory_order_relaxed);
}
