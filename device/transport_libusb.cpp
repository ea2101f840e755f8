// Real USB through libusb-1.0. Discovery matches device-interface GUIDs the
// way Windows does (MS OS 2.0 descriptors from the BOS, then MS OS 1.0
// extended properties, then the DIROV410_GUID_MAP environment variable), and
// every operation reports the Windows error code WinUSB would give.
// Paths name the port (usb_path.h).
//
// Events are handled on whichever thread waits (libusb's own scheme for
// several waiting threads), so an idle library runs no thread of its own.
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device/libusb_errors.h"
#include "device/log.h"
#include "device/msos_descriptors.h"
#include "device/platform.h"
#include "device/transport.h"
#include "device/usb_path.h"

namespace dirov {
namespace {

// WinUSB's default time-out on the control pipe.
constexpr unsigned kControlTimeoutMs = 5000;
// Descriptor requests while looking for the board.
constexpr unsigned kDiscoveryTimeoutMs = 300;
// The Linux usbfs refuses control transfers with a longer data stage.
constexpr uint32_t kControlMaxLength = 4096;
// Streaming reads kept queued on an IN endpoint so the bus never idles
// while the caller handles a completed read; DIROV410_READ_AHEAD (1 to 16)
// overrides it for a stream opened after it is set.
constexpr size_t kReadAhead = 6;
constexpr size_t kMaxReadAhead = 16;
constexpr int kMaxPortDepth = 7;

// ---- context ----

struct ContextState {
    libusb_context* ctx = nullptr;
    int error = LIBUSB_SUCCESS;
};

// One context for the process, made on first use and kept: the library has
// no unload hook, and devices opened later share its event handling.
const ContextState& context() {
    static ContextState* state = [] {
        auto* s = new ContextState;
        s->error = libusb_init(&s->ctx);
        if (s->error != LIBUSB_SUCCESS) s->ctx = nullptr;
        return s;
    }();
    return *state;
}

// Why no board can be reached, said the way Linux puts it rather than as a
// missing Windows driver: no usbfs at all (at each discovery that finds
// nothing, which then ends at once), or a device node the user may not open
// (once per device and process, not at every retry of a discovery).
void report_no_usbfs(int error) {
    if (access("/dev/bus/usb", F_OK) != 0)
        DIROV_LOG_E(
            "No USB access: /dev/bus/usb does not exist (no usbfs; a container needs the "
            "host's /dev/bus/usb)\n");
    else if (error != LIBUSB_SUCCESS)
        DIROV_LOG_E("No USB access: libusb cannot start: %s\n", libusb_strerror(error));
}

void report_no_permission(libusb_device* dev) {
    static std::mutex mu;
    static std::set<std::pair<int, int>> said;
    int bus = libusb_get_bus_number(dev), address = libusb_get_device_address(dev);
    std::lock_guard lk(mu);
    if (!said.insert({bus, address}).second) return;
    libusb_device_descriptor dd{};
    libusb_get_device_descriptor(dev, &dd);
    DIROV_LOG_E(
        "Permission denied opening USB device %04x:%04x (/dev/bus/usb/%03d/%03d): "
        "install the udev rule 70-dirov410.rules for these ids\n",
        dd.idVendor, dd.idProduct, bus, address);
}

// ---- discovery ----

using DeviceList = std::unique_ptr<libusb_device*, void (*)(libusb_device**)>;

DeviceList device_list(libusb_context* ctx, ssize_t& count) {
    libusb_device** list = nullptr;
    count = libusb_get_device_list(ctx, &list);
    return DeviceList(count < 0 ? nullptr : list,
                      [](libusb_device** l) { libusb_free_device_list(l, 1); });
}

bool contains(const std::vector<GUID>& guids, const GUID& g) {
    return std::any_of(guids.begin(), guids.end(), [&](const GUID& x) { return guid_equal(x, g); });
}

// Bus and port path, e.g. "1-2.3".
std::string location(libusb_device* dev) {
    uint8_t ports[kMaxPortDepth];
    int n = libusb_get_port_numbers(dev, ports, kMaxPortDepth);
    std::string s = std::to_string(libusb_get_bus_number(dev)) + "-";
    if (n <= 0) return s + "0";
    for (int i = 0; i < n; ++i) {
        if (i) s.push_back('.');
        s.append(std::to_string(ports[i]));
    }
    return s;
}

int active_configuration(libusb_device* dev) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != LIBUSB_SUCCESS) return 1;
    int value = cfg->bConfigurationValue;
    libusb_free_config_descriptor(cfg);
    return value;
}

