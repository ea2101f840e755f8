#include "support/winusb_emulator.h"

#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "device/backends/winusb/winusb_api.h"
#include "platform/platform.h"

namespace dirov::test {
namespace {

constexpr ULONG_PTR kStatusPending = 0x103;

using DeviceSet = std::vector<std::string>;

// A file or WinUSB handle: the board and the face it was opened on.
struct Opened {
    std::shared_ptr<sim::Board> board;
    uint32_t generation;
    uint64_t session = 0;   // of a WinUSB handle
    uint8_t interface = 0;  // the interface the handle is bound to
};

enum class Kind { Set, File, Usb, Event };

using Read = std::pair<Opened*, uint8_t>;  // a read in flight: handle and endpoint

struct State {
    std::mutex mu;
    std::vector<std::shared_ptr<sim::Board>> boards;
    std::map<std::string, uint32_t> faults;
    std::map<std::string, std::function<void()>> hooks;
    std::map<void*, Kind> objects;  // live handles of every kind
    std::map<OVERLAPPED*, Read> reads;
};

State* g_state = nullptr;

// False (with the error set) when a fault was queued for `function`.
bool enter(const char* function) {
    std::unique_lock lk(g_state->mu);
    if (auto hook = g_state->hooks.extract(function)) {
        lk.unlock();
        hook.mapped()();
        lk.lock();
    }
    auto it = g_state->faults.find(function);
    if (it == g_state->faults.end()) return true;
    SetLastError(it->second);
    g_state->faults.erase(it);
    return false;
}

template <typename T>
T* track(T* object, Kind kind) {
    std::lock_guard lk(g_state->mu);
    g_state->objects[object] = kind;
    return object;
}

bool release(void* object, Kind kind) {
    std::lock_guard lk(g_state->mu);
    auto it = g_state->objects.find(object);
    if (it == g_state->objects.end() || it->second != kind) return false;
    g_state->objects.erase(it);
    return true;
}

BOOL fail(DWORD e) {
    SetLastError(e);
    return FALSE;
}

BOOL finish(uint32_t e) {
    return e == kErrorSuccess ? TRUE : fail(e);
}

std::vector<std::shared_ptr<sim::Board>> boards() {
    std::lock_guard lk(g_state->mu);
    return g_state->boards;
}

// ---- SetupAPI ----

HDEVINFO WINAPI get_class_devs(const GUID* guid, PCSTR, HWND, DWORD flags) {
    if (!enter("SetupDiGetClassDevsA")) return INVALID_HANDLE_VALUE;
    auto* set = new DeviceSet;
    // Without DIGCF_DEVICEINTERFACE the GUID names a setup class: none here.
    if (flags == (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        for (auto& b : boards())
            if (!b->detached() && b->presents(*guid)) set->push_back(b->path_for(*guid));
    }
    return track(set, Kind::Set);
}

BOOL WINAPI enum_interfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                            PSP_DEVICE_INTERFACE_DATA data) {
    if (!enter("SetupDiEnumDeviceInterfaces")) return FALSE;
    if (data->cbSize != sizeof *data) return fail(kErrorInvalidParameter);
    if (index >= static_cast<DeviceSet*>(set)->size()) return fail(kErrorNoMoreItems);
    data->InterfaceClassGuid = *guid;
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI interface_detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                             PSP_DEVINFO_DATA) {
    if (!enter("SetupDiGetDeviceInterfaceDetailA")) return FALSE;
    const std::string& path = static_cast<DeviceSet*>(set)->at(data->Reserved);
    DWORD need = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1;
    if (required) *required = need;
    if (!detail && size != 0) return fail(kErrorInvalidParameter);
    if (size < need) return fail(kErrorInsufficientBuffer);
    if (detail->cbSize != sizeof *detail) return fail(1784);  // ERROR_INVALID_USER_BUFFER
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL WINAPI destroy_list(HDEVINFO set) {
    if (!release(set, Kind::Set)) return fail(kErrorInvalidHandle);
    delete static_cast<DeviceSet*>(set);
    return TRUE;
}

// ---- files and events ----

HANDLE WINAPI create_file(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                          DWORD disposition, DWORD flags, HANDLE) {
    if (!enter("CreateFileA")) return INVALID_HANDLE_VALUE;
    const DWORD rw = GENERIC_READ | GENERIC_WRITE;
    if (access != rw || share != (FILE_SHARE_READ | FILE_SHARE_WRITE) ||
        disposition != OPEN_EXISTING || !(flags & FILE_FLAG_OVERLAPPED)) {
        SetLastError(kErrorInvalidParameter);
        return INVALID_HANDLE_VALUE;
    }
    for (auto& b : boards()) {
        for (const GUID* g : {&GUID_DEVINTERFACE_HX4104, &GUID_DFU_MAIN_INTERFACE}) {
            if (!b->detached() && b->presents(*g) && _stricmp(b->path_for(*g).c_str(), path) == 0)
                return track(
                    new Opened{b, b->generation(), 0, static_cast<uint8_t>(b->interface_for(*g))},
                    Kind::File);
        }
    }
    SetLastError(kErrorFileNotFound);
    return INVALID_HANDLE_VALUE;
}

HANDLE WINAPI create_event(LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL initial, LPCSTR name) {
    HANDLE e = CreateEventA(sa, manual, initial, name);
    return e ? track(e, Kind::Event) : nullptr;
}

BOOL WINAPI close_handle(HANDLE h) {
    if (release(h, Kind::File))
        delete static_cast<Opened*>(h);
    else if (release(h, Kind::Event))
        CloseHandle(h);
    else
        return fail(kErrorInvalidHandle);
    return TRUE;
}

// ---- WinUSB ----

// The board behind a handle of `kind`, or null with the error set.
Opened* usb(void* h, const char* function, Kind kind = Kind::Usb) {
    if (!enter(function)) return nullptr;
    std::lock_guard lk(g_state->mu);
    auto it = g_state->objects.find(h);
    if (it != g_state->objects.end() && it->second == kind) return static_cast<Opened*>(h);
    SetLastError(kErrorInvalidHandle);
    return nullptr;
}

BOOL WINAPI initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE out) {
    Opened* f = usb(file, "WinUsb_Initialize", Kind::File);
    if (!f) return FALSE;
    if (f->board->detached() || f->board->generation() != f->generation)
        return fail(kErrorBadCommand);
    *out = track(new Opened{f->board, f->generation, f->board->open_session(), f->interface},
                 Kind::Usb);
    return TRUE;
}

BOOL WINAPI free_usb(WINUSB_INTERFACE_HANDLE h) {
    if (!release(h, Kind::Usb)) return TRUE;
    auto* o = static_cast<Opened*>(h);
    o->board->cancel(o->session, 0);
    delete o;
    return TRUE;
}

BOOL WINAPI write_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR ep, PUCHAR buf, ULONG len, PULONG n,
                       LPOVERLAPPED ov) {
    Opened* o = usb(h, "WinUsb_WritePipe");
    if (!o) return FALSE;
    if (ov) return fail(kErrorInvalidParameter);  // the library writes synchronously
    uint32_t e = o->board->bulk_out(o->generation, ep, buf, len);
    *n = e == kErrorSuccess ? len : 0;
    return finish(e);
}

BOOL WINAPI read_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR ep, PUCHAR buf, ULONG len, PULONG n,
                      LPOVERLAPPED ov) {
    Opened* o = usb(h, "WinUsb_ReadPipe");
    if (!o) return FALSE;
    if (!ov) {
        uint32_t got = 0;
        uint32_t e = o->board->bulk_in(o->generation, o->session, ep, buf, len, &got);
        *n = got;
        return finish(e);
    }
    uint32_t e = o->board->stream_submit(o->generation, o->session, ep, buf, len);
    if (e == kErrorIoPending) {
        std::lock_guard lk(g_state->mu);
        g_state->reads[ov] = Read{o, ep};
        ov->Internal = kStatusPending;
    }
    return fail(e);
}

