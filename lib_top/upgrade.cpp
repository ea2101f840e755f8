// The firmware upgrade: from whatever face the board shows to its DFU
// interface, the download, and back to the new main firmware.
#include <cstdlib>

#include "device/usb.h"
#include "dirov410.h"
#include "lib_top/lib_top.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace {

using namespace dirov::top;

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
    if (!open_dfu("Failed to find DFU device\n", "Failed looking for DFU device, HRESULT 0x%X\n"))
        return false;
    CurrentConnState = kBootloader;
    return true;
}

// The board was told to leave its face: it comes back on the DFU interface
// after `pause_ms` (enumeration on a real bus may take longer still).
bool back_in_dfu(uint32_t pause_ms, const char* gave_up) {
    CloseDevice(&DeviceData);
    CurrentConnState = kNotConnected;
    dirov::sleep_ms(pause_ms);
    if (!reopen(&GUID_DFU_MAIN_INTERFACE,
                {.absent = nullptr,
                 .look_failed = "Failed looking for DFU device, HRESULT 0x%X\n",
                 .gave_up = gave_up}))
        return false;
    CurrentConnState = kBootloader;
    return true;
}

bool reach_dfu_interface() {
    switch (CurrentConnState) {
        case kBootloader:
            return true;
        case kMainFirmware:
            bootloader_reset(device_handle());
            return back_in_dfu(kResetPauseMs, "Failed to find DFU device\n");
        case kNotConnected:
            return open_dfu_once();
        default:
            DIROV_LOG_E("Unknown connection state %d\n", CurrentConnState);
            return true;
    }
}

// The main firmware's run-time DFU interface answered: detach into DFU mode.
bool detach_to_dfu() {
    DIROV_LOG_NOTE("Reattaching in dfu mode\n");
    int32_t r = dfu_detach(device_handle(), kDetachTimeoutMs);
    if (r < 0) DIROV_LOG_E("DFU Detach failed (%d)\n", r);
    return back_in_dfu(kDetachPauseMs, "Failed to find -DFU device\n");
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
    CurrentConnState = kNotConnected;
    if (!reopen(nullptr, {.absent = nullptr,
                          .look_failed = "Failed looking for non-DFU device, HRESULT 0x%X\n",
                          .gave_up = "Failed to find non-DFU device\n"}))
        return false;
    CurrentConnState = kMainFirmware;
    return true;
}

}  // namespace

extern "C" {

DIROV_API int32_t FirmwareUpgrade(const char* path) {
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
    if (!ok && CurrentConnState != kNotConnected &&
        dirov::last_error() == dirov::kErrorDeviceNotConnected) {
        CloseDevice(&DeviceData);
        CurrentConnState = kNotConnected;
    }
    return ok ? 0 : -1;
}

}  // extern "C"