// The descriptor requests of one look at a device's Microsoft OS
// descriptors, with a short time-out: a device that does not answer at once
// is not the board, and must not stretch the callers' retry budgets. Any
// failure other than a stall leaves the outcome open (`unsure`).
struct Probe {
    libusb_device_handle* h;
    bool unsure = false;

    int control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                size_t len) {
        int r = libusb_control_transfer(h, type, request, value, index, data,
                                        static_cast<uint16_t>(len), kDiscoveryTimeoutMs);
        if (r < 0 && r != LIBUSB_ERROR_PIPE) unsure = true;
        return r;
    }
    int descriptor(uint8_t type, uint8_t index, uint16_t lang, uint8_t* data, size_t len) {
        return control(LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                       static_cast<uint16_t>(type << 8 | index), lang, data, len);
    }
};

bool read_bos(Probe& p, std::vector<uint8_t>& bos) {
    uint8_t head[5];
    if (p.descriptor(LIBUSB_DT_BOS, 0, 0, head, sizeof head) != sizeof head) return false;
    size_t total = static_cast<size_t>(head[2] | head[3] << 8);
    if (total < sizeof head || total > kControlMaxLength) return false;
    bos.resize(total);
    return p.descriptor(LIBUSB_DT_BOS, 0, 0, bos.data(), total) == static_cast<int>(total);
}

bool ms20_function(Probe& p, const GUID& guid, int& interface) {
    std::vector<uint8_t> bos;
    msos::Ms20Capability cap;
    if (!read_bos(p, bos) || !msos::find_ms20_capability(bos.data(), bos.size(), cap)) return false;
    if (cap.set_length > kControlMaxLength) return false;
    std::vector<uint8_t> set(cap.set_length);
    int r = p.control(0xC0, cap.vendor_code, 0, msos::kMs20DescriptorIndex, set.data(), set.size());
    std::vector<msos::FunctionGuids> functions;
    if (r < 0 || !msos::parse_ms20_set(set.data(), static_cast<size_t>(r), functions)) return false;
    for (const auto& f : functions) {
        if (!contains(f.guids, guid)) continue;
        interface = f.interface < 0 ? 0 : f.interface;
        return true;
    }
    return false;
}

bool ms10_interface_has(Probe& p, uint8_t code, int iface, const GUID& guid) {
    uint8_t head[10];
    uint16_t value = static_cast<uint16_t>(iface << 8);
    int r = p.control(0xC1, code, value, msos::kMs10ExtendedPropertiesIndex, head, sizeof head);
    if (r != sizeof head) return false;
    uint32_t total = static_cast<uint32_t>(head[0] | head[1] << 8 | head[2] << 16 | head[3] << 24);
    if (total < sizeof head || total > kControlMaxLength) return false;
    std::vector<uint8_t> d(total);
    r = p.control(0xC1, code, value, msos::kMs10ExtendedPropertiesIndex, d.data(), d.size());
    std::vector<GUID> guids;
    return r > 0 && msos::parse_ms10_properties(d.data(), static_cast<size_t>(r), guids) &&
           contains(guids, guid);
}

bool ms10_function(Probe& p, const libusb_config_descriptor& cfg, const GUID& guid,
                   int& interface) {
    uint8_t s[18];
    uint8_t code = 0;
    int r = p.descriptor(LIBUSB_DT_STRING, msos::kMs10StringIndex, 0, s, sizeof s);
    if (r < static_cast<int>(sizeof s) || !msos::parse_ms10_string(s, sizeof s, code)) return false;
    for (int i = 0; i < cfg.bNumInterfaces; ++i) {
        if (cfg.interface[i].num_altsetting < 1) continue;
        int number = cfg.interface[i].altsetting[0].bInterfaceNumber;
        if (!ms10_interface_has(p, code, number, guid)) continue;
        interface = number;
        return true;
    }
    return false;
}

