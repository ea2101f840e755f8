// Real USB on Windows: boards are found by device-interface GUID through
// SetupAPI and reached through WinUSB. Every error is the thread's
// GetLastError value, untouched.
//
// The streaming read is overlapped, with one OVERLAPPED and manual-reset
// event per endpoint. An aborted or cancelled read still owns its buffer
// until its completion is seen, so close waits for that completion.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "device/backends/winusb/winusb_api.h"
#include "device/transport.h"
#include "platform/platform.h"

namespace dirov {
namespace {

constexpr DWORD kErrorOutOfMemory = 14;

const WinUsbApi kSystemApi = {
    .SetupDiGetClassDevsA = ::SetupDiGetClassDevsA,
    .SetupDiEnumDeviceInterfaces = ::SetupDiEnumDeviceInterfaces,
    .SetupDiGetDeviceInterfaceDetailA = ::SetupDiGetDeviceInterfaceDetailA,
    .SetupDiDestroyDeviceInfoList = ::SetupDiDestroyDeviceInfoList,
    .LocalAlloc = ::LocalAlloc,
    .LocalFree = ::LocalFree,
    .CreateFileA = ::CreateFileA,
    .CloseHandle = ::CloseHandle,
    .CreateEventA = ::CreateEventA,
    .CancelIoEx = ::CancelIoEx,
    .WinUsb_Initialize = ::WinUsb_Initialize,
    .WinUsb_Free = ::WinUsb_Free,
    .WinUsb_WritePipe = ::WinUsb_WritePipe,
    .WinUsb_ReadPipe = ::WinUsb_ReadPipe,
    .WinUsb_GetOverlappedResult = ::WinUsb_GetOverlappedResult,
    .WinUsb_AbortPipe = ::WinUsb_AbortPipe,
    .WinUsb_FlushPipe = ::WinUsb_FlushPipe,
    .WinUsb_ControlTransfer = ::WinUsb_ControlTransfer,
    .WinUsb_GetDescriptor = ::WinUsb_GetDescriptor};

WinUsbApi api_table = kSystemApi;

const WinUsbApi& api() {
    return api_table;
}

// ---- discovery ----

// The detail data of one interface: its size first, then the data itself.
uint32_t interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& ifd, std::string& path) {
    DWORD required = 0;
    if (api().SetupDiGetDeviceInterfaceDetailA(set, &ifd, nullptr, 0, &required, nullptr))
        return kErrorInvalidParameter;  // a size query cannot succeed
    DWORD e = GetLastError();
    if (e != kErrorInsufficientBuffer) return e;
    auto* detail =
        static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(api().LocalAlloc(LMEM_FIXED, required));
    if (!detail) return kErrorOutOfMemory;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    e = kErrorSuccess;
    if (api().SetupDiGetDeviceInterfaceDetailA(set, &ifd, detail, required, nullptr, nullptr))
        path = detail->DevicePath;
    else
        e = GetLastError();
    api().LocalFree(detail);
    return e;
}

uint32_t wu_find_path(const GUID& guid, uint32_t index, std::string& path) {
    HDEVINFO set =
        api().SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return GetLastError();
    SP_DEVICE_INTERFACE_DATA ifd{};
    ifd.cbSize = sizeof ifd;
    uint32_t e = api().SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &ifd)
                     ? interface_path(set, ifd, path)
                     : GetLastError();
    api().SetupDiDestroyDeviceInfoList(set);
    return e;
}

// ---- devices ----

struct StreamRead {
    OVERLAPPED ov{};
    HANDLE event = nullptr;
    std::atomic<bool> posted{false};  // submitted, completion not seen yet
};

struct Device {
    HANDLE file;
    WINUSB_INTERFACE_HANDLE usb;
    // Guards the map, `closing`, and each read's posting: a read is posted
    // and marked under it, so a close's cancel either finds it posted or
    // keeps it from being posted.
    std::mutex mu;
    std::map<uint8_t, std::unique_ptr<StreamRead>> streams;
    std::atomic<bool> closing{false};  // cancel(dev, 0) came: new reads fail
};

Device& device(BackendDevice dev) {
    return *static_cast<Device*>(dev);
}

uint32_t wu_open(const char* path, BackendDevice* out, OpenStage* stage) {
    *stage = OpenStage::kFile;
    HANDLE file = api().CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    *stage = OpenStage::kInterface;
    WINUSB_INTERFACE_HANDLE usb = nullptr;
    if (!api().WinUsb_Initialize(file, &usb)) {
        DWORD e = GetLastError();
        api().CloseHandle(file);
        return e;
    }
    *out = new Device{file, usb, {}, {}};
    return kErrorSuccess;
}

// Ends a posted read: an abort of its pipe, or, when the abort fails, a
// cancel of the read's I/O on the file handle, waited for until the driver
// has completed it (a cancelled I/O always completes).
void end_read(Device& d, uint8_t ep, StreamRead& s) {
    if (api().WinUsb_AbortPipe(d.usb, ep)) return;
    if (api().CancelIoEx(d.file, &s.ov)) WaitForSingleObject(s.event, INFINITE);
}

// Waits until the read's buffer and OVERLAPPED are no longer the driver's.
void settle(Device& d, uint8_t ep, StreamRead& s) {
    if (!s.posted) return;
    if (!d.closing.load()) end_read(d, ep, s);  // cancel did it already
    DWORD n = 0;
    api().WinUsb_GetOverlappedResult(d.usb, &s.ov, &n, TRUE);
    s.posted = false;
}