BOOL WINAPI overlapped_result(WINUSB_INTERFACE_HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait) {
    if (!usb(h, "WinUsb_GetOverlappedResult")) return FALSE;
    Read r;
    {
        std::lock_guard lk(g_state->mu);
        auto it = g_state->reads.find(ov);
        if (it == g_state->reads.end()) return fail(kErrorInvalidParameter);
        r = it->second;
    }
    uint32_t got = 0;
    uint32_t e =
        r.first->board->stream_wait(r.first->generation, r.first->session, r.second, wait, &got);
    *n = got;
    if (e != kErrorIoIncomplete) {
        std::lock_guard lk(g_state->mu);
        g_state->reads.erase(ov);
        ov->Internal = e;
    }
    return finish(e);
}

// Ends the read posted with `ov` with 995 and signals its event, as a
// cancelled I/O completes.
BOOL WINAPI cancel_io_ex(HANDLE file, LPOVERLAPPED ov) {
    if (!usb(file, "CancelIoEx", Kind::File)) return FALSE;
    Read r;
    {
        std::lock_guard lk(g_state->mu);
        auto it = g_state->reads.find(ov);
        if (it == g_state->reads.end()) return fail(1168);  // ERROR_NOT_FOUND
        r = it->second;
    }
    r.first->board->cancel(r.first->session, r.second);
    SetEvent(ov->hEvent);
    return TRUE;
}

