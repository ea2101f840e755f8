// The library's top: the interface open and identity, the capture and save
// workers, and the firmware upgrade.
#include "dirov410.h"

// Interface open, close and identity.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "device/log.h"
#include "device/platform.h"
#include "device/usb.h"

// 0 not connected, 1 bootloader, 2 main firmware. Library-private (hidden in
// the shared library); tests of the static archive read and set it.
extern "C" {
int32_t CurrentConnState = 0;
}

namespace {

constexpr uint32_t kReopenAttempts = 10;
constexpr uint32_t kReopenPauseMs = 500;
constexpr uint8_t kStringDescriptor = 3;
constexpr uint8_t kSerialIndex = 3;
// A descriptor request carries a 16-bit length, header included.
constexpr int32_t kMaxSerialBytes = 0xFFFF - 2;

ItfOpenResult conn_result(int32_t state, uint32_t version, int32_t valid) {
    CurrentConnState = state;
    return {state, version, valid};
}

void close_if_open() {
    if (DeviceData.IsOpen) CloseDevice(&DeviceData);
}

void flush_stream_pipe() {
    if (dirov::usb_flush_pipe(DeviceData.WinUsbHandle, dirov::kPipeStreamIn)) return;
    wchar_t line[64];
    std::swprintf(line, 64, L"FlushPipe Error: %d\n", static_cast<int>(dirov::last_error()));
    dirov::log_wide(dirov::kLogError, stdout, line);
    std::fflush(stdout);
}

// The board leaves the bootloader and comes back as main firmware.
ItfOpenResult reopen_main(uint32_t version, int32_t valid) {
    CloseDevice(&DeviceData);
    dirov::sleep_ms(kReopenPauseMs);
    for (uint32_t i = 0; i < kReopenAttempts; ++i) {
        BOOL noDevice = 0;
        {
            dirov::RetryScope retrying;
            if (OpenDevice(&DeviceData, &noDevice, nullptr) < 0) {
                if (noDevice) DIROV_LOG_E("Failed to find device after main firmware run\n");
                dirov::sleep_ms(kReopenPauseMs);
                continue;
            }
        }
        flush_stream_pipe();
        return conn_result(2, version, valid);
    }
    DIROV_LOG_E("Failed to find device after main firmware run\n");
    close_if_open();
    return conn_result(0, version, valid);
}

bool open_bootloader() {
    BOOL noDevice = 0;
    HRESULT hr = OpenDevice(&DeviceData, &noDevice, &GUID_DFU_MAIN_INTERFACE);
    if (hr >= 0) return true;
    if (noDevice)
        DIROV_LOG_E("Device not connected or driver not installed\n");
    else
        DIROV_LOG_E("Failed looking for device, HRESULT 0x%X\n", static_cast<unsigned>(hr));
    close_if_open();
    return false;
}

// The bootloader's state record: false when it is not a full one.
bool main_running(WINUSB_INTERFACE_HANDLE h, bool* running) {
    BootloaderState state;
    if (bootloader_state(h, &state) != DIROV_BOOTLOADER_STATE_SIZE) {
        DIROV_LOG_E("Failed to get status from bootloader\n");
        return false;
    }
    *running = state.bytes[0] & 1;
    return true;
}

bool dfu_answers(WINUSB_INTERFACE_HANDLE h) {
    uint8_t state = 0;
    if (dfu_getstate(h, &state) >= 0) return true;
    DIROV_LOG_E("Failed to get DFU status\n");
    return false;
}

}  // namespace