bool mapped_function(const libusb_device_descriptor& dd, const GUID& guid, int& interface) {
    const char* text = std::getenv("DIROV410_GUID_MAP");
    std::vector<msos::GuidMapEntry> map;
    if (!text || !msos::parse_guid_map(text, map)) return false;
    for (const auto& e : map) {
        if (!guid_equal(e.guid, guid) || e.vendor_id != dd.idVendor || e.product_id != dd.idProduct)
            continue;
        interface = e.interface;
        return true;
    }
    return false;
}

// WinUSB serves vendor-specific interfaces, and the board's bootloader
// shows a DFU interface: only devices with one of these can be the board.
bool has_board_interface(const libusb_config_descriptor& cfg) {
    for (int i = 0; i < cfg.bNumInterfaces; ++i) {
        for (int a = 0; a < cfg.interface[i].num_altsetting; ++a) {
            const libusb_interface_descriptor& d = cfg.interface[i].altsetting[a];
            if (d.bInterfaceClass == LIBUSB_CLASS_VENDOR_SPEC ||
                (d.bInterfaceClass == LIBUSB_CLASS_APPLICATION && d.bInterfaceSubClass == 1))
                return true;
        }
    }
    return false;
}

using ConfigPtr = std::unique_ptr<libusb_config_descriptor, void (*)(libusb_config_descriptor*)>;

// The active configuration as the system cached it at enumeration: reading
// it sends nothing to the device.
ConfigPtr cached_config(libusb_device* dev) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_active_config_descriptor(dev, &cfg) != LIBUSB_SUCCESS) cfg = nullptr;
    return ConfigPtr(cfg, libusb_free_config_descriptor);
}

// Devices that were read and found not to present a GUID, for the life of
// the process, so that retries never ask them again. The key holds the
// address and release numbers besides the port, so a device that
// re-enumerates (the board changing face) or a new device on the same port
// is read afresh.
class Unmatched {
   public:
    static std::string key(libusb_device* dev, const libusb_device_descriptor& dd,
                           const GUID& guid) {
        char ids[48];
        std::snprintf(ids, sizeof ids, "@%u/%04x:%04x:%04x:%04x#", libusb_get_device_address(dev),
                      dd.idVendor, dd.idProduct, dd.bcdDevice, dd.bcdUSB);
        return location(dev) + ids + guid_text(guid);
    }
    bool has(const std::string& k) {
        std::lock_guard lk(mu_);
        return keys_.count(k) != 0;
    }
    void add(const std::string& k) {
        std::lock_guard lk(mu_);
        keys_.insert(k);
    }

   private:
    std::mutex mu_;
    std::set<std::string> keys_;
};

Unmatched& unmatched() {
    static Unmatched* u = new Unmatched;  // kept: the library has no unload hook
    return *u;
}

// Reads the device's Microsoft OS descriptors through `h` for `guid`.
bool read_function(libusb_device_handle* h, const libusb_device_descriptor& dd,
                   const libusb_config_descriptor& cfg, const GUID& guid, int& interface,
                   bool& unsure) {
    Probe p{h};
    bool found = (dd.bcdUSB >= 0x0201 && ms20_function(p, guid, interface)) ||
                 ms10_function(p, cfg, guid, interface);
    unsure = p.unsure;
    return found;
}

// Whether `dev` presents `guid`, and on which interface. Uses `h` when
// given, otherwise opens the device for the descriptor requests; only
// devices with a vendor-specific or DFU interface are opened, and each at
// most once per GUID that it turned out not to present.
bool presents(libusb_device* dev, libusb_device_handle* h, const GUID& guid, int& interface) {
    libusb_device_descriptor dd;
    if (libusb_get_device_descriptor(dev, &dd) != LIBUSB_SUCCESS) return false;
    if (mapped_function(dd, guid, interface)) return true;
    ConfigPtr cfg = cached_config(dev);
    if (!cfg || !has_board_interface(*cfg)) return false;
    std::string key = Unmatched::key(dev, dd, guid);
    if (unmatched().has(key)) return false;
    libusb_device_handle* own = nullptr;
    if (!h) {
        int r = libusb_open(dev, &own);
        if (r == LIBUSB_ERROR_ACCESS) report_no_permission(dev);
        if (r != LIBUSB_SUCCESS) return false;  // not ours to read
    }
    bool unsure = false;
    bool found = read_function(h ? h : own, dd, *cfg, guid, interface, unsure);
    if (own) libusb_close(own);
    if (!found && !unsure) unmatched().add(key);
    return found;
}

