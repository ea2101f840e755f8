#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "device/usb.h"
#include "dirov410.h"
#include "dirov_version.h"
#include "platform/log.h"
#include "platform/platform.h"

using namespace dirov;

extern "C" {

DEVICE_DATA DeviceData = {};

const GUID GUID_DEVINTERFACE = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const GUID GUID_DEVINTERFACE_HX4104 = {
    0x6F0C2D14, 0x93B7, 0x4E2A, {0xA5, 0xC1, 0x7D, 0x38, 0xE0, 0xB9, 0x5F, 0x42}};
const GUID GUID_DFU_INTERFACE = {
    0xB1E47A03, 0x2C95, 0x4D6F, {0x8A, 0x17, 0xC3, 0xF0, 0x5E, 0x92, 0xD6, 0xB8}};
const GUID GUID_DFU_MAIN_INTERFACE = {
    0x5D8E3F27, 0xA4C1, 0x4B09, {0x9E, 0x62, 0x18, 0xF7, 0xB3, 0xC0, 0xA4, 0xD5}};
const GUID WinUSB_TestGuid = {
    0x0C7A95E3, 0x6B2D, 0x4F18, {0xB7, 0xA4, 0xE2, 0x9D, 0x51, 0xC8, 0x6F, 0x30}};

}  // extern "C"

namespace {

constexpr uint32_t kMaxCapacity = 0x7FFFFFFF;
const HANDLE kInvalidHandleValue = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// Bounded copy with the HRESULTs of a string-safe copy.
HRESULT copy_path(char* dst, uint32_t cap, const std::string& src) {
    if (!dst || cap == 0 || cap > kMaxCapacity) return kEInvalidArg;
    if (src.size() < cap) {
        std::memcpy(dst, src.c_str(), src.size() + 1);
        return kSOk;
    }
    std::memcpy(dst, src.data(), cap - 1);
    dst[cap - 1] = '\0';
    return kEInsufficientBuffer;
}

// Copies at most cap - 1 bytes, never ending inside a UTF-8 character.
void copy_text(char* dst, size_t cap, const std::string& src) {
    size_t n = std::min(src.size(), cap - 1);
    while (n > 0 && n < src.size() && (static_cast<uint8_t>(src[n]) & 0xC0) == 0x80) --n;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

void fill_info(dirov_device_info& info, const std::string& path) {
    BoardIdentity id = usb_identify(path);
    copy_text(info.path, sizeof info.path, path);
    copy_text(info.serial, sizeof info.serial, id.serial);
    info.vendor_id = id.vendor_id;
    info.product_id = id.product_id;
}

void report(const char* what, const GUID* guid) {
    if (guid)
        DIROV_LOG_E("Failed at %s for interface %s\n", what, guid_text(*guid).c_str());
    else
        DIROV_LOG_E("Failed at %s\n", what);
}

}  // namespace

extern "C" {

DIROV_API HRESULT RetrieveDevicePath(char* devicePath, uint32_t bufLen, BOOL* noDevice,
                                     const GUID* guid) {
    if (noDevice) *noDevice = 0;
    const GUID& g = guid ? *guid : GUID_DEVINTERFACE_HX4104;
    std::string path;
    // A selection too long for any serial (DIROV410_DEVICE is not checked
    // where it is read) matches no board.
    uint32_t e = usb_selected_serial().size() >= DIROV_SERIAL_SIZE
                     ? kErrorNoMoreItems
                     : usb_find_selected_path(g, path);
    if (e != kErrorSuccess) {
        if (e == kErrorNoMoreItems && noDevice) *noDevice = 1;
        set_last_error(e);
        return hresult_from_win32(e);
    }
    return copy_path(devicePath, bufLen, path);
}

DIROV_API HRESULT OpenDevice(DEVICE_DATA* device, BOOL* noDevice, const GUID* guid) {
    if (!device) return kEInvalidArg;
    std::atomic_ref(device->IsOpen).store(0);
    HRESULT hr = RetrieveDevicePath(device->DevicePath, DIROV_MAX_PATH, noDevice, guid);
    if (hr < 0) {
        report("RetrieveDevicePath", guid);
        return hr;
    }
    WINUSB_INTERFACE_HANDLE h = nullptr;
    OpenStage stage;
    uint32_t e = usb_open(device->DevicePath, &h, &stage);
    if (e != kErrorSuccess) {
        set_last_error(e);
        if (stage == OpenStage::kFile) device->FileHandle = kInvalidHandleValue;
        report(stage == OpenStage::kFile ? "CreateFile" : "Initialize WinUSB", guid);
        return hresult_from_win32(e);
    }
    // One handle serves as both the file and the WinUSB interface here. A
    // capture thread reads the handle afresh at every call.
    device->FileHandle = h;
    std::atomic_ref(device->WinUsbHandle).store(h);
    std::atomic_ref(device->IsOpen).store(1);
    return hr;
}

// Cancels what is in flight on the device: a read waiting on it ends with 995.
DIROV_API void CloseDevice(DEVICE_DATA* device) {
    if (!device || !std::atomic_ref(device->IsOpen).exchange(0)) return;
    usb_close(std::atomic_ref(device->WinUsbHandle).load());
}

DIROV_API int32_t dirov_list_devices(const GUID* guid, dirov_device_info* out, int32_t capacity) {
    if (capacity < 0 || (capacity > 0 && !out)) return -1;
    const GUID& g = guid ? *guid : GUID_DEVINTERFACE_HX4104;
    int32_t count = 0;
    for (;; ++count) {
        std::string path;
        uint32_t e = usb_find_path(g, path, static_cast<uint32_t>(count));
        if (e == kErrorNoMoreItems) return count;
        if (e != kErrorSuccess) {
            set_last_error(e);
            return -1;
        }
        if (count < capacity) fill_info(out[count], path);
    }
}

DIROV_API int32_t dirov_select_device(const char* serial) {
    std::string s = serial ? serial : "";
    if (s.size() >= DIROV_SERIAL_SIZE) return -1;
    usb_select_serial(s);
    return 0;
}

DIROV_API const char* dirov_version(void) {
    return DIROV_VERSION_TEXT;
}

}  // extern "C"
