// Virtual sample buffers: a window of published packets kept by one
// notification callback, and buffers that read the latest bytes from it.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "DataStore/src/data_store.h"

namespace dirov {
namespace {

constexpr int32_t kBufferSlots = 50;
// The window runs up to two packets past the largest buffer; larger sizes
// would overflow CurrentSamples.
constexpr int32_t kMaxBufferSize = INT32_MAX - 2 * DIROV_PACKET_DATA_SIZE;

std::mutex BufferLock;

int32_t BufferSize[kBufferSlots];
int32_t BufferSizeArrayInit = 0;
// Written by application threads, read by BufferCb on the capture thread.
std::atomic<int32_t> MaxBuffSize{0};

int32_t CurrentSamples = 0;
uint32_t SampleCounter = 0;
DataPacket* NewestPkt = nullptr;
DataPacket* OldestPkt = nullptr;
int32_t CbRegistered = 0;

// Gives back one lock on every packet from `from` along `next` to `to`. Each
// link is read before the packet it leaves is given back.
void release_run(DataPacket* from, DataPacket* to) {
    DataPacket* p = from;
    while (p && p != to) {
        DataPacket* left = p;
        p = load_next(p);
        DecPktLock(left);
    }
    DecPktLock(to);
}

void empty_window() {
    if (OldestPkt) release_run(OldestPkt, NewestPkt);
    OldestPkt = nullptr;
    NewestPkt = nullptr;
    CurrentSamples = 0;
}

void init_size_table() {
    if (BufferSizeArrayInit) return;
    std::fill(BufferSize, BufferSize + kBufferSlots, -1);
    BufferSizeArrayInit = 1;
}

int32_t largest_other_size(int32_t skip) {
    int32_t largest = 0;
    for (int32_t i = 0; i < kBufferSlots; ++i) {
        if (i != skip && BufferSize[i] > largest) largest = BufferSize[i];
    }
    return largest;
}

// Takes a slot for a buffer of `size`; -1 when all are in use.
int32_t take_slot(int32_t size) {
    std::lock_guard guard(BufferLock);
    init_size_table();
    int32_t* slot = std::find(BufferSize, BufferSize + kBufferSlots, -1);
    if (slot == BufferSize + kBufferSlots) return -1;
    *slot = size;
    if (size > MaxBuffSize.load()) MaxBuffSize.store(size);
    return static_cast<int32_t>(slot - BufferSize);
}

void free_slot(int32_t index) {
    std::lock_guard guard(BufferLock);
    init_size_table();
    if (index < 0 || index >= kBufferSlots) return;
    if (BufferSize[index] == MaxBuffSize.load()) MaxBuffSize.store(largest_other_size(index));
    BufferSize[index] = -1;
}

// Whether `b` may take a new window now (BufferLock held); `lost` is set
// when it had one and the service no longer holds enough data.
bool window_ready(const VirtualBuffer* b, bool* lost) {
    if (b->size > CurrentSamples) {
        *lost = b->firstPkt != nullptr;
        return false;
    }
    if (b->firstPkt && b->lastCounter == SampleCounter) return false;
    uint32_t arrived = SampleCounter - b->lastCounter;
    return b->overlap != 0 || static_cast<int64_t>(b->size) <= static_cast<int64_t>(arrived);
}

// Fixes the latest `size` bytes of the service window as b's window, taking a
// lock on each packet newer than b's previous newest one (BufferLock held).
void take_window(VirtualBuffer* b) {
    b->pktCount = 0;
    b->offset = 0;
    b->samples = 0;
    int32_t remaining = b->size;
    bool taking = true;
    DataPacket* p = NewestPkt;
    for (;;) {
        taking = taking && p != b->newestPkt;
        if (taking) IncPktLock(p);
        ++b->pktCount;
        if (p->size > remaining) {
            b->offset = p->size - remaining;
            break;
        }
        remaining -= p->size;
        if (remaining == 0 || !load_last(p)) break;
        p = load_last(p);
    }
    b->firstPkt = p;
    b->newestPkt = NewestPkt;
    b->lastCounter = SampleCounter;
}

// Gives back the locks of the old window that the new one no longer spans.
void release_old_window(DataPacket* old_first, DataPacket* old_newest, DataPacket* new_first) {
    if (!old_first) return;
    DataPacket* p = old_first;
    while (p && p != new_first && p != old_newest) {
        DataPacket* left = p;
        p = load_next(p);
        DecPktLock(left);
    }
    if (p == old_newest && p != new_first) DecPktLock(p);
}

void print_packet_brief(const char* title, const DataPacket* p) {
    std::fputs(title, stderr);
    std::fprintf(stderr, "\tPacket: %d\n", p->id);
    std::fprintf(stderr, "\tSize: %d\n", p->size);
    std::fprintf(stderr, "\tLock: %d\n", load_lock(p));
}

}  // namespace

void BufferCb(DataPacket* packet) {
    std::lock_guard guard(BufferLock);
    int32_t max_size = MaxBuffSize.load();
    if (max_size == 0) {
        DecPktLock(packet);
        empty_window();
        return;
    }
    SampleCounter += static_cast<uint32_t>(packet->size);
    if (!OldestPkt) {
        OldestPkt = NewestPkt = packet;
        CurrentSamples = packet->size;
        return;
    }
    NewestPkt = packet;
    CurrentSamples += packet->size;
    if (CurrentSamples - OldestPkt->size < max_size) return;
    DataPacket* left = OldestPkt;
    OldestPkt = load_next(left);
    CurrentSamples -= left->size;
    DecPktLock(left);
}

}  // namespace dirov

