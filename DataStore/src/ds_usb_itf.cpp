// The capture thread: drains the board's stream pipe into packets of the
// store, publishing each packet one pass after it was filled, while the read
// into its successor is in flight.
#include "DataStore/src/ds_usb_itf.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "DataStore/src/data_store.h"
#include "DataStore/src/ds_log.h"
#include "platform/log.h"
#include "platform/platform.h"
#include "device/usb.h"

namespace dirov {
namespace {

constexpr uint32_t kReadLength = DIROV_PACKET_DATA_SIZE;
// The stopper gives the thread 10,000 polls of 10 us to see `stop` before it
// aborts the read in flight.
constexpr auto kStopGrace = std::chrono::microseconds(10) * 10000;
constexpr int kRequestedPriority = 15;

int32_t g_capture_events = 0;
std::mutex g_events_mu;
std::condition_variable g_events_cv;
// The error code the last capture thread ended with; 0 for a clean end.
std::atomic<uint32_t> g_end_error{0};
std::mutex g_status_mu;
std::condition_variable g_status_cv;
// The record of the capture thread running on this thread, and the handle
// it frees itself at its end once it has been stopped from its own callback.
thread_local CapThreadArgs* tl_capture = nullptr;
thread_local CapArgs* tl_free_at_exit = nullptr;

int32_t LoadField(int32_t& field) {
    return std::atomic_ref(field).load();
}

// The device record may be closed and reopened by another thread meanwhile.
WINUSB_INTERFACE_HANDLE DeviceHandle(const CapThreadArgs* args) {
    return std::atomic_ref(args->device->WinUsbHandle).load();
}

// Ends the read in flight on the thread's pipe: an abort, or, when the abort
// fails, the transport's own cancel, which cannot.
bool EndReadInFlight(CapThreadArgs* args) {
    if (usb_abort_pipe(DeviceHandle(args), args->pipeId)) return true;
    DIROV_LOG_E("Pipe abort failed (%lu): cancelling its transfers\n",
                static_cast<unsigned long>(last_error()));
    usb_cancel_pipe(DeviceHandle(args), args->pipeId);
    return false;
}

// The thread's last write to its record: the stopper may free it right after.
void StoreEndStatus(CapThreadArgs* args, int32_t status) {
    {
        std::lock_guard lk(g_status_mu);
        std::atomic_ref(args->status).store(status);
    }
    g_status_cv.notify_all();
    SignalCaptureEvent();
}

bool WaitThreadEnd(CapThreadArgs* args) {
    std::unique_lock lk(g_status_mu);
    return g_status_cv.wait_for(lk, kStopGrace, [&] { return LoadField(args->status) <= 0; });
}

// Counts of the current or last capture, read by dirov_get_capture_stats.
struct CaptureCounts {
    std::atomic<uint64_t> transfers{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> droppedTransfers{0};
    std::atomic<uint64_t> droppedBytes{0};
};
CaptureCounts g_counts;

void ResetCounts() {
    g_counts.transfers.store(0);
    g_counts.bytes.store(0);
    g_counts.droppedTransfers.store(0);
    g_counts.droppedBytes.store(0);
}

// A read goes into a packet of the store or, while the store holds its limit,
// into the thread's scratch block: the pipe is drained either way, and a
// transfer read into the scratch block is dropped and counted. A null packet
// below stands for the scratch block.
class CaptureLoop {
   public:
    explicit CaptureLoop(CapThreadArgs* args) : args_(args) {}
    ~CaptureLoop() { std::free(scratch_); }
    int32_t Run();
    void DropUnpublished();
    void ReportDrops() const;

   private:
    WINUSB_INTERFACE_HANDLE Handle() const { return DeviceHandle(args_); }
    bool Stopping() const { return LoadField(args_->stop) != 0; }
    bool Take(DataPacket** into);
    uint8_t* Buffer(DataPacket* p) const { return p ? p->data : scratch_; }
    void Complete(uint32_t length);
    void Deliver();
    int32_t WaitRead(uint32_t* length);
    void RetireRead();
    // Ends the capture with `error` as its code: never 0, so that a reader
    // can tell a failed capture from one that was stopped.
    static int32_t Fail(uint32_t error) {
        g_end_error.store(error ? error : kErrorGenFailure);
        return -1;
    }

