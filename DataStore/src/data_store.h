// Internal declarations of the packet store and the buffer service.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/log.h"
#include "dirov410.h"

namespace dirov {

// The list links and lock counts are written under the store's DataLock but
// followed by consumers without it, so every access goes through these.
inline DataPacket* LoadNext(const DataPacket* p) {
    return std::atomic_ref(const_cast<DataPacket*&>(p->next)).load(std::memory_order_acquire);
}
inline DataPacket* LoadLast(const DataPacket* p) {
    return std::atomic_ref(const_cast<DataPacket*&>(p->last)).load(std::memory_order_acquire);
}
inline int32_t LoadLock(const DataPacket* p) {
    return std::atomic_ref(const_cast<int32_t&>(p->lock)).load(std::memory_order_acquire);
}

// The buffer service's notification callback (registered by RegisterBufferCb).
void BufferCb(DataPacket* packet);

// Number of 20480-byte data blocks the store has allocated since loading.
uint64_t DataBlocksAllocated();

// Makes the store's next `records` record allocations and next `blocks` data
// block allocations fail, as if memory had run out.
void FailStoreAllocations(int records, int blocks);

}  // namespace dirov

// Error lines of the packet store: "[ERROR] file:line: ", the message, "\n".
#define DS_ERROR(...) \
    ::dirov::log_tagged(::dirov::kLogError, stderr, __FILE__, __LINE__, __VA_ARGS__)
