// Transfers of the libusb backend: opening what discovery found, the
// synchronous transfers and the read-ahead queues of streaming reads.
// Every operation reports the Windows error code WinUSB would give.
//
// Events are handled on whichever thread waits (libusb's own scheme for
// several waiting threads), so an idle library runs no thread of its own.

#include <libusb.h>

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

#include "device/backends/libusb/libusb_backend.h"
#include "device/backends/libusb/libusb_errors.h"
#include "device/backends/libusb/usb_path.h"
#include "device/transport.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace dirov {
namespace {

using namespace libusb_backend;

// WinUSB's default time-out on the control pipe.
constexpr unsigned kControlTimeoutMs = 5000;
// Streaming reads kept queued on an IN endpoint so the bus never idles
// while the caller handles a completed read; DIROV410_READ_AHEAD (1 to 16)
// overrides it for a stream opened after it is set.
constexpr size_t kReadAhead = 6;
constexpr size_t kMaxReadAhead = 16;

// ---- opened devices and streaming ----

struct Stream;

struct Slot {
    enum class State { kIdle, kInFlight, kDone };
    Stream* stream = nullptr;
    libusb_transfer* transfer = nullptr;
    std::vector<uint8_t> data;
    State state = State::kIdle;
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
    slot.state = Slot::State::kDone;
    --s.in_flight;
    wake_locked(s);
}

void cancel_locked(Stream& s) {
    for (Slot* slot : s.order)
        if (slot->state == Slot::State::kInFlight) libusb_cancel_transfer(slot->transfer);
}

// Keeps every idle slot queued on the endpoint, in order.
void refill_locked(Stream& s) {
    if (s.failure != kErrorSuccess || s.closed) return;
    for (auto& slot : s.slots) {
        if (slot->state != Slot::State::kIdle) continue;
        slot->data.resize(s.length);
        slot->served = 0;
        libusb_fill_bulk_transfer(slot->transfer, s.handle, s.ep, slot->data.data(),
                                  static_cast<int>(s.length), on_stream_transfer, slot.get(), 0);
        int r = libusb_submit_transfer(slot->transfer);
        if (r != LIBUSB_SUCCESS) {
            s.failure = win_error_from_libusb(r);
            return;
        }
        slot->state = Slot::State::kInFlight;
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
    while (!s.order.empty() && s.order.front()->state == Slot::State::kDone &&
           s.order.front()->status == LIBUSB_TRANSFER_CANCELLED) {
        s.order.front()->state = Slot::State::kIdle;
        s.order.pop_front();
    }
}

// A read shorter than the transfer takes its start; the rest stays at the
// head of the queue for the next read.
uint32_t serve_locked(Stream& s, uint32_t* done) {
    drop_cancelled_locked(s);
    if (s.order.empty()) return s.failure != kErrorSuccess ? s.failure : kErrorIoPending;
    Slot& slot = *s.order.front();
    if (slot.state != Slot::State::kDone) return kErrorIoPending;
    s.posted = false;
    uint32_t e = win_error_from_transfer(slot.status);
    *done = e == kErrorSuccess ? std::min(slot.actual - slot.served, s.len) : 0;
    if (*done) std::memcpy(s.buf, slot.data.data() + slot.served, *done);
    slot.served += *done;
    if (e == kErrorSuccess && slot.served < slot.actual) return kErrorSuccess;
    s.order.pop_front();
    slot.state = Slot::State::kIdle;
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
    return find_path(guid, index, path);
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
    *stage = OpenStage::kFile;
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
    *stage = OpenStage::kInterface;
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
        if (slot->state == Slot::State::kDone)
            slot->state = Slot::State::kIdle;
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
    .name = "libusb",
    .active = lu_active,
    .find_path = lu_find_path,
    .open = lu_open,
    .close = lu_close,
    .bulk_write = lu_bulk_write,
    .bulk_read = lu_bulk_read,
    .stream_submit = lu_stream_submit,
    .stream_wait = lu_stream_wait,
    .abort_pipe = lu_abort_pipe,
    .flush_pipe = lu_flush_pipe,
    .control_transfer = lu_control,
    .get_descriptor = lu_get_descriptor,
    .cancel = lu_cancel,
};

}  // namespace dirov