extern "C" {

DIROV_API ItfOpenResult Hx410DItfOpen(void) {
    close_if_open();
    if (!open_bootloader()) return conn_result(0, 0, 0);
    WINUSB_INTERFACE_HANDLE h = DeviceData.WinUsbHandle;
    bool running = false;
    if (!main_running(h, &running)) return conn_result(1, 0, 0);
    if (!running && !dfu_answers(h)) return conn_result(1, 0, 0);
    uint32_t version = static_cast<uint32_t>(bootloader_version(h));
    int32_t valid = bootloader_is_firmware_valid(h);
    if (valid == 0) return conn_result(1, version, 0);
    if (!running && bootloader_start_main(h) < 1) {
        DIROV_LOG_E("Failed to start firmware\n");
        bootloader_reset(h);
        close_if_open();
        return conn_result(0, version, 0);
    }
    return reopen_main(version, valid);
}

DIROV_API void dirov_free(void* p) {
    std::free(p);
}

DIROV_API int32_t Hx410DItfClose(void) {
    return 0;
}

DIROV_API DEVICE_DATA* _GetDeviceData(void) {
    return &DeviceData;
}

DIROV_API WINUSB_INTERFACE_HANDLE _GetWinUsbHandle(void) {
    return DeviceData.WinUsbHandle;
}

DIROV_API int32_t GetDeviceSerialNumber(uint8_t* buffer, int32_t length) {
    if (length < 0 || length > kMaxSerialBytes || (!buffer && length)) return -1;
    uint32_t total = static_cast<uint32_t>(length) + 2;
    // Zeroed, so bytes the board does not send reach the caller as 0.
    auto* block = static_cast<uint8_t*>(std::calloc(total, 1));
    if (!block) {
        DIROV_LOG_E("Failed to allocate memory.\n");
        return -1;
    }
    uint32_t got = 0;
    if (!dirov::usb_get_descriptor(DeviceData.WinUsbHandle, kStringDescriptor, kSerialIndex, 0,
                                   block, total, &got)) {
        DIROV_LOG_E("Get of serial number failed\n");
        std::free(block);
        return -1;
    }
    if (got != total)
        DIROV_LOG_E("Length of serial number != request, req: %d, got: %ld\n",
                    static_cast<int>(total), static_cast<long>(got));
    if (length) std::memcpy(buffer, block + 2, static_cast<size_t>(length));
    std::free(block);
    return 0;
}

}  // extern "C"

// Capture and save workers.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "DataStore/src/data_store.h"
#include "DataStore/src/ds_usb_itf.h"

