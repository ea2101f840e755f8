// The capture and save workers: one capture thread and one save thread at a
// time, and the in-order reader an application walks with GetNextPacket.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <utility>

#include "DataStore/src/data_store.h"
#include "DataStore/src/ds_usb_itf.h"
#include "DataStore/src/packet_queue.h"
#include "device/usb.h"
#include "dirov410.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace {

CapArgs* pCapArgs = nullptr;
SaveArgs* pSaveArgs = nullptr;
int32_t NewPktCbRegistered = 0;
DataPacket* CurPacket = nullptr;
int32_t PendingPackets = 0;
int32_t MaxPending = 0;
// The packets published to the reader and not yet returned.
dirov::PacketQueue reader_queue{PendingPackets};
// The packet returned last, whose lock the reader keeps (under reader_lock).
DataPacket* returned_packet = nullptr;

// Each worker slot is guarded by a mutex held only for short steps, never
// across a join: a packet callback may take it on the capture thread. A
// party that starts or stops a worker outside the mutex marks the slot busy,
// so exactly one party joins and frees a thread.
struct WorkerSlot {
    std::mutex mu;
    std::condition_variable idle;
    bool busy = false;
};
WorkerSlot capture_slot;
WorkerSlot save_slot;
// Serialises the reader's steps with the reset at a start.
std::mutex reader_lock;

DataPacket* reader_cursor() {
    return std::atomic_ref(CurPacket).load();
}
void set_reader_cursor(DataPacket* p) {
    std::atomic_ref(CurPacket).store(p);
}
int32_t pending_count() {
    return reader_queue.pending();
}

void note_pending(int32_t now) {
    std::atomic_ref max(MaxPending);
    int32_t seen = max.load();
    while (now > seen && !max.compare_exchange_weak(seen, now)) continue;
}

// The packets counted for the reader and not handed out: once the capture
// stops nobody reads them, so their locks go at once and the store can give
// their blocks back. The packet returned last stays held.
void release_pending() {
    std::lock_guard lk(reader_lock);
    for (DataPacket* p : reader_queue.take_all()) DecPktLock(p);
    set_reader_cursor(returned_packet);
    dirov::give_back_idle_blocks();
}

// The reader's locks left from the last capture go at the next start, not
// at the stop, since the application may still read the packet it holds.
void reset_reader() {
    std::lock_guard lk(reader_lock);
    for (DataPacket* p : reader_queue.take_all()) DecPktLock(p);
    DecPktLock(std::exchange(returned_packet, nullptr));
    set_reader_cursor(nullptr);
    std::atomic_ref(MaxPending).store(0);
}

int32_t stop_requested(const CapArgs* h) {
    return std::atomic_ref(h->args->stop).load();
}

// The slot's party is done: the worker is gone (or was never made).
template <typename Args>
void release_slot(WorkerSlot& slot, Args*& worker, Args* now) {
    {
        std::lock_guard lk(slot.mu);
        worker = now;
        slot.busy = false;
    }
    slot.idle.notify_all();
    dirov::signal_capture_event();
}

// Claims the worker for a stop, waiting for another party's start or stop
// to finish; null when there is no worker.
template <typename Args>
Args* claim_for_stop(WorkerSlot& slot, Args*& worker) {
    std::unique_lock lk(slot.mu);
    slot.idle.wait(lk, [&] { return !slot.busy; });
    slot.busy = worker != nullptr;
    return worker;
}

// Joins a capture thread asked to stop from a callback, which no other party
// has joined yet; false when the slot holds a worker still running.
bool reap_stopped_capture(std::unique_lock<std::mutex>& lk) {
    if (!pCapArgs || stop_requested(pCapArgs) == 0) return !pCapArgs;
    CapArgs* h = pCapArgs;
    capture_slot.busy = true;
    lk.unlock();
    StopCaptureThread(h);
    lk.lock();
    pCapArgs = nullptr;
    capture_slot.busy = false;
    capture_slot.idle.notify_all();
    return true;
}

