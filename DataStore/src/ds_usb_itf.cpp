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
#include "device/usb.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace dirov {
namespace {

constexpr uint32_t kReadLength = DIROV_PACKET_DATA_SIZE;
// The stopper gives the thread 10,000 polls of 10 us to see `stop` before it
// aborts the read in flight.
constexpr auto kStopGrace = std::chrono::microseconds(10) * 10000;
constexpr int kRequestedPriority = 15;

int32_t capture_events = 0;
std::mutex events_mu;
// Never destroyed: a thread stopped from its own callback may still signal them at exit.
std::condition_variable& events_cv = *new std::condition_variable;
// The error code the last capture thread ended with; 0 for a clean end.
std::atomic<uint32_t> end_error{0};
std::mutex status_mu;
std::condition_variable& status_cv = *new std::condition_variable;
// The record of the capture thread running on this thread, and the handle
// it frees itself at its end once it has been stopped from its own callback.
thread_local CapThreadArgs* this_thread_capture = nullptr;
thread_local CapArgs* free_at_exit = nullptr;

int32_t load_field(int32_t& field) {
    return std::atomic_ref(field).load();
}

// The device record may be closed and reopened by another thread meanwhile.
WINUSB_INTERFACE_HANDLE device_handle_of(const CapThreadArgs* args) {
    return std::atomic_ref(args->device->WinUsbHandle).load();
}

// Ends the read in flight on the thread's pipe: an abort, or, when the abort
// fails, the transport's own cancel, which cannot.
bool end_read_in_flight(CapThreadArgs* args) {
    if (usb_abort_pipe(device_handle_of(args), args->pipeId)) return true;
    DIROV_LOG_E("Pipe abort failed (%lu): cancelling its transfers\n",
                static_cast<unsigned long>(last_error()));
    usb_cancel_pipe(device_handle_of(args), args->pipeId);
    return false;
}

// The thread's last write to its record: the stopper may free it right after.
void store_end_status(CapThreadArgs* args, int32_t status) {
    {
        std::lock_guard lk(status_mu);
        std::atomic_ref(args->status).store(status);
    }
    status_cv.notify_all();
    signal_capture_event();
}

bool wait_thread_end(CapThreadArgs* args) {
    std::unique_lock lk(status_mu);
    return status_cv.wait_for(lk, kStopGrace, [&] { return load_field(args->status) <= 0; });
}

// Counts of the current or last capture, read by dirov_get_capture_stats.
struct CaptureCounts {
    std::atomic<uint64_t> transfers{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> dropped_transfers{0};
    std::atomic<uint64_t> dropped_bytes{0};
};
CaptureCounts capture_counts;

void reset_counts() {
    capture_counts.transfers.store(0);
    capture_counts.bytes.store(0);
    capture_counts.dropped_transfers.store(0);
    capture_counts.dropped_bytes.store(0);
}

// A read goes into a packet of the store or, while the store holds its limit,
// into the thread's scratch block: the pipe is drained either way, and a
// transfer read into the scratch block is dropped and counted. A null packet
// below stands for the scratch block.
class CaptureLoop {
   public:
    explicit CaptureLoop(CapThreadArgs* args) : args_(args) {}
    ~CaptureLoop() { std::free(scratch_); }
    int32_t run_capture();
    void drop_unpublished();
    void report_drops() const;

   private:
    WINUSB_INTERFACE_HANDLE usb_handle() const { return device_handle_of(args_); }
    bool stop_wanted() const { return load_field(args_->stop) != 0; }
    bool Take(DataPacket** into);
    uint8_t* buffer_for(DataPacket* p) const { return p ? p->data : scratch_; }
    void complete_transfer(uint32_t length);
    void deliver();
    int32_t wait_read(uint32_t* length);
    void retire_read();
    // Ends the capture with `error` as its code: never 0, so that a reader
    // can tell a failed capture from one that was stopped.
    static int32_t fail_capture(uint32_t error) {
        end_error.store(error ? error : kErrorGenFailure);
        return -1;
    }