namespace {

CapArgs* pCapArgs = nullptr;
SaveArgs* pSaveArgs = nullptr;
int32_t NewPktCbRegistered = 0;
DataPacket* CurPacket = nullptr;
int32_t PendingPackets = 0;
int32_t MaxPending = 0;
// The packets published to the reader and not yet returned, in publication
// order, each holding the lock its publication took for the reader. The
// reader follows this queue, not the store's list: the list also holds
// packets not (yet) published to it, those of the capture's read-ahead and
// of other publishers.
std::mutex QueueLock;
std::deque<DataPacket*> ReaderQueue;
// The packet returned last, whose lock the reader keeps (under ReaderLock).
DataPacket* Returned = nullptr;

// Each worker slot is guarded by a mutex held only for short steps, never
// across a join: a packet callback may take it on the capture thread. A
// party that starts or stops a worker outside the mutex marks the slot busy,
// so exactly one party joins and frees a thread.
struct WorkerSlot {
    std::mutex mu;
    std::condition_variable idle;
    bool busy = false;
};
WorkerSlot CaptureSlot;
WorkerSlot SaveSlot;
// Serialises the reader's steps with the reset at a start.
std::mutex ReaderLock;

DataPacket* reader_cursor() {
    return std::atomic_ref(CurPacket).load();
}
void set_reader_cursor(DataPacket* p) {
    std::atomic_ref(CurPacket).store(p);
}
int32_t pending_count() {
    return std::atomic_ref(PendingPackets).load();
}

// QueueLock held.
void set_pending(int32_t now) {
    std::atomic_ref(PendingPackets).store(now);
    std::atomic_ref max(MaxPending);
    if (now > max.load()) max.store(now);
}

// Takes the queued packets out (their locks go to the caller).
std::deque<DataPacket*> take_queue() {
    std::lock_guard lk(QueueLock);
    std::deque<DataPacket*> all;
    all.swap(ReaderQueue);
    set_pending(0);
    return all;
}

// The packets counted for the reader and not handed out: once the capture
// stops nobody reads them, so their locks go at once and the store can give
// their blocks back. The packet returned last stays held.
void release_pending() {
    std::lock_guard lk(ReaderLock);
    for (DataPacket* p : take_queue()) DecPktLock(p);
    set_reader_cursor(Returned);
    dirov::GiveBackIdleBlocks();
}

// The reader's locks left from the last capture go at the next start, not
// at the stop, since the application may still read the packet it holds.
void reset_reader() {
    std::lock_guard lk(ReaderLock);
    for (DataPacket* p : take_queue()) DecPktLock(p);
    DecPktLock(std::exchange(Returned, nullptr));
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
    dirov::SignalCaptureEvent();
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
    CaptureSlot.busy = true;
    lk.unlock();
    StopCaptureThread(h);
    lk.lock();
    pCapArgs = nullptr;
    CaptureSlot.busy = false;
    CaptureSlot.idle.notify_all();
    return true;
}

bool claim_for_start() {
    std::unique_lock lk(CaptureSlot.mu);
    if (CaptureSlot.busy || !reap_stopped_capture(lk)) return false;
    CaptureSlot.busy = true;
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
    std::lock_guard lk(CaptureSlot.mu);
    if (!pCapArgs) return -1;
    if (!CaptureSlot.busy) dirov::RequestCaptureStop(pCapArgs->args);
    return 0;
}

// Joins a capture thread that has ended; false while it runs or another
// party is starting or stopping it.
enum class CaptureState { Running, Ended, None };

CaptureState reap_if_ended() {
    std::unique_lock lk(CaptureSlot.mu);
    if (CaptureSlot.busy) return CaptureState::Running;
    if (!pCapArgs) return CaptureState::None;
    if (std::atomic_ref(pCapArgs->args->status).load() > 0) return CaptureState::Running;
    CapArgs* h = pCapArgs;
    CaptureSlot.busy = true;
    lk.unlock();
    if (stop_requested(h) == 0) DIROV_LOG_E("The capture thread has given up\n");
    StopCaptureThread(h);
    release_slot(CaptureSlot, pCapArgs, static_cast<CapArgs*>(nullptr));
    return CaptureState::Ended;
}

// From a packet callback nothing may wait: another party's stop may need
// the callback to end. The save thread then ends by itself.
SaveArgs* take_save_worker() {
    std::lock_guard lk(SaveSlot.mu);
    return SaveSlot.busy ? nullptr : std::exchange(pSaveArgs, nullptr);
}

// Why the reader got no packet: the failed capture's code, or 259 when the
// capture was stopped (or none ran).
void set_end_error() {
    uint32_t e = dirov::CaptureEndError();
    dirov::set_last_error(e ? e : dirov::kErrorNoMoreItems);
}

// Waits without spinning for a pending packet, up to `deadline` (null: without
// bound); false, with the reason in the last-error code, when the capture
// has ended (or never ran) and nothing is pending, or the time ran out.
bool wait_for_packet(const std::chrono::steady_clock::time_point* deadline) {
    for (;;) {
        int32_t seen = dirov::CaptureEventCount();
        if (pending_count() != 0) return true;
        if (reap_if_ended() != CaptureState::Running) {
            set_end_error();
            return false;
        }
        if (dirov::InPublication()) {
            DIROV_LOG_E("GetNextPacket cannot wait in a packet callback\n");
            dirov::set_last_error(dirov::kErrorNotSupported);
            return false;
        }
        if (!deadline) {
            dirov::WaitCaptureEvent(seen);
        } else if (!dirov::WaitCaptureEventFor(seen, *deadline)) {
            if (pending_count() != 0) return true;
            dirov::set_last_error(dirov::kErrorSemTimeout);
            return false;
        }
    }
}

}  // namespace