std::string make_path(libusb_device* dev, int interface, const GUID& guid) {
    return format_usb_path(location(dev), active_configuration(dev), interface, guid);
}

uint32_t usb_find_path_impl(const GUID& guid, uint32_t index, std::string& path) {
    const ContextState& c = context();
    // No usbfs at all on this machine: no board can be present.
    if (!c.ctx) {
        report_no_usbfs(c.error);
        return c.error == LIBUSB_ERROR_OTHER ? kErrorNoMoreItems : win_error_from_libusb(c.error);
    }
    ssize_t n = 0;
    DeviceList list = device_list(c.ctx, n);
    if (n < 0) return win_error_from_libusb(static_cast<int>(n));
    for (ssize_t i = 0; i < n; ++i) {
        int interface = 0;
        if (!presents(list.get()[i], nullptr, guid, interface) || index-- != 0) continue;
        path = make_path(list.get()[i], interface, guid);
        return kErrorSuccess;
    }
    report_no_usbfs(LIBUSB_SUCCESS);
    return kErrorNoMoreItems;
}

// ---- opened devices and streaming ----

struct Stream;

struct Slot {
    enum class State { Idle, InFlight, Done };
    Stream* stream = nullptr;
    libusb_transfer* transfer = nullptr;
    std::vector<uint8_t> data;
    State state = State::Idle;
    int status = LIBUSB_TRANSFER_COMPLETED;
    uint32_t actual = 0;
    uint32_t served = 0;  // bytes already handed to shorter reads
};

size_t read_ahead_depth() {
    const char* text = std::getenv("DIROV410_READ_AHEAD");
    long n = text ? std::strtol(text, nullptr, 10) : 0;
    return n >= 1 && n <= static_cast<long>(kMaxReadAhead) ? static_cast<size_t>(n) : kReadAhead;
}

// The read-ahead queue of one IN endpoint and the one read posted on it.
struct Stream {
    libusb_device_handle* handle = nullptr;
    uint8_t ep = 0;
    std::mutex mu;
    size_t depth = kReadAhead;
    std::vector<std::unique_ptr<Slot>> slots;
    std::deque<Slot*> order;  // submitted and not yet served, oldest first
    uint32_t length = 0;      // of every queued transfer
    size_t in_flight = 0;
    uint32_t failure = 0;  // why the queue could not be refilled
    bool posted = false;
    bool aborted = false;
    bool closed = false;  // the device is being closed: nothing is submitted any more
    uint8_t* buf = nullptr;
    uint32_t len = 0;
    int wake = 0;  // libusb's completion flag for waiters; set under mu
};

// Bytes of a synchronous IN transfer beyond what its read asked for, kept
// for the next read of that endpoint as WinUSB keeps them.
struct HeldBytes {
    std::vector<uint8_t> bytes;
    size_t at = 0;
};

struct UsbDevice {
    libusb_device_handle* handle = nullptr;
    int interface = 0;
    std::mutex mu;
    bool closed = false;    // under mu
    bool released = false;  // the interface, under mu
    std::map<uint8_t, std::unique_ptr<Stream>> streams;
    std::map<uint8_t, HeldBytes> held;  // guarded by mu
    // Synchronous transfers in flight, where abort_pipe and cancel reach
    // them: a read given up by its caller must not take the next reply.
    std::set<libusb_transfer*> sync;  // guarded by mu
};

UsbDevice& device(BackendDevice dev) {
    return *static_cast<UsbDevice*>(dev);
}

void wake_locked(Stream& s) {
    std::atomic_ref<int>(s.wake).store(1);
}