    CapThreadArgs* args_;
    DataPacket* current_ = nullptr;  // the read in flight goes here
    DataPacket* spare_ = nullptr;    // for the next read
    DataPacket* filled_ = nullptr;   // read, to be delivered one pass later
    bool have_filled_ = false;
    uint32_t filled_length_ = 0;
    uint8_t* scratch_ = nullptr;
    uint64_t offset_ = 0;  // stream offset of the next transfer
};

bool CaptureLoop::Take(DataPacket** into) {
    StoreShortage why;
    *into = make_store_packet(&why);
    if (*into) return true;
    if (why == StoreShortage::kLimit) {
        if (!scratch_) scratch_ = static_cast<uint8_t*>(std::malloc(kReadLength));
        if (scratch_) return true;
    }
    if (why == StoreShortage::kBlock) DIROV_LOG_E("Failed to create data space\n");
    DIROV_LOG_E("Failed to make new data packet\n");
    return false;
}

void CaptureLoop::complete_transfer(uint32_t length) {
    if (current_) {
        // ShowPacketInfo may read it from another thread meanwhile.
        std::atomic_ref(current_->size).store(static_cast<int32_t>(length));
        set_stream_offset(current_, static_cast<int64_t>(offset_));
    }
    offset_ += length;
    filled_ = current_;
    filled_length_ = length;
    have_filled_ = true;
    current_ = spare_;
    spare_ = nullptr;
}

// Publishes the packet read last pass, or counts its drop. Nothing has been
// read since, so that transfer began at offset_ - filled_length_.
void CaptureLoop::deliver() {
    have_filled_ = false;
    capture_counts.transfers.fetch_add(1);
    capture_counts.bytes.fetch_add(filled_length_);
    if (filled_) {
        PublishDataPacket(filled_);
        filled_ = nullptr;
        return;
    }
    if (capture_counts.dropped_transfers.fetch_add(1) == 0)
        DIROV_LOG_E("Store limit reached: dropping transfers from stream offset %llu\n",
                    static_cast<unsigned long long>(offset_ - filled_length_));
    capture_counts.dropped_bytes.fetch_add(filled_length_);
}

void CaptureLoop::report_drops() const {
    uint64_t n = capture_counts.dropped_transfers.load();
    if (n == 0) return;
    DIROV_LOG_E("Dropped %llu transfers (%llu bytes) of %llu at the store limit\n",
                static_cast<unsigned long long>(n),
                static_cast<unsigned long long>(capture_counts.dropped_bytes.load()),
                static_cast<unsigned long long>(capture_counts.transfers.load()));
}

// A read that failed may still own its buffer: cancel it and collect its end
// before the buffer can be given back.
void CaptureLoop::retire_read() {
    end_read_in_flight(args_);
    uint32_t length = 0;
    while (!usb_get_overlapped_result(usb_handle(), args_->pipeId, &length, true) &&
           last_error() == kErrorIoIncomplete) {
    }
}

// 1 when the read in flight completed; otherwise the status to end with.
int32_t CaptureLoop::wait_read(uint32_t* length) {
    while (!usb_get_overlapped_result(usb_handle(), args_->pipeId, length, true)) {
        uint32_t e = last_error();
        if (stop_wanted() && e == kErrorOperationAborted) {
            if (!usb_flush_pipe(usb_handle(), args_->pipeId))
                DIROV_LOG_E("Failed to flush pipe after abort\n");
            return 0;
        }
        if (e == kErrorIoIncomplete) continue;
        DIROV_LOG_E("ReadPipe Error: %lu\n", static_cast<unsigned long>(e));
        retire_read();
        return fail_capture(e);
    }
    return 1;
}

int32_t CaptureLoop::run_capture() {
    if (!Take(&current_)) return fail_capture(kErrorNotEnoughMemory);
    if (stop_wanted()) return 0;
    for (;;) {
        uint32_t length = 0;
        bool done = usb_read_pipe_overlapped(usb_handle(), args_->pipeId, buffer_for(current_),
                                             kReadLength, &length);
        uint32_t e = done ? kErrorSuccess : last_error();
        if (!done && e != kErrorIoPending) {
            DIROV_LOG_E("ReadPipe start Error: %lu\n", static_cast<unsigned long>(e));
            return fail_capture(e);
        }
        if (have_filled_) deliver();
        if (!Take(&spare_)) {
            if (!done) retire_read();
            return fail_capture(kErrorNotEnoughMemory);
        }
        if (!done) {
            int32_t result = wait_read(&length);
            if (result != 1) return result;
        }
        complete_transfer(length);
        if (stop_wanted()) return 0;
    }
}

// Removes the packets this thread made and did not publish, with their data
// blocks: nothing else refers to them.
void CaptureLoop::drop_unpublished() {
    for (DataPacket* p : {filled_, current_, spare_}) {
        if (p && RemovePacket(p, 1) != 0) DIROV_LOG_E("Failed to remove unused package\n");
    }
    filled_ = current_ = spare_ = nullptr;
}

void raise_capture_priority() {
    raise_own_priority(kDataPathNice);
}

bool configure_attr(pthread_attr_t* attr) {
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

bool start_thread(CapArgs* handle) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        DIROV_LOG_E("Thread attr init failed\n");
        return false;
    }
    bool started = configure_attr(&attr);
    if (started && pthread_create(&handle->thread, &attr, captureThread, handle->args) != 0) {
        DIROV_LOG_E("Thread creation failed\n");
        started = false;
    }
    if (pthread_attr_destroy(&attr) != 0 && started) DIROV_LOG_E("Thread attr destroy failed\n");
    return started;
}

}  // namespace

