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

#include "DataStore/src/data_store.h"
#include "DataStore/src/ds_log.h"
#include "device/platform.h"
#include "device/usb.h"

namespace dirov {
namespace {

constexpr uint32_t kReadLength = DIROV_PACKET_DATA_SIZE;
// The stopper gives the thread 10,000 polls of 10 us to see `stop` before it
// aborts the read in flight.
constexpr auto kStopGrace = std::chrono::microseconds(10) * 10000;
constexpr int kRequestedPriority = 15;
// Linux takes no priority but 0 for SCHED_OTHER; the thread asks for a lower
// nice value instead, which only a privileged process is granted.
constexpr int kCaptureNice = -10;

int32_t g_capture_events = 0;
std::mutex g_status_mu;
std::condition_variable g_status_cv;

int32_t LoadField(int32_t& field) {
    return std::atomic_ref(field).load();
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

class CaptureLoop {
   public:
    explicit CaptureLoop(CapThreadArgs* args) : args_(args) {}
    int32_t Run();
    void DropUnpublished();

   private:
    WINUSB_INTERFACE_HANDLE Handle() const { return args_->device->WinUsbHandle; }
    bool Stopping() const { return LoadField(args_->stop) != 0; }
    DataPacket* Make();
    void Publish(DataPacket* packet);
    int32_t WaitRead(uint32_t* length);
    void RetireRead();

    CapThreadArgs* args_;
    DataPacket* newest_ = nullptr;  // the newest packet this thread made
    int unpublished_ = 0;           // packets made and not published, back from newest_
};

DataPacket* CaptureLoop::Make() {
    DataPacket* packet = InitDataPacket();
    if (!packet) {
        std::fputs("Failed to make new data packet\n", stderr);
        return nullptr;
    }
    newest_ = packet;
    ++unpublished_;
    return packet;
}

void CaptureLoop::Publish(DataPacket* packet) {
    PublishDataPacket(packet);
    --unpublished_;
}

// A read that failed may still own its packet's data block: cancel it and
// collect its end before the block can be given back.
void CaptureLoop::RetireRead() {
    usb_abort_pipe(Handle(), args_->pipeId);
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
                std::fputs("Failed to flush pipe after abort\n", stderr);
            return 0;
        }
        if (e == kErrorIoIncomplete) continue;
        std::fprintf(stderr, "ReadPipe Error: %lu\n", static_cast<unsigned long>(e));
        RetireRead();
        return -1;
    }
    return 1;
}

int32_t CaptureLoop::Run() {
    DataPacket* current = Make();
    if (!current) return -1;
    if (Stopping()) return 0;
    DataPacket* filled = nullptr;
    for (;;) {
        uint32_t length = 0;
        bool done =
            usb_read_pipe_overlapped(Handle(), args_->pipeId, current->data, kReadLength, &length);
        uint32_t e = done ? kErrorSuccess : last_error();
        if (!done && e != kErrorIoPending) {
            std::fprintf(stderr, "ReadPipe start Error: %lu\n", static_cast<unsigned long>(e));
            return -1;
        }
        if (filled) Publish(filled);
        DataPacket* spare = Make();
        if (!spare) {
            if (!done) RetireRead();
            return -1;
        }
        if (!done) {
            int32_t result = WaitRead(&length);
            if (result != 1) return result;
        }
        current->size = static_cast<int32_t>(length);
        filled = current;
        current = spare;
        if (Stopping()) return 0;
    }
}

// Removes the packets this thread made and did not publish, newest first,
// with their data blocks: nothing else refers to them.
void CaptureLoop::DropUnpublished() {
    DataPacket* packet = newest_;
    for (int left = unpublished_; left > 0 && packet; --left) {
        DataPacket* older = LoadLast(packet);
        if (RemovePacket(packet, 1) != 0)
            std::fputs(older ? "Failed to remove unused package\n"
                             : "Failed to remove last unused package\n",
                       stderr);
        packet = older;
    }
}

void RaiseOwnPriority() { raise_own_priority(kCaptureNice); }

bool ConfigureAttr(pthread_attr_t* attr) {
    int r = pthread_attr_setschedpolicy(attr, SCHED_OTHER);
    if (r == 0) r = pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED);
    if (r != 0) {
        std::fprintf(stderr, "Failed to set thread policy (%d)\n", r);
        return false;
    }
    sched_param param{};
    param.sched_priority = std::clamp(kRequestedPriority, sched_get_priority_min(SCHED_OTHER),
                                      sched_get_priority_max(SCHED_OTHER));
    if (pthread_attr_setschedparam(attr, &param) != 0) {
        std::fputs("Failed to set thread priority\n", stderr);
        return false;
    }
    return true;
}

bool StartThread(CapArgs* handle) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        std::fputs("Thread attr init failed\n", stderr);
        return false;
    }
    bool started = ConfigureAttr(&attr);
    if (started && pthread_create(&handle->thread, &attr, captureThread, handle->args) != 0) {
        std::fputs("Thread creation failed\n", stderr);
        started = false;
    }
    if (pthread_attr_destroy(&attr) != 0 && started)
        std::fputs("Thread attr destroy failed\n", stderr);
    return started;
}

}  // namespace

int32_t CaptureEventCount() {
    return std::atomic_ref(g_capture_events).load();
}

void SignalCaptureEvent() {
    std::atomic_ref events(g_capture_events);
    events.fetch_add(1);
    events.notify_all();
}

void WaitCaptureEvent(int32_t seen) {
    std::atomic_ref(g_capture_events).wait(seen);
}

}  // namespace dirov

using namespace dirov;

extern "C" {

DIROV_API CapArgs* CreateCaptureThread(DEVICE_DATA* device, uint8_t pipeId) {
    if (!device) {
        std::fputs("No device record for the capture thread\n", stderr);
        return nullptr;
    }
    auto* handle = static_cast<CapArgs*>(std::malloc(sizeof(CapArgs)));
    if (!handle) {
        std::fputs("Failed to make space for capture args\n", stderr);
        return nullptr;
    }
    auto* args = static_cast<CapThreadArgs*>(std::malloc(sizeof(CapThreadArgs)));
    if (!args) {
        std::fputs("Failed to make space for capture thread args\n", stderr);
        std::free(handle);
        return nullptr;
    }
    *args = CapThreadArgs{device, pipeId, 0, 1};
    handle->args = args;
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
    RaiseOwnPriority();
    CaptureLoop loop(args);
    int32_t status = loop.Run();
    loop.DropUnpublished();
    StoreEndStatus(args, status);
    return args;
}

DIROV_API int32_t StopCaptureThread(CapArgs* handle) {
    if (!handle || !handle->args) return -1;
    CapThreadArgs* args = handle->args;
    DS_INFO("Stopping capture thread");
    std::atomic_ref(args->stop).store(1);
    bool ended = WaitThreadEnd(args);
    DS_INFO("Capture thread stopped");
    if (!ended) {
        DS_INFO("Aborting Pipe");
        usb_abort_pipe(args->device->WinUsbHandle, args->pipeId);
        std::atomic_ref(args->stop).store(2);
    }
    DS_INFO("Calling join on the capture thread");
    pthread_join(handle->thread, nullptr);
    int32_t status = LoadField(args->status);
    std::free(args);
    std::free(handle);
    DS_INFO("Stopping finished");
    return status;
}

}  // extern "C"