void LIBUSB_CALL on_stream_transfer(libusb_transfer* t) {
    Slot& slot = *static_cast<Slot*>(t->user_data);
    Stream& s = *slot.stream;
    std::lock_guard lk(s.mu);
    slot.status = t->status;
    slot.actual = static_cast<uint32_t>(std::max(0, t->actual_length));
    slot.state = Slot::State::Done;
    --s.in_flight;
    wake_locked(s);
}

void cancel_locked(Stream& s) {
    for (Slot* slot : s.order)
        if (slot->state == Slot::State::InFlight) libusb_cancel_transfer(slot->transfer);
}

// Keeps every idle slot queued on the endpoint, in order.
void refill_locked(Stream& s) {
    if (s.failure != kErrorSuccess || s.closed) return;
    for (auto& slot : s.slots) {
        if (slot->state != Slot::State::Idle) continue;
        slot->data.resize(s.length);
        slot->served = 0;
        libusb_fill_bulk_transfer(slot->transfer, s.handle, s.ep, slot->data.data(),
                                  static_cast<int>(s.length), on_stream_transfer, slot.get(), 0);
        int r = libusb_submit_transfer(slot->transfer);
        if (r != LIBUSB_SUCCESS) {
            s.failure = win_error_from_libusb(r);
            return;
        }
        slot->state = Slot::State::InFlight;
        ++s.in_flight;
        s.order.push_back(slot.get());
    }
}

bool make_slots_locked(Stream& s) {
    while (s.slots.size() < s.depth) {
        auto slot = std::make_unique<Slot>();
        slot->stream = &s;
        slot->transfer = libusb_alloc_transfer(0);
        if (!slot->transfer) return false;
        s.slots.push_back(std::move(slot));
    }
    return true;
}

// Serves the oldest finished transfer into the posted read. kErrorIoPending
// while the oldest is still in flight.
void drop_cancelled_locked(Stream& s) {
    while (!s.order.empty() && s.order.front()->state == Slot::State::Done &&
           s.order.front()->status == LIBUSB_TRANSFER_CANCELLED) {
        s.order.front()->state = Slot::State::Idle;
        s.order.pop_front();
    }
}

// A read shorter than the transfer takes its start; the rest stays at the
// head of the queue for the next read.
uint32_t serve_locked(Stream& s, uint32_t* done) {
    drop_cancelled_locked(s);
    if (s.order.empty()) return s.failure != kErrorSuccess ? s.failure : kErrorIoPending;
    Slot& slot = *s.order.front();
    if (slot.state != Slot::State::Done) return kErrorIoPending;
    s.posted = false;
    uint32_t e = win_error_from_transfer(slot.status);
    *done = e == kErrorSuccess ? std::min(slot.actual - slot.served, s.len) : 0;
    if (*done) std::memcpy(s.buf, slot.data.data() + slot.served, *done);
    slot.served += *done;
    if (e == kErrorSuccess && slot.served < slot.actual) return kErrorSuccess;
    s.order.pop_front();
    slot.state = Slot::State::Idle;
    if (e == kErrorSuccess) refill_locked(s);
    return e;
}

Stream& stream(UsbDevice& d, uint8_t ep) {
    std::lock_guard lk(d.mu);
    auto& s = d.streams[ep];
    if (!s) {
        s = std::make_unique<Stream>();
        s->handle = d.handle;
        s->ep = ep;
        s->depth = read_ahead_depth();
        s->closed = d.closed;
    }
    return *s;
}

// Handles libusb events until `s.wake` is set (or once, without blocking).
void handle_events(Stream& s, bool block) {
    libusb_context* ctx = context().ctx;
    if (block) {
        libusb_handle_events_completed(ctx, &s.wake);
        return;
    }
    timeval zero{0, 0};
    libusb_handle_events_timeout_completed(ctx, &zero, &s.wake);
}

// Waits until no transfer of `s` is in flight; used before freeing them.
void drain(Stream& s) {
    for (;;) {
        {
            std::lock_guard lk(s.mu);
            if (s.in_flight == 0) return;
            std::atomic_ref<int>(s.wake).store(0);
        }
        handle_events(s, true);
    }
}