void wu_close(BackendDevice dev) {
    std::unique_ptr<Device> d(&device(dev));
    for (auto& [ep, s] : d->streams) {
        settle(*d, ep, *s);
        if (s->event) api().CloseHandle(s->event);
    }
    api().WinUsb_Free(d->usb);
    api().CloseHandle(d->file);
}

uint32_t result(BOOL ok, ULONG n, uint32_t* done) {
    *done = ok ? n : 0;
    return ok ? kErrorSuccess : GetLastError();
}

uint32_t wu_bulk_write(BackendDevice dev, uint8_t ep, const uint8_t* buf, uint32_t len,
                       uint32_t* done) {
    ULONG n = 0;
    BOOL ok =
        api().WinUsb_WritePipe(device(dev).usb, ep, const_cast<PUCHAR>(buf), len, &n, nullptr);
    return result(ok, n, done);
}

uint32_t wu_bulk_read(BackendDevice dev, uint8_t ep, uint8_t* buf, uint32_t len, uint32_t* done) {
    ULONG n = 0;
    BOOL ok = api().WinUsb_ReadPipe(device(dev).usb, ep, buf, len, &n, nullptr);
    return result(ok, n, done);
}

// The endpoint's read record, with its event made on first use (mu held).
StreamRead* stream_for(Device& d, uint8_t ep) {
    auto& s = d.streams[ep];
    if (!s) s = std::make_unique<StreamRead>();
    if (!s->event) s->event = api().CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return s->event ? s.get() : nullptr;
}

uint32_t wu_stream_submit(BackendDevice dev, uint8_t ep, uint8_t* buf, uint32_t len,
                          uint32_t* done) {
    Device& d = device(dev);
    std::unique_lock lk(d.mu);
    if (d.closing.load()) return kErrorInvalidHandle;
    StreamRead* s = stream_for(d, ep);
    if (!s) return GetLastError();
    if (s->posted) return kErrorInvalidParameter;
    s->ov = OVERLAPPED{};
    s->ov.hEvent = s->event;
    if (api().WinUsb_ReadPipe(d.usb, ep, buf, len, nullptr, &s->ov)) {
        lk.unlock();
        // Completed at once: the count comes from the finished OVERLAPPED.
        DWORD n = 0;
        BOOL ok = api().WinUsb_GetOverlappedResult(d.usb, &s->ov, &n, FALSE);
        return result(ok, n, done);
    }
    DWORD e = GetLastError();
    s->posted = e == kErrorIoPending;
    return e;
}

uint32_t wu_stream_wait(BackendDevice dev, uint8_t ep, bool wait, uint32_t* done) {
    Device& d = device(dev);
    StreamRead* s = nullptr;
    {
        std::lock_guard lk(d.mu);
        auto it = d.streams.find(ep);
        if (it != d.streams.end()) s = it->second.get();
    }
    if (!s || !s->posted) return kErrorInvalidParameter;
    DWORD n = 0;
    BOOL ok = api().WinUsb_GetOverlappedResult(d.usb, &s->ov, &n, wait);
    uint32_t e = result(ok, n, done);
    if (e != kErrorIoIncomplete) s->posted = false;
    return e;
}

uint32_t wu_abort_pipe(BackendDevice dev, uint8_t ep) {
    return api().WinUsb_AbortPipe(device(dev).usb, ep) ? kErrorSuccess : GetLastError();
}

uint32_t wu_flush_pipe(BackendDevice dev, uint8_t ep) {
    return api().WinUsb_FlushPipe(device(dev).usb, ep) ? kErrorSuccess : GetLastError();
}

uint32_t wu_control(BackendDevice dev, const SetupPacket& s, uint8_t* buf, uint32_t len,
                    uint32_t* done) {
    WINUSB_SETUP_PACKET p{s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength};
    ULONG n = 0;
    BOOL ok = api().WinUsb_ControlTransfer(device(dev).usb, p, buf, len, &n, nullptr);
    return result(ok, n, done);
}

uint32_t wu_get_descriptor(BackendDevice dev, uint8_t type, uint8_t index, uint16_t lang,
                           uint8_t* buf, uint32_t len, uint32_t* done) {
    ULONG n = 0;
    BOOL ok = api().WinUsb_GetDescriptor(device(dev).usb, type, index, lang, buf, len, &n);
    return result(ok, n, done);
}

// Ending a read (an abort, else a cancel of its I/O) completes it with 995;
// the completion is still collected by stream_wait or, at close, by settle.
void wu_cancel(BackendDevice dev, uint8_t ep) {
    Device& d = device(dev);
    std::lock_guard lk(d.mu);
    if (ep == 0) d.closing.store(true);
    for (auto& [stream_ep, s] : d.streams)
        if ((ep == 0 || ep == stream_ep) && s->posted) end_read(d, stream_ep, *s);
}

bool wu_active() {
    return true;
}

}  // namespace

WinUsbApi& winusb_api() {
    return api_table;
}
const WinUsbApi& winusb_system_api() {
    return kSystemApi;
}

const TransportOps usb_transport_ops = {
    .name = "winusb",
    .active = wu_active,
    .find_path = wu_find_path,
    .open = wu_open,
    .close = wu_close,
    .bulk_write = wu_bulk_write,
    .bulk_read = wu_bulk_read,
    .stream_submit = wu_stream_submit,
    .stream_wait = wu_stream_wait,
    .abort_pipe = wu_abort_pipe,
    .flush_pipe = wu_flush_pipe,
    .control_transfer = wu_control,
    .get_descriptor = wu_get_descriptor,
    .cancel = wu_cancel,
};

}  // namespace dirov