extern "C" {

DIROV_API void NewPktCb(DataPacket* packet) {
    {
        std::lock_guard lk(QueueLock);
        ReaderQueue.push_back(packet);
        set_pending(static_cast<int32_t>(ReaderQueue.size()));
        if (!reader_cursor()) set_reader_cursor(packet);
    }
    dirov::SignalCaptureEvent();
}

DIROV_API int32_t _StartCaptureWorker(int32_t registerCb) {
    if (dirov::InPublication()) {
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
        release_slot(CaptureSlot, pCapArgs, static_cast<CapArgs*>(nullptr));
        return -1;
    }
    CapArgs* h = CreateCaptureThread(&DeviceData, dirov::kPipeStreamIn);
    if (!h) DIROV_LOG_E("Failed to create capture thread\n");
    release_slot(CaptureSlot, pCapArgs, h);
    return h ? 0 : -1;
}

DIROV_API int32_t StartCaptureWorker(void) {
    return _StartCaptureWorker(1);
}

DIROV_API int32_t StartCaptureWorkerNoRegister(void) {
    return _StartCaptureWorker(0);
}

DIROV_API int32_t StopCaptureWorker(void) {
    if (dirov::InPublication()) return request_capture_stop();
    unregister_reader();
    CapArgs* h = claim_for_stop(CaptureSlot, pCapArgs);
    if (!h) return -1;
    int32_t status = StopCaptureThread(h);
    if (status < 0) dirov::set_last_error(dirov::CaptureEndError());
    release_pending();
    release_slot(CaptureSlot, pCapArgs, static_cast<CapArgs*>(nullptr));
    return status;
}

DIROV_API DataPacket* GetNextPacket(void) {
    return dirov_get_next_packet(0);
}

DIROV_API DataPacket* dirov_get_next_packet(uint32_t timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (!wait_for_packet(timeout_ms ? &deadline : nullptr)) return nullptr;
        std::lock_guard lk(ReaderLock);
        DataPacket* packet;
        {
            std::lock_guard q(QueueLock);
            if (ReaderQueue.empty()) continue;  // a start or stop emptied it meanwhile
            packet = ReaderQueue.front();
            ReaderQueue.pop_front();
            set_pending(static_cast<int32_t>(ReaderQueue.size()));
            set_reader_cursor(packet);
        }
        DecPktLock(std::exchange(Returned, packet));
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
        std::lock_guard lk(SaveSlot.mu);
        if (pSaveArgs || SaveSlot.busy) {
            DIROV_LOG_E("Last save thread not closed\n");
            return -1;
        }
        SaveSlot.busy = true;
    }
    SaveArgs* h = CreateSaveThread(fileName, byteLimit);
    release_slot(SaveSlot, pSaveArgs, h);
    if (!h) {
        DIROV_LOG_E("Failed to create save thread\n");
        return -1;
    }
    DIROV_LOG_NOTE("Started save thread\n");
    return 0;
}

DIROV_API int32_t StopSaveWorker(int32_t force) {
    DIROV_LOG_NOTE("Stopping save thread\n");
    bool inCallback = dirov::InPublication();
    SaveArgs* h = inCallback ? take_save_worker() : claim_for_stop(SaveSlot, pSaveArgs);
    int32_t status = StopSaveThread(h, force);  // -1 when there is no worker
    if (h && !inCallback) release_slot(SaveSlot, pSaveArgs, static_cast<SaveArgs*>(nullptr));
    DIROV_LOG_NOTE("Thread gone\n");
    return status;
}

DIROV_API int32_t SaveWorkerRunning(void) {
    std::lock_guard lk(SaveSlot.mu);
    if (!pSaveArgs) return -1;
    // Being stopped by another party, which may free its records any time.
    if (SaveSlot.busy) return 0;
    return SaveThreadRunning(pSaveArgs);
}

}  // extern "C"

