// The interface open: from whatever face the board shows to its main
// firmware, the open device's identity, and the ways back to the board that
// the firmware upgrade shares.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/usb.h"
#include "dirov410.h"
#include "lib_top/lib_top.h"
#include "platform/log.h"
#include "platform/platform.h"

extern "C" {
int32_t CurrentConnState = dirov::top::kNotConnected;
}

namespace dirov::top {

namespace {
constexpr uint32_t kReopenAttempts = 10;
}  // namespace

void close_if_open() {
    if (DeviceData.IsOpen) CloseDevice(&DeviceData);
}

bool reopen(const GUID* guid, const ReopenLog& log) {
    for (uint32_t i = 0; i < kReopenAttempts; ++i) {
        BOOL no_device = 0;
        RetryScope retrying;
        HRESULT hr = OpenDevice(&DeviceData, &no_device, guid);
        if (hr >= 0) return true;
        if (no_device && log.absent) DIROV_LOG_E("%s", log.absent);
        // Retried, so a warning: the search goes on.
        if (!no_device && log.look_failed) DIROV_LOG_W(log.look_failed, static_cast<unsigned>(hr));
        sleep_ms(kReopenPauseMs);
    }
    DIROV_LOG_E("%s", log.gave_up);
    return false;
}

bool open_dfu(const char* absent, const char* look_failed) {
    BOOL no_device = 0;
    HRESULT hr = OpenDevice(&DeviceData, &no_device, &GUID_DFU_MAIN_INTERFACE);
    if (hr >= 0) return true;
    if (no_device)
        DIROV_LOG_E("%s", absent);
    else
        DIROV_LOG_E(look_failed, static_cast<unsigned>(hr));
    return false;
}

}  // namespace dirov::top

namespace {

using namespace dirov::top;

constexpr uint8_t kStringDescriptor = 3;
constexpr uint8_t kSerialIndex = 3;
// A descriptor request carries a 16-bit length, header included.
constexpr int32_t kMaxSerialBytes = 0xFFFF - 2;

ItfOpenResult conn_result(int32_t state, uint32_t version, int32_t valid) {
    CurrentConnState = state;
    return {state, version, valid};
}

void flush_stream_pipe() {
    if (dirov::usb_flush_pipe(DeviceData.WinUsbHandle, dirov::kPipeStreamIn)) return;
    dirov::log_print(dirov::kLogError, stdout, "FlushPipe Error: %d\n",
                     static_cast<int>(dirov::last_error()));
    std::fflush(stdout);
}

// The board leaves the bootloader and comes back as main firmware.
ItfOpenResult reopen_main(uint32_t version, int32_t valid) {
    CloseDevice(&DeviceData);
    dirov::sleep_ms(kReopenPauseMs);
    if (reopen(nullptr, {.absent = "Failed to find device after main firmware run\n",
                         .look_failed = nullptr,
                         .gave_up = "Failed to find device after main firmware run\n"})) {
        flush_stream_pipe();
        return conn_result(kMainFirmware, version, valid);
    }
    close_if_open();
    return conn_result(kNotConnected, version, valid);
}

bool open_bootloader() {
    return open_dfu("Device not connected or driver not installed\n",
                    "Failed looking for device, HRESULT 0x%X\n");
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
    if (!open_bootloader()) return conn_result(kNotConnected, 0, 0);
    WINUSB_INTERFACE_HANDLE h = DeviceData.WinUsbHandle;
    bool running = false;
    if (!main_running(h, &running)) return conn_result(kBootloader, 0, 0);
    if (!running && !dfu_answers(h)) return conn_result(kBootloader, 0, 0);
    uint32_t version = static_cast<uint32_t>(bootloader_version(h));
    int32_t valid = bootloader_is_firmware_valid(h);
    if (valid == 0) return conn_result(kBootloader, version, 0);
    if (!running && bootloader_start_main(h) < 1) {
        DIROV_LOG_E("Failed to start firmware\n");
        bootloader_reset(h);
        close_if_open();
        return conn_result(kNotConnected, version, 0);
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