int32_t capture_event_count() {
    return std::atomic_ref(capture_events).load();
}

void signal_capture_event() {
    {
        std::lock_guard lk(events_mu);
        std::atomic_ref(capture_events).fetch_add(1);
    }
    events_cv.notify_all();
}

void wait_capture_event(int32_t seen) {
    std::unique_lock lk(events_mu);
    events_cv.wait(lk, [&] { return capture_event_count() != seen; });
}

bool wait_capture_event_for(int32_t seen, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lk(events_mu);
    return events_cv.wait_until(lk, deadline, [&] { return capture_event_count() != seen; });
}

uint32_t capture_end_error() {
    return end_error.load();
}

CapThreadArgs* current_capture() {
    return this_thread_capture;
}

void request_capture_thread_stop(CapThreadArgs* args) {
    std::atomic_ref(args->stop).store(1);
    end_read_in_flight(args);
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
    end_error.store(0);
    if (!start_thread(handle)) {
        std::free(args);
        std::free(handle);
        return nullptr;
    }
    return handle;
}

DIROV_API void* captureThread(void* arg) {
    auto* args = static_cast<CapThreadArgs*>(arg);
    std::atomic_ref(args->status).store(1);
    this_thread_capture = args;
    raise_capture_priority();
    reset_counts();
    begin_producing();
    int32_t status;
    {
        CaptureLoop loop(args);
        status = loop.run_capture();
        loop.drop_unpublished();
        loop.report_drops();
    }
    end_producing();
    store_end_status(args, status);
    this_thread_capture = nullptr;
    if (CapArgs* own = std::exchange(free_at_exit, nullptr)) {
        std::free(own->args);
        std::free(own);
    }
    return args;
}

DIROV_API int32_t StopCaptureThread(CapArgs* handle) {
    if (!handle || !handle->args) return -1;
    CapThreadArgs* args = handle->args;
    if (current_capture() == args) {
        // Stopped from its own callback: the thread cannot join itself, so it
        // ends once the callback returns and frees its records then.
        DS_INFO("Stopping capture thread");
        request_capture_thread_stop(args);
        free_at_exit = handle;
        pthread_detach(handle->thread);
        return 0;
    }
    // A running thread may need the registration lock a callback holds.
    if (in_publication() && load_field(args->status) > 0) {
        DIROV_LOG_E("A packet callback cannot join a running capture thread\n");
        return -1;
    }
    DS_INFO("Stopping capture thread");
    std::atomic_ref(args->stop).store(1);
    bool ended = wait_thread_end(args);
    DS_INFO("Capture thread stopped");
    if (!ended) {
        DS_INFO("Aborting Pipe");
        bool aborted = end_read_in_flight(args);
        std::atomic_ref(args->stop).store(2);
        // A read the abort did not reach is cancelled below the abort.
        if (aborted && !wait_thread_end(args))
            usb_cancel_pipe(device_handle_of(args), args->pipeId);
    }
    DS_INFO("Calling join on the capture thread");
    pthread_join(handle->thread, nullptr);
    int32_t status = load_field(args->status);
    std::free(args);
    std::free(handle);
    DS_INFO("Stopping finished");
    return status;
}

DIROV_API int32_t dirov_get_capture_stats(dirov_capture_stats* out) {
    if (!out) return -1;
    out->transfers = capture_counts.transfers.load();
    out->bytes = capture_counts.bytes.load();
    out->dropped_transfers = capture_counts.dropped_transfers.load();
    out->dropped_bytes = capture_counts.dropped_bytes.load();
    out->store_bytes = store_bytes();
    out->store_peak_bytes = store_peak_bytes();
    return 0;
}

}  // extern "C"
