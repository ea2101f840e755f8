// The packets published to one consumer and not yet dealt with, in
// publication order, each holding the lock its publication took for that
// consumer. The application's reader (GetNextPacket) and the save thread
// each follow a queue of their own rather than the store's list, which also
// holds packets not published to them (the capture's read-ahead, other
// publishers). The queue keeps the consumer's count of pending packets under
// its lock; pollers read the count without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>

#include "dirov410.h"

namespace dirov {

class PacketQueue {
   public:
    explicit PacketQueue(int32_t& pending) : pending_(pending) {}
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Appends a packet just published; the pending count after it.
    int32_t push(DataPacket* p) {
        std::lock_guard lk(mu_);
        packets_.push_back(p);
        return add(1);
    }

    // Takes the oldest packet out; null when none is queued. With `done`
    // false it stays counted as pending until finish().
    DataPacket* pop(bool done = true) {
        std::lock_guard lk(mu_);
        if (packets_.empty()) return nullptr;
        DataPacket* p = packets_.front();
        packets_.pop_front();
        if (done) add(-1);
        return p;
    }

    // The packet taken last with pop(false) is dealt with.
    void finish() {
        std::lock_guard lk(mu_);
        add(-1);
    }

    // Takes every queued packet out; their locks go to the caller.
    std::deque<DataPacket*> take_all() {
        std::lock_guard lk(mu_);
        std::deque<DataPacket*> all;
        all.swap(packets_);
        add(-static_cast<int32_t>(all.size()));
        return all;
    }

    int32_t pending() const { return std::atomic_ref(pending_).load(); }

   private:
    int32_t add(int32_t delta) { return std::atomic_ref(pending_).fetch_add(delta) + delta; }

    std::mutex mu_;
    std::deque<DataPacket*> packets_;
    int32_t& pending_;
};

}  // namespace dirov