// Firmware upgrade.
namespace {

constexpr uint32_t kResetPauseMs = 500;
constexpr uint32_t kDetachPauseMs = 2000;
constexpr uint16_t kDetachTimeoutMs = 100;

struct LoadedImage {
    uint8_t* data = nullptr;
    uint32_t count = 0;
    LoadedImage() = default;
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;
    ~LoadedImage() { std::free(data); }
};

WINUSB_INTERFACE_HANDLE device_handle() {
    return DeviceData.WinUsbHandle;
}

bool open_dfu_once() {
    BOOL noDevice = 0;
    HRESULT hr = OpenDevice(&DeviceData, &noDevice, &GUID_DFU_MAIN_INTERFACE);
    if (hr >= 0) {
        CurrentConnState = 1;
        return true;
    }
    if (noDevice)
        DIROV_LOG_E("Failed to find DFU device\n");
    else
        DIROV_LOG_E("Failed looking for DFU device, HRESULT 0x%X\n", static_cast<unsigned>(hr));
    return false;
}

bool reopen_after_restart(const GUID* guid, const char* lookFail, const char* notFound);

bool reach_dfu_interface() {
    switch (CurrentConnState) {
        case 1:
            return true;
        case 2:
            bootloader_reset(device_handle());
            CloseDevice(&DeviceData);
            CurrentConnState = 0;
            dirov::sleep_ms(kResetPauseMs);
            // Enumeration on a real bus may outlast the pause.
            if (!reopen_after_restart(&GUID_DFU_MAIN_INTERFACE,
                                      "Failed looking for DFU device, HRESULT 0x%X\n",
                                      "Failed to find DFU device\n"))
                return false;
            CurrentConnState = 1;
            return true;
        case 0:
            return open_dfu_once();
        default:
            DIROV_LOG_E("Unknown connection state %d\n", CurrentConnState);
            return true;
    }
}

// Up to ten opens of `guid`, 500 ms after each that fails. While the board
// re-enumerates, a find or open may fail for other reasons than its absence
// (a half-enumerated interface); those are printed and retried as well.
bool reopen_after_restart(const GUID* guid, const char* lookFail, const char* notFound) {
    for (uint32_t i = 0; i < kReopenAttempts; ++i) {
        BOOL noDevice = 0;
        dirov::RetryScope retrying;
        HRESULT hr = OpenDevice(&DeviceData, &noDevice, guid);
        if (hr >= 0) return true;
        // Retried, so a warning: the search goes on.
        if (!noDevice) DIROV_LOG_W(lookFail, static_cast<unsigned>(hr));
        dirov::sleep_ms(kReopenPauseMs);
    }
    DIROV_LOG_E("%s", notFound);
    return false;
}

// The main firmware's run-time DFU interface answered: detach into DFU mode.
bool detach_to_dfu() {
    DIROV_LOG_NOTE("Reattaching in dfu mode\n");
    int32_t r = dfu_detach(device_handle(), kDetachTimeoutMs);
    if (r < 0) DIROV_LOG_E("DFU Detach failed (%d)\n", r);
    CloseDevice(&DeviceData);
    CurrentConnState = 0;
    dirov::sleep_ms(kDetachPauseMs);
    if (!reopen_after_restart(&GUID_DFU_MAIN_INTERFACE,
                              "Failed looking for DFU device, HRESULT 0x%X\n",
                              "Failed to find -DFU device\n"))
        return false;
    CurrentConnState = 1;
    return true;
}

bool enter_dfu_mode() {
    uint8_t state = 0xFF;  // a reply without the byte names no state
    if (dfu_getstate(device_handle(), &state) == -1) {
        DIROV_LOG_E("Failed to get DFU status (win error = 0x%08lX)\n",
                    static_cast<unsigned long>(dirov::last_error()));
        return false;
    }
    if (state == DFU_STATE_APP_IDLE) return detach_to_dfu();
    if (state == DFU_STATE_DFU_IDLE) return true;
    // An earlier download or upload ended part way; the download brings the
    // board back to dfuIDLE from the other DFU states.
    DIROV_LOG_NOTE("Device was in %d state before downloading\n", state);
    if (state != DFU_STATE_DFU_ERROR) return true;
    int32_t r = dfu_clrstatus(device_handle());
    if (r < 0) DIROV_LOG_E("Failed to clear DFU status (%d)\n", r);
    return r >= 0;
}

bool download_and_start(const LoadedImage& image) {
    DIROV_LOG_NOTE("Downloading new firmware\n");
    int32_t r = dfu_dnload_firmware(device_handle(), image.data, image.count);
    if (r != 0) {
        DIROV_LOG_E("Device firmware download failed (%d)\n", r);
        return false;
    }
    r = dfu_start(device_handle());
    if (r != 0) {
        DIROV_LOG_E("Failed to exit DFU mode (%d)\n", r);
        return false;
    }
    r = bootloader_start_main(device_handle());
    if (r <= 0) {
        DIROV_LOG_E("Failed to start firmware (%d)\n", r);
        return false;
    }
    return true;
}

bool reopen_new_firmware() {
    CloseDevice(&DeviceData);
    CurrentConnState = 0;
    if (!reopen_after_restart(nullptr, "Failed looking for non-DFU device, HRESULT 0x%X\n",
                              "Failed to find non-DFU device\n"))
        return false;
    CurrentConnState = 2;
    return true;
}

}  // namespace

extern "C" DIROV_API int32_t FirmwareUpgrade(const char* path) {
    LoadedImage image;
    int32_t r = dfu_file_read(path, &image.data, &image.count);
    if (r != 0) {
        DIROV_LOG_E("Failed to read DFU file: %s (%d)\n", path ? path : "(null)", r);
        return -1;
    }
    bool ok = reach_dfu_interface() && enter_dfu_mode() && download_and_start(image) &&
              reopen_new_firmware();
    // A board unplugged part way leaves a handle to nothing: the next call
    // opens whatever face it comes back with.
    if (!ok && CurrentConnState != 0 && dirov::last_error() == dirov::kErrorDeviceNotConnected) {
        CloseDevice(&DeviceData);
        CurrentConnState = 0;
    }
    return ok ? 0 : -1;
}