void LIBUSB_CALL on_sync_transfer(libusb_transfer* t) {
    std::atomic_ref<int>(*static_cast<int*>(t->user_data)).store(1);
}

// Cancels the synchronous transfers of `ep` (of every endpoint when 0).
void cancel_sync_locked(UsbDevice& d, uint8_t ep) {
    for (libusb_transfer* t : d.sync)
        if (ep == 0 || t->endpoint == ep) libusb_cancel_transfer(t);
}

// ---- operations ----

bool lu_active() {
    return true;
}

uint32_t lu_find_path(const GUID& guid, uint32_t index, std::string& path) {
    return usb_find_path_impl(guid, index, path);
}

libusb_device* device_at(libusb_device** list, ssize_t n, const std::string& loc) {
    for (ssize_t i = 0; i < n; ++i)
        if (location(list[i]) == loc) return list[i];
    return nullptr;
}

uint32_t claim(libusb_device_handle* h, int interface, BackendDevice* out) {
    libusb_set_auto_detach_kernel_driver(h, 1);
    int r = libusb_claim_interface(h, interface);
    if (r != LIBUSB_SUCCESS) return win_error_from_libusb(r);
    auto* d = new UsbDevice;
    d->handle = h;
    d->interface = interface;
    *out = d;
    return kErrorSuccess;
}

uint32_t lu_open(const char* path, BackendDevice* out, OpenStage* stage) {
    *stage = OpenStage::File;
    UsbPath pp;
    if (!parse_usb_path(path, pp)) return kErrorFileNotFound;
    const ContextState& c = context();
    if (!c.ctx) return kErrorFileNotFound;
    ssize_t n = 0;
    DeviceList list = device_list(c.ctx, n);
    if (n < 0) return win_error_from_libusb(static_cast<int>(n));
    libusb_device* dev = device_at(list.get(), n, pp.location);
    if (!dev) return kErrorFileNotFound;
    libusb_device_handle* h = nullptr;
    int r = libusb_open(dev, &h);
    if (r == LIBUSB_ERROR_ACCESS) report_no_permission(dev);
    if (r != LIBUSB_SUCCESS) return win_error_from_libusb(r);
    // Another device may sit on that port now.
    int interface = -1;
    if (!presents(dev, h, pp.guid, interface) || interface != pp.interface) {
        libusb_close(h);
        return kErrorFileNotFound;
    }
    *stage = OpenStage::Interface;
    uint32_t e = claim(h, interface, out);
    if (e != kErrorSuccess) libusb_close(h);
    return e;
}

// Ends the reads of `ep` (every endpoint when 0, and then for good, giving
// the interface up so that a reopen can claim it).
void lu_cancel(BackendDevice dev, uint8_t ep) {
    UsbDevice& d = device(dev);
    std::vector<Stream*> targets;
    {
        std::lock_guard lk(d.mu);
        if (ep == 0) d.closed = true;
        cancel_sync_locked(d, ep);
        for (auto& [e, s] : d.streams)
            if (ep == 0 || e == ep) targets.push_back(s.get());
    }
    for (Stream* s : targets) {
        {
            std::lock_guard lk(s->mu);
            s->closed = s->closed || ep == 0;
            s->aborted = s->posted;
            cancel_locked(*s);
            wake_locked(*s);
        }
        if (ep == 0) drain(*s);
    }
    if (ep != 0) return;
    std::lock_guard lk(d.mu);
    if (!std::exchange(d.released, true)) libusb_release_interface(d.handle, d.interface);
}

void lu_close(BackendDevice dev) {
    lu_cancel(dev, 0);
    UsbDevice* d = static_cast<UsbDevice*>(dev);
    for (auto& [ep, s] : d->streams)
        for (auto& slot : s->slots) libusb_free_transfer(slot->transfer);
    libusb_close(d->handle);
    delete d;
}