    CapThreadArgs* args_;
    DataPacket* current_ = nullptr;  // the read in flight goes here
    DataPacket* spare_ = nullptr;    // for the next read
    DataPacket* filled_ = nullptr;   // read, to be delivered one pass later
    bool haveFilled_ = false;
    uint32_t filledLength_ = 0;
    uint8_t* scratch_ = nullptr;
    uint64_t offset_ = 0;  // stream offset of the next transfer
};

bool CaptureLoop::Take(DataPacket** into) {
    StoreShortage why;
    *into = MakeStorePacket(&why);
    if (*into) return true;
    if (why == StoreShortage::kLimit) {
        if (!scratch_) scratch_ = static_cast<uint8_t*>(std::malloc(kReadLength));
        if (scratch_) return true;
    }
    if (why == StoreShortage::kBlock) DIROV_LOG_E("Failed to create data space\n");
    DIROV_LOG_E("Failed to make new data packet\n");
    return false;
}

void CaptureLoop::Complete(uint32_t length) {
    if (current_) {
        // ShowPacketInfo may read it from another thread meanwhile.
        std::atomic_ref(current_->size).store(static_cast<int32_t>(length));
        SetStreamOffset(current_, static_cast<int64_t>(offset_));
    }
    offset_ += length;
    filled_ = current_;
    filledLength_ = length;
    haveFilled_ = true;
    current_ = spare_;
    spare_ = nullptr;
}

// Publishes the packet read last pass, or counts its drop. Nothing has been
// read since, so that transfer began at offset_ - filledLength_.
void CaptureLoop::Deliver() {
    haveFilled_ = false;
    g_counts.transfers.fetch_add(1);
    g_counts.bytes.fetch_add(filledLength_);
    if (filled_) {
        PublishDataPacket(filled_);
        filled_ = nullptr;
        return;
    }
    if (g_counts.droppedTransfers.fetch_add(1) == 0)
        DIROV_LOG_E("Store limit reached: dropping transfers from stream offset %llu\n",
                    static_cast<unsigned long long>(offset_ - filledLength_));
    g_counts.droppedBytes.fetch_add(filledLength_);
}

void CaptureLoop::ReportDrops() const {
    uint64_t n = g_counts.droppedTransfers.load();
    if (n == 0) return;
    DIROV_LOG_E("Dropped %llu transfers (%llu bytes) of %llu at the store limit\n",
                static_cast<unsigned long long>(n),
                static_cast<unsigned long long>(g_counts.droppedBytes.load()),
                static_cast<unsigned long long>(g_counts.transfers.load()));
}

// A read that failed may still own its buffer: cancel it and collect its end
// before the buffer can be given back.
void CaptureLoop::RetireRead() {
    EndReadInFlight(args_);
    uint32_t length = 0;
    while (!usb_get_overlapped_result(Handle(), args_->pipeId, &length, true) &&
           last_error() == kErrorIoIncomplete) {
    }
}

// 1 when the read in flight completed; otherwise the status to end with.
int32_t CaptureLoop::WaitRead(uint32_t* length) {
    while (!usb_get_overlapped_result(Handle(), args_->pipeId, length, true)) {
        uint32_t e = last_error();
        if (Stopping() && e == kErrorOperationAborted) {
            if (!usb_flush_pipe(Handle(), args_->pipeId))
                DIROV_LOG_E("Failed to flush pipe after abort\n");
            return 0;
        }
        if (e == kErrorIoIncomplete) continue;
        DIROV_LOG_E("ReadPipe Error: %lu\n", static_cast<unsigned long>(e));
        RetireRead();
        return Fail(e);
    }
    return 1;
}

int32_t CaptureLoop::Run() {
    if (!Take(&current_)) return Fail(kErrorNotEnoughMemory);
    if (Stopping()) return 0;
    for (;;) {
        uint32_t length = 0;
        bool done = usb_read_pipe_overlapped(Handle(), args_->pipeId, Buffer(current_), kReadLength,
                                             &length);
        uint32_t e = done ? kErrorSuccess : last_error();
        if (!done && e != kErrorIoPending) {
            DIROV_LOG_E("ReadPipe start Error: %lu\n", static_cast<unsigned long>(e));
            return Fail(e);
        }
        if (haveFilled_) Deliver();
        if (!Take(&spare_)) {
            if (!done) RetireRead();
            return Fail(kErrorNotEnoughMemory);
        }
        if (!done) {
            int32_t result = WaitRead(&length);
            if (result != 1) return result;
        }
        Complete(length);
        if (Stopping()) return 0;
    }
}

// Removes the packets this thread made and did not publish, with their data
// blocks: nothing else refers to them.
void CaptureLoop::DropUnpublished() {
    for (DataPacket* p : {filled_, current_, spare_}) {
        if (p && RemovePacket(p, 1) != 0) DIROV_LOG_E("Failed to remove unused package\n");
    }
    filled_ = current_ = spare_ = nullptr;
}

void RaiseOwnPriority() {
    raise_own_priority(kDataPathNice);
}

bool ConfigureAttr(pthread_attr_t* attr) {
    int r = pthread_attr_setschedpolicy(attr, SCHED_OTHER);
    if (r == 0) r = pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
    if (r != 0) {
        DIROV_LOG_E("Failed to set thread policy (%d)\n", r);
        return false;
    }
    sched_param param{};
    param.sched_priority = std::clamp(kRequestedPriority, sched_get_priority_min(SCHED_OTHER),
                                      sched_get_priority_max(SCHED_OTHER));
    if (pthread_attr_setschedparam(attr, &param) != 0) {
        DIROV_LOG_E("Failed to set thread priority\n");
        return false;
    }
    return true;
}

bool StartThread(CapArgs* handle) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        DIROV_LOG_E("Thread attr init failed\n");
        return false;
    }
    bool started = ConfigureAttr(&attr);
    if (started && pthread_create(&handle->thread, &attr, captureThread, handle->args) != 0) {
        DIROV_LOG_E("Thread creation failed\n");
        started = false;
    }
    if (pthread_attr_destroy(&attr) != 0 && started) DIROV_LOG_E("Thread attr destroy failed\n");
    return started;
}

}  // namespace