using namespace dirov;

int32_t RegisterBufferCb(void) {
    {
        std::lock_guard guard(BufferLock);
        if (CbRegistered) return -1;
        CbRegistered = 1;
    }
    if (RegisterPktNotify(BufferCb) == 0) return 0;
    DS_ERROR("Failed to register callback\n");
    std::lock_guard guard(BufferLock);
    CbRegistered = 0;
    return -1;
}

int32_t UnregisterBufferCb(void) {
    if (UnregisterPktNotify(BufferCb) != 0) {
        DS_ERROR("Failed to unregister callback\n");
        return -1;
    }
    std::lock_guard guard(BufferLock);
    CbRegistered = 0;
    empty_window();
    return 0;
}

VirtualBuffer* CreateNewBuffer(int32_t size, int32_t overlap) {
    if (size <= 0 || size > kMaxBufferSize) {
        DS_ERROR("Cannot create virtual buffer of size %d\n", size);
        return nullptr;
    }
    auto* b = static_cast<VirtualBuffer*>(std::calloc(1, sizeof(VirtualBuffer)));
    if (!b) {
        DS_ERROR("Failed to create new virtual buffer\n");
        return nullptr;
    }
    b->index = take_slot(size);
    if (b->index < 0) {
        std::free(b);
        return nullptr;
    }
    std::lock_guard guard(BufferLock);
    b->size = size;
    b->overlap = overlap;
    uint32_t back = overlap ? static_cast<uint32_t>(std::min(size, CurrentSamples)) : 0;
    b->lastCounter = SampleCounter - back;
    return b;
}

void RemoveBuffer(VirtualBuffer* buffer) {
    if (!buffer) {
        DS_ERROR("Cannot remove a null virtual buffer\n");
        return;
    }
    free_slot(buffer->index);
    if (buffer->firstPkt) release_run(buffer->firstPkt, buffer->newestPkt);
    std::free(buffer);
}

int32_t GetBufferData(VirtualBuffer* buffer) {
    if (!buffer) {
        DS_ERROR("Cannot read a null virtual buffer\n");
        return -1;
    }
    DataPacket* old_first = buffer->firstPkt;
    DataPacket* old_newest = buffer->newestPkt;
    bool lost = false, ready;
    {
        std::lock_guard guard(BufferLock);
        ready = window_ready(buffer, &lost);
        if (ready) take_window(buffer);
    }
    // Logged with no lock held: a log handler may call into the store.
    if (lost) DS_ERROR("We don't have the data in the buffer but we have had before\n");
    if (!ready) return -1;
    release_old_window(old_first, old_newest, buffer->firstPkt);
    buffer->samples = buffer->size;
    return 0;
}

int32_t ExtractBuffData(uint8_t* dest, VirtualBuffer* buffer) {
    if (!dest || !buffer) {
        DS_ERROR("Cannot extract with a null destination or buffer\n");
        return -1;
    }
    if (buffer->pktCount == 0) {
        DS_ERROR("Warning: Extract buffer called with empty buffer\n");
        return -1;
    }
    const DataPacket* p = buffer->firstPkt;
    size_t head = static_cast<size_t>(p->size - buffer->offset);
    std::memcpy(dest, p->data + buffer->offset, head);
    dest += head;
    for (int32_t i = 1; i < buffer->pktCount; ++i) {
        p = load_next(p);
        std::memcpy(dest, p->data, static_cast<size_t>(p->size));
        dest += p->size;
    }
    return 0;
}

void ShowBufferInfo(void) {
    std::lock_guard guard(BufferLock);
    std::fprintf(stderr, "Current samples: %d\n", CurrentSamples);
    std::fprintf(stderr, "Max buff size:   %d\n", MaxBuffSize.load());
    if (!BufferSizeArrayInit) {
        DS_ERROR("No buffers registered\n");
        return;
    }
    std::fputs("Buffer sizes:\n", stderr);
    for (int32_t i = 0; i < kBufferSlots; ++i) {
        if (BufferSize[i] != -1) std::fprintf(stderr, "\t%02d = %d\n", i, BufferSize[i]);
    }
    if (OldestPkt) print_packet_brief("Oldest packet:\n", OldestPkt);
    if (NewestPkt) print_packet_brief("Newest packet:\n", NewestPkt);
}