uint32_t sync_bulk(BackendDevice dev, uint8_t ep, uint8_t* buf, uint32_t len, uint32_t* done) {
    *done = 0;
    if (len > INT_MAX || (!buf && len)) return kErrorInvalidParameter;
    UsbDevice& d = device(dev);
    libusb_transfer* t = libusb_alloc_transfer(0);
    if (!t) return kErrorNotEnoughMemory;
    int completed = 0;
    libusb_fill_bulk_transfer(t, d.handle, ep, buf, static_cast<int>(len), on_sync_transfer,
                              &completed, 0);
    uint32_t e = kErrorInvalidHandle;  // once the device is being closed
    {
        std::lock_guard lk(d.mu);
        if (!d.closed) e = win_error_from_libusb(libusb_submit_transfer(t));
        if (e == kErrorSuccess) d.sync.insert(t);
    }
    if (e != kErrorSuccess) {
        libusb_free_transfer(t);
        return e;
    }
    while (!std::atomic_ref<int>(completed).load())
        libusb_handle_events_completed(context().ctx, &completed);
    {
        std::lock_guard lk(d.mu);
        d.sync.erase(t);
    }
    *done = static_cast<uint32_t>(std::max(0, t->actual_length));
    e = win_error_from_transfer(t->status);
    libusb_free_transfer(t);
    return e;
}

uint32_t lu_bulk_write(BackendDevice dev, uint8_t ep, const uint8_t* buf, uint32_t len,
                       uint32_t* done) {
    // libusb's OUT transfers never write to the buffer.
    return sync_bulk(dev, ep & 0x7F, const_cast<uint8_t*>(buf), len, done);
}

bool take_held(UsbDevice& d, uint8_t ep, uint8_t* buf, uint32_t len, uint32_t* done) {
    std::lock_guard lk(d.mu);
    auto it = d.held.find(ep);
    if (it == d.held.end()) return false;
    HeldBytes& h = it->second;
    *done = static_cast<uint32_t>(std::min<size_t>(len, h.bytes.size() - h.at));
    if (*done) std::memcpy(buf, h.bytes.data() + h.at, *done);
    h.at += *done;
    if (h.at == h.bytes.size()) d.held.erase(it);
    return true;
}

void keep_held(UsbDevice& d, uint8_t ep, std::vector<uint8_t>&& bytes, size_t at) {
    std::lock_guard lk(d.mu);
    d.held[ep] = HeldBytes{std::move(bytes), at};
}

// A read whose length is not a whole number of packets would overflow on a
// longer packet: it reads whole packets, and the excess waits for the next
// read.
uint32_t lu_bulk_read(BackendDevice dev, uint8_t ep, uint8_t* buf, uint32_t len, uint32_t* done) {
    *done = 0;
    ep |= 0x80;
    UsbDevice& d = device(dev);
    if (len > INT_MAX - 0xFFFF || (!buf && len)) return kErrorInvalidParameter;
    if (take_held(d, ep, buf, len, done)) return kErrorSuccess;
    int packet = libusb_get_max_packet_size(libusb_get_device(d.handle), ep);
    if (packet <= 0 || len % static_cast<uint32_t>(packet) == 0)
        return sync_bulk(dev, ep, buf, len, done);
    auto whole = static_cast<uint32_t>(packet) * (len / static_cast<uint32_t>(packet) + 1);
    std::vector<uint8_t> bytes(whole);
    uint32_t got = 0;
    uint32_t e = sync_bulk(dev, ep, bytes.data(), whole, &got);
    *done = std::min(got, len);
    if (*done) std::memcpy(buf, bytes.data(), *done);
    bytes.resize(got);
    if (got > len) keep_held(d, ep, std::move(bytes), len);
    return e;
}

uint32_t lu_stream_submit(BackendDevice dev, uint8_t ep, uint8_t* buf, uint32_t len,
                          uint32_t* done) {
    *done = 0;
    if (!buf || len == 0 || len > INT_MAX || !(ep & 0x80)) return kErrorInvalidParameter;
    Stream& s = stream(device(dev), ep);
    std::lock_guard lk(s.mu);
    if (s.closed) return kErrorInvalidHandle;
    if (s.posted) return kErrorInvalidParameter;
    if (!make_slots_locked(s)) return kErrorNotEnoughMemory;
    // Queued transfers keep the caller's length so that transfer
    // boundaries stay what a single read would see.
    drop_cancelled_locked(s);
    if (len != s.length && s.order.empty()) s.length = len;
    s.posted = true;
    s.aborted = false;
    s.buf = buf;
    s.len = len;
    refill_locked(s);
    uint32_t e = serve_locked(s, done);
    if (e == kErrorIoPending) return e;
    s.posted = false;
    return e;
}