int32_t CaptureEventCount() {
    return std::atomic_ref(g_capture_events).load();
}

void SignalCaptureEvent() {
    {
        std::lock_guard lk(g_events_mu);
        std::atomic_ref(g_capture_events).fetch_add(1);
    }
    g_events_cv.notify_all();
}

void WaitCaptureEvent(int32_t seen) {
    std::unique_lock lk(g_events_mu);
    g_events_cv.wait(lk, [&] { return CaptureEventCount() != seen; });
}

bool WaitCaptureEventFor(int32_t seen, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lk(g_events_mu);
    return g_events_cv.wait_until(lk, deadline, [&] { return CaptureEventCount() != seen; });
}

uint32_t CaptureEndError() {
    return g_end_error.load();
}

CapThreadArgs* CurrentCapture() {
    return tl_capture;
}

void RequestCaptureStop(CapThreadArgs* args) {
    std::atomic_ref(args->stop).store(1);
    EndReadInFlight(args);
    std::atomic_ref(args->stop).store(2);
}

}  // namespace dirov

using namespace dirov;

extern "C" {

DIROV_API CapArgs* CreateCaptureThread(DEVICE_DATA* device, uint8_t pipeId) {
    if (!device) {
        DIROV_LOG_E("No device record for the capture thread\n");
        return nullptr;
    }
    auto* handle = static_cast<CapArgs*>(std::malloc(sizeof(CapArgs)));
    if (!handle) {
        DIROV_LOG_E("Failed to make space for capture args\n");
        return nullptr;
    }
    auto* args = static_cast<CapThreadArgs*>(std::malloc(sizeof(CapThreadArgs)));
    if (!args) {
        DIROV_LOG_E("Failed to make space for capture thread args\n");
        std::free(handle);
        return nullptr;
    }
    *args = CapThreadArgs{device, pipeId, 0, 1};
    handle->args = args;
    g_end_error.store(0);
    if (!StartThread(handle)) {
        std::free(args);
        std::free(handle);
        return nullptr;
    }
    return handle;
}

DIROV_API void* captureThread(void* arg) {
    auto* args = static_cast<CapThreadArgs*>(arg);
    std::atomic_ref(args->status).store(1);
    tl_capture = args;
    RaiseOwnPriority();
    ResetCounts();
    BeginProducing();
    int32_t status;
    {
        CaptureLoop loop(args);
        status = loop.Run();
        loop.DropUnpublished();
        loop.ReportDrops();
    }
    EndProducing();
    StoreEndStatus(args, status);
    tl_capture = nullptr;
    if (CapArgs* own = std::exchange(tl_free_at_exit, nullptr)) {
        std::free(own->args);
        std::free(own);
    }
    return args;
}

DIROV_API int32_t StopCaptureThread(CapArgs* handle) {
    if (!handle || !handle->args) return -1;
    CapThreadArgs* args = handle->args;
    if (CurrentCapture() == args) {
        // Stopped from its own callback: the thread cannot join itself, so it
        // ends once the callback returns and frees its records then.
        DS_INFO("Stopping capture thread");
        RequestCaptureStop(args);
        tl_free_at_exit = handle;
        pthread_detach(handle->thread);
        return 0;
    }
    // A running thread may need the registration lock a callback holds.
    if (InPublication() && LoadField(args->status) > 0) {
        DIROV_LOG_E("A packet callback cannot join a running capture thread\n");
        return -1;
    }
    DS_INFO("Stopping capture thread");
    std::atomic_ref(args->stop).store(1);
    bool ended = WaitThreadEnd(args);
    DS_INFO("Capture thread stopped");
    if (!ended) {
        DS_INFO("Aborting Pipe");
        bool aborted = EndReadInFlight(args);
        std::atomic_ref(args->stop).store(2);
        // A read the abort did not reach is cancelled below the abort.
        if (aborted && !WaitThreadEnd(args)) usb_cancel_pipe(DeviceHandle(args), args->pipeId);
    }
    DS_INFO("Calling join on the capture thread");
    pthread_join(handle->thread, nullptr);
    int32_t status = LoadField(args->status);
    std::free(args);
    std::free(handle);
    DS_INFO("Stopping finished");
    return status;
}

DIROV_API int32_t dirov_get_capture_stats(dirov_capture_stats* out) {
    if (!out) return -1;
    out->transfers = g_counts.transfers.load();
    out->bytes = g_counts.bytes.load();
    out->dropped_transfers = g_counts.droppedTransfers.load();
    out->dropped_bytes = g_counts.droppedBytes.load();
    out->store_bytes = StoreBytes();
    out->store_peak_bytes = StorePeakBytes();
    return 0;
}

}  // extern "C"
