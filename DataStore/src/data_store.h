// Internal declarations of the packet store and the buffer service.
#pragma once

#include <atomic>
#include <cstdint>

#include "dirov410.h"
#include "platform/log.h"

namespace dirov {

// The list links and lock counts are written under the store's DataLock but
// followed by consumers without it, so every access goes through these.
inline DataPacket* load_next(const DataPacket* p) {
    return std::atomic_ref(const_cast<DataPacket*&>(p->next)).load(std::memory_order_acquire);
}
inline DataPacket* load_last(const DataPacket* p) {
    return std::atomic_ref(const_cast<DataPacket*&>(p->last)).load(std::memory_order_acquire);
}
inline int32_t load_lock(const DataPacket* p) {
    return std::atomic_ref(const_cast<int32_t&>(p->lock)).load(std::memory_order_acquire);
}

// The capture thread stores a packet's size while other threads may print it.
inline int32_t load_size(const DataPacket* p) {
    return std::atomic_ref(const_cast<int32_t&>(p->size)).load(std::memory_order_relaxed);
}

// True while this thread runs packet notification callbacks: it holds the
// registration lock, so it must not wait for anything that needs it.
bool in_publication();

// The buffer service's notification callback (registered by RegisterBufferCb).
void BufferCb(DataPacket* packet);

// Number of 20480-byte data blocks the store has allocated since loading.
uint64_t data_blocks_allocated();

// Linux takes no priority but 0 for SCHED_OTHER: the capture thread asks for
// a lower nice value instead, which only a privileged process is granted. The
// save thread asks for the same: a saver the capture outruns makes the store
// grow, and fresh blocks cost the capture more time still.
constexpr int kDataPathNice = -10;

// Why make_store_packet made no packet.
enum class StoreShortage { kNone, kRecord, kBlock, kLimit };

// InitDataPacket without its messages: a packet with a store block, or null
// and the reason (kLimit: the store holds its limit of block bytes and no
// free packet has a block to hand on).
DataPacket* make_store_packet(StoreShortage* why);

// The stream offset of a packet's first byte, kept beside the packet; set by
// the capture thread before it publishes.
void set_stream_offset(DataPacket* p, int64_t offset);

// Bytes in the store's data blocks now, and their peak since begin_producing.
uint64_t store_bytes();
uint64_t store_peak_bytes();

// A capture thread starts and ends producing. While none produces, free
// blocks beyond a small reserve go back to the system, at the end of the last
// producer and as packets become free.
void begin_producing();
void end_producing();
// While none produces: frees the blocks of free packets beyond the reserve
// and hands the heap pages back (after a consumer let go of many packets).
void give_back_idle_blocks();

// Makes the store's next `records` record allocations and next `blocks` data
// block allocations fail, as if memory had run out.
void fail_store_allocations(int records, int blocks);

}  // namespace dirov

// Error lines of the packet store: "[ERROR] file:line: ", the message, "\n".
#define DS_ERROR(...) \
    ::dirov::log_tagged(::dirov::kLogError, stderr, __FILE__, __LINE__, __VA_ARGS__)