bool claim_for_start() {
    std::unique_lock lk(capture_slot.mu);
    if (capture_slot.busy || !reap_stopped_capture(lk)) return false;
    capture_slot.busy = true;
    return true;
}

void unregister_reader() {
    std::atomic_ref registered(NewPktCbRegistered);
    if (registered.exchange(0) <= 0) return;
    if (UnregisterPktNotify(NewPktCb) == -1) {
        DIROV_LOG_E("Failed to unregister callback\n");
        registered.store(1);
    }
}

bool register_reader() {
    std::atomic_ref registered(NewPktCbRegistered);
    if (registered.load() != 0) return true;
    if (RegisterPktNotify(NewPktCb) == -1) {
        DIROV_LOG_E("Failed to register callback\n");
        return false;
    }
    registered.store(1);
    return true;
}

// From a packet callback the capture thread cannot be joined (the callback
// holds the registration lock it needs): ask it to stop and let the next
// party that finds it ended (a Start, a Stop, GetNextPacket) join it.
int32_t request_capture_stop() {
    std::lock_guard lk(capture_slot.mu);
    if (!pCapArgs) return -1;
    if (!capture_slot.busy) dirov::request_capture_thread_stop(pCapArgs->args);
    return 0;
}

// Joins a capture thread that has ended; false while it runs or another
// party is starting or stopping it.
enum class CaptureState { kRunning, kEnded, kNone };

CaptureState reap_if_ended() {
    std::unique_lock lk(capture_slot.mu);
    if (capture_slot.busy) return CaptureState::kRunning;
    if (!pCapArgs) return CaptureState::kNone;
    if (std::atomic_ref(pCapArgs->args->status).load() > 0) return CaptureState::kRunning;
    CapArgs* h = pCapArgs;
    capture_slot.busy = true;
    lk.unlock();
    if (stop_requested(h) == 0) DIROV_LOG_E("The capture thread has given up\n");
    StopCaptureThread(h);
    release_slot(capture_slot, pCapArgs, static_cast<CapArgs*>(nullptr));
    return CaptureState::kEnded;
}

// From a packet callback nothing may wait: another party's stop may need
// the callback to end. The save thread then ends by itself.
SaveArgs* take_save_worker() {
    std::lock_guard lk(save_slot.mu);
    return save_slot.busy ? nullptr : std::exchange(pSaveArgs, nullptr);
}

// Why the reader got no packet: the failed capture's code, or 259 when the
// capture was stopped (or none ran).
void set_end_error() {
    uint32_t e = dirov::capture_end_error();
    dirov::set_last_error(e ? e : dirov::kErrorNoMoreItems);
}

// Waits without spinning for a pending packet, up to `deadline` (null: without
// bound); false, with the reason in the last-error code, when the capture
// has ended (or never ran) and nothing is pending, or the time ran out.
bool wait_for_packet(const std::chrono::steady_clock::time_point* deadline) {
    for (;;) {
        int32_t seen = dirov::capture_event_count();
        if (pending_count() != 0) return true;
        if (reap_if_ended() != CaptureState::kRunning) {
            set_end_error();
            return false;
        }
        if (dirov::in_publication()) {
            DIROV_LOG_E("GetNextPacket cannot wait in a packet callback\n");
            dirov::set_last_error(dirov::kErrorNotSupported);
            return false;
        }
        if (!deadline) {
            dirov::wait_capture_event(seen);
        } else if (!dirov::wait_capture_event_for(seen, *deadline)) {
            if (pending_count() != 0) return true;
            dirov::set_last_error(dirov::kErrorSemTimeout);
            return false;
        }
    }
}

}  // namespace