uint32_t lu_stream_wait(BackendDevice dev, uint8_t ep, bool wait, uint32_t* done) {
    *done = 0;
    Stream& s = stream(device(dev), ep);
    bool polled = false;
    for (;;) {
        {
            std::lock_guard lk(s.mu);
            if (!s.posted) return kErrorInvalidParameter;
            if (s.aborted) {
                s.posted = false;
                s.aborted = false;
                return kErrorOperationAborted;
            }
            refill_locked(s);
            uint32_t e = serve_locked(s, done);
            if (e != kErrorIoPending) {
                s.posted = false;
                return e;
            }
            if (!wait && polled) return kErrorIoIncomplete;
            std::atomic_ref<int>(s.wake).store(0);
        }
        handle_events(s, wait);
        polled = true;
    }
}

uint32_t lu_abort_pipe(BackendDevice dev, uint8_t ep) {
    {
        std::lock_guard lk(device(dev).mu);
        cancel_sync_locked(device(dev), ep);
    }
    Stream& s = stream(device(dev), ep);
    std::lock_guard lk(s.mu);
    s.aborted = s.posted;
    cancel_locked(s);
    s.failure = kErrorSuccess;
    wake_locked(s);
    return kErrorSuccess;
}

uint32_t lu_flush_pipe(BackendDevice dev, uint8_t ep) {
    {
        std::lock_guard lk(device(dev).mu);
        device(dev).held.erase(ep);
    }
    Stream& s = stream(device(dev), ep);
    std::lock_guard lk(s.mu);
    std::deque<Slot*> kept;
    for (Slot* slot : s.order) {
        if (slot->state == Slot::State::Done)
            slot->state = Slot::State::Idle;
        else
            kept.push_back(slot);
    }
    s.order = std::move(kept);
    return kErrorSuccess;
}

uint32_t lu_control(BackendDevice dev, const SetupPacket& setup, uint8_t* buf, uint32_t len,
                    uint32_t* done) {
    *done = 0;
    uint32_t n = std::min<uint32_t>(len, setup.wLength);
    if (n > kControlMaxLength || (!buf && n)) return kErrorInvalidParameter;
    // The handle is bound to its interface, as a WinUSB handle is: a
    // standard or class request to an interface goes to that interface.
    uint16_t index = setup.wIndex;
    if ((setup.bmRequestType & 0x1F) == LIBUSB_RECIPIENT_INTERFACE &&
        (setup.bmRequestType & 0x60) != LIBUSB_REQUEST_TYPE_VENDOR)
        index = static_cast<uint16_t>((index & 0xFF00) | device(dev).interface);
    int r = libusb_control_transfer(device(dev).handle, setup.bmRequestType, setup.bRequest,
                                    setup.wValue, index, buf, static_cast<uint16_t>(n),
                                    kControlTimeoutMs);
    if (r < 0) return win_error_from_libusb(r);
    *done = static_cast<uint32_t>(r);
    return kErrorSuccess;
}

uint32_t lu_get_descriptor(BackendDevice dev, uint8_t type, uint8_t index, uint16_t lang,
                           uint8_t* buf, uint32_t len, uint32_t* done) {
    SetupPacket setup{LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                      static_cast<uint16_t>(type << 8 | index), lang,
                      static_cast<uint16_t>(std::min(len, kControlMaxLength))};
    return lu_control(dev, setup, buf, setup.wLength, done);
}

}  // namespace

const TransportOps usb_transport_ops = {
    "libusb",      lu_active,    lu_find_path,      lu_open,        lu_close,
    lu_bulk_write, lu_bulk_read, lu_stream_submit,  lu_stream_wait, lu_abort_pipe,
    lu_flush_pipe, lu_control,   lu_get_descriptor, lu_cancel,
};

}  // namespace dirov