BOOL WINAPI abort_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR ep) {
    Opened* o = usb(h, "WinUsb_AbortPipe");
    return o && finish(o->board->abort_pipe(o->generation, o->session, ep));
}

BOOL WINAPI flush_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR ep) {
    Opened* o = usb(h, "WinUsb_FlushPipe");
    return o && finish(o->board->flush_pipe(o->generation, ep));
}

BOOL WINAPI control_transfer(WINUSB_INTERFACE_HANDLE h, WINUSB_SETUP_PACKET p, PUCHAR buf,
                             ULONG len, PULONG n, LPOVERLAPPED) {
    Opened* o = usb(h, "WinUsb_ControlTransfer");
    if (!o) return FALSE;
    // WinUSB sends a standard or class request to an interface to the
    // handle's own interface.
    if ((p.RequestType & 0x1F) == 1 && (p.RequestType & 0x60) != 0x40)
        p.Index = static_cast<USHORT>((p.Index & 0xFF00) | o->interface);
    SetupPacket s{p.RequestType, p.Request, p.Value, p.Index, p.Length};
    uint32_t done = 0;
    uint32_t e = o->board->control(o->generation, s, buf, len, &done);
    *n = done;
    return finish(e);
}

BOOL WINAPI get_descriptor(WINUSB_INTERFACE_HANDLE h, UCHAR type, UCHAR index, USHORT lang,
                           PUCHAR buf, ULONG len, PULONG n) {
    Opened* o = usb(h, "WinUsb_GetDescriptor");
    if (!o) return FALSE;
    uint32_t done = 0;
    uint32_t e = o->board->get_descriptor(o->generation, type, index, lang, buf, len, &done);
    *n = done;
    return finish(e);
}

const WinUsbApi kEmulatedApi = {.SetupDiGetClassDevsA = get_class_devs,
                                .SetupDiEnumDeviceInterfaces = enum_interfaces,
                                .SetupDiGetDeviceInterfaceDetailA = interface_detail,
                                .SetupDiDestroyDeviceInfoList = destroy_list,
                                .LocalAlloc = LocalAlloc,
                                .LocalFree = LocalFree,
                                .CreateFileA = create_file,
                                .CloseHandle = close_handle,
                                .CreateEventA = create_event,
                                .CancelIoEx = cancel_io_ex,
                                .WinUsb_Initialize = initialize,
                                .WinUsb_Free = free_usb,
                                .WinUsb_WritePipe = write_pipe,
                                .WinUsb_ReadPipe = read_pipe,
                                .WinUsb_GetOverlappedResult = overlapped_result,
                                .WinUsb_AbortPipe = abort_pipe,
                                .WinUsb_FlushPipe = flush_pipe,
                                .WinUsb_ControlTransfer = control_transfer,
                                .WinUsb_GetDescriptor = get_descriptor};

}  // namespace

WinUsbEmulator::WinUsbEmulator() {
    g_state = new State;
    winusb_api() = kEmulatedApi;
}

WinUsbEmulator::~WinUsbEmulator() {
    winusb_api() = winusb_system_api();
    delete g_state;
    g_state = nullptr;
}

std::shared_ptr<sim::Board> WinUsbEmulator::plug(dirov_sim_face face, const char* serial) {
    dirov_sim_config cfg;
    dirov_sim_config_init(&cfg);
    cfg.face = face;
    if (serial) cfg.serial = serial;
    std::lock_guard lk(g_state->mu);
    auto b = std::make_shared<sim::Board>(static_cast<int>(g_state->boards.size()), cfg);
    g_state->boards.push_back(b);
    return b;
}

void WinUsbEmulator::fail_next(const std::string& function, uint32_t error) {
    std::lock_guard lk(g_state->mu);
    g_state->faults[function] = error;
}

void WinUsbEmulator::on_next(const std::string& function, std::function<void()> hook) {
    std::lock_guard lk(g_state->mu);
    g_state->hooks[function] = std::move(hook);
}

int WinUsbEmulator::open_objects() const {
    std::lock_guard lk(g_state->mu);
    return static_cast<int>(g_state->objects.size());
}

}  // namespace dirov::test