extern "C" {

DIROV_API void NewPktCb(DataPacket* packet) {
    note_pending(reader_queue.push(packet));
    if (!reader_cursor()) set_reader_cursor(packet);
    dirov::signal_capture_event();
}

DIROV_API int32_t _StartCaptureWorker(int32_t registerCb) {
    if (dirov::in_publication()) {
        DIROV_LOG_E("A packet callback cannot start capture\n");
        return -1;
    }
    if (!claim_for_start()) {
        DIROV_LOG_E("Capture thread still running\n");
        return -1;
    }
    reset_reader();
    // A capture that ended by itself leaves the reader registered; a start
    // without it must not count packets nobody will read.
    if (registerCb == 0) unregister_reader();
    if (registerCb != 0 && !register_reader()) {
        release_slot(capture_slot, pCapArgs, static_cast<CapArgs*>(nullptr));
        return -1;
    }
    CapArgs* h = CreateCaptureThread(&DeviceData, dirov::kPipeStreamIn);
    if (!h) DIROV_LOG_E("Failed to create capture thread\n");
    release_slot(capture_slot, pCapArgs, h);
    return h ? 0 : -1;
}

DIROV_API int32_t StartCaptureWorker(void) {
    return _StartCaptureWorker(1);
}

DIROV_API int32_t StartCaptureWorkerNoRegister(void) {
    return _StartCaptureWorker(0);
}

DIROV_API int32_t StopCaptureWorker(void) {
    if (dirov::in_publication()) return request_capture_stop();
    unregister_reader();
    CapArgs* h = claim_for_stop(capture_slot, pCapArgs);
    if (!h) return -1;
    int32_t status = StopCaptureThread(h);
    if (status < 0) dirov::set_last_error(dirov::capture_end_error());
    release_pending();
    release_slot(capture_slot, pCapArgs, static_cast<CapArgs*>(nullptr));
    return status;
}

DIROV_API DataPacket* GetNextPacket(void) {
    return dirov_get_next_packet(0);
}

DIROV_API DataPacket* dirov_get_next_packet(uint32_t timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!wait_for_packet(timeout_ms ? &deadline : nullptr)) return nullptr;
        std::lock_guard lk(reader_lock);
        DataPacket* packet = reader_queue.pop();
        if (!packet) continue;  // a start or stop emptied the queue meanwhile
        set_reader_cursor(packet);
        DecPktLock(std::exchange(returned_packet, packet));
        return packet;
    }
}

DIROV_API int32_t GetPendingCnt(void) {
    return pending_count();
}

DIROV_API DataPacket* GetCurPacket(void) {
    return reader_cursor();
}

DIROV_API void ShowBufStatus(int32_t verbose) {
    std::printf("Max pending level: %d\n", std::atomic_ref(MaxPending).load());
    std::fputs("-------------------------------------------\n", stderr);
    ShowPacketInfo(verbose);
}

DIROV_API int32_t StartSaveWorker(const char* fileName, int32_t byteLimit) {
    {
        std::lock_guard lk(save_slot.mu);
        if (pSaveArgs || save_slot.busy) {
            DIROV_LOG_E("Last save thread not closed\n");
            return -1;
        }
        save_slot.busy = true;
    }
    SaveArgs* h = CreateSaveThread(fileName, byteLimit);
    release_slot(save_slot, pSaveArgs, h);
    if (!h) {
        DIROV_LOG_E("Failed to create save thread\n");
        return -1;
    }
    DIROV_LOG_NOTE("Started save thread\n");
    return 0;
}

DIROV_API int32_t StopSaveWorker(int32_t force) {
    DIROV_LOG_NOTE("Stopping save thread\n");
    bool in_callback = dirov::in_publication();
    SaveArgs* h = in_callback ? take_save_worker() : claim_for_stop(save_slot, pSaveArgs);
    int32_t status = StopSaveThread(h, force);  // -1 when there is no worker
    if (h && !in_callback) release_slot(save_slot, pSaveArgs, static_cast<SaveArgs*>(nullptr));
    DIROV_LOG_NOTE("Thread gone\n");
    return status;
}

DIROV_API int32_t SaveWorkerRunning(void) {
    std::lock_guard lk(save_slot.mu);
    if (!pSaveArgs) return -1;
    // Being stopped by another party, which may free its records any time.
    if (save_slot.busy) return 0;
    return SaveThreadRunning(pSaveArgs);
}

}  // extern "C"
