// The USB transport seam. Everything that reaches the board goes through one
// TransportOps table; backends (libusb, WinUSB, the simulated board) fill it,
// and the one in use is chosen at run time (transport_for_discovery). Nothing
// above this header knows which backend runs, and this layer names no backend
// above it: those install themselves (transport_register).
//
// Every operation returns a Windows error code: 0 on success, otherwise the
// code the library prints or tests (see platform.h). The callers in usb.h
// turn these into BOOL results plus the thread's last-error code.
#pragma once

#include <cstdint>
#include <string>

#include "dirov410.h"

namespace dirov {

struct SetupPacket {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

// Which step of opening failed: the file open or the interface claim.
enum class OpenStage { kFile, kInterface };

// A backend's opened device; each backend defines what it points to.
using BackendDevice = void*;

struct TransportOps {
    const char* name;

    // True while this backend should serve discovery (the simulated one only
    // while a board is attached). Never blocks.
    bool (*active)();

    // Path of the `index`-th present interface of `guid` (0 is the first),
    // in enumeration order. Blocks on bus enumeration only. Returns 0, 259
    // (ERROR_NO_MORE_ITEMS) when fewer than index+1 interfaces of the GUID
    // are present, or another error.
    uint32_t (*find_path)(const GUID& guid, uint32_t index, std::string& path);

    // Opens the interface named by `path` for every transfer below. On
    // failure *stage says whether the device (File) or the interface
    // (Interface) could not be opened; nothing stays open.
    uint32_t (*open)(const char* path, BackendDevice* dev, OpenStage* stage);

    // Frees the device once no call on it runs any more (cancel(dev, 0)
    // came first). Never fails.
    void (*close)(BackendDevice dev);

    // Synchronous bulk OUT. Blocks until the bytes went out. *done: bytes sent.
    uint32_t (*bulk_write)(BackendDevice dev, uint8_t ep, const uint8_t* buf, uint32_t len,
                           uint32_t* done);

    // Synchronous bulk IN of one transfer of at most `len` bytes. Waits
    // without time-out until the board sends. *done: bytes received.
    uint32_t (*bulk_read)(BackendDevice dev, uint8_t ep, uint8_t* buf, uint32_t len,
                          uint32_t* done);

    // Posts the streaming read of one transfer into `buf` (one per endpoint
    // at a time). Returns 0 with *done set when it completed at once, 997
    // (ERROR_IO_PENDING) when it is in flight, or another error. Never
    // blocks for data. `buf` must stay valid until the read ends.
    uint32_t (*stream_submit)(BackendDevice dev, uint8_t ep, uint8_t* buf, uint32_t len,
                              uint32_t* done);

    // Waits for the posted read of `ep`. With `wait` true blocks until it
    // ends: 0 with *done set, 995 (ERROR_OPERATION_ABORTED) after
    // abort_pipe or close, or another error. With `wait` false returns 996
    // (ERROR_IO_INCOMPLETE) while it is still in flight.
    uint32_t (*stream_wait)(BackendDevice dev, uint8_t ep, bool wait, uint32_t* done);

    // Cancels the read in flight on `ep`; callable from any thread while
    // another thread blocks in stream_wait, which then returns 995.
    uint32_t (*abort_pipe)(BackendDevice dev, uint8_t ep);

    // Drops data the endpoint holds that no read has taken yet.
    uint32_t (*flush_pipe)(BackendDevice dev, uint8_t ep);

    // Synchronous control transfer; the data stage is `len` bytes of `buf`
    // (direction from bmRequestType). Returns 31 (ERROR_GEN_FAILURE) for a
    // stalled request. *done: bytes of the data stage transferred.
    uint32_t (*control_transfer)(BackendDevice dev, const SetupPacket& setup, uint8_t* buf,
                                 uint32_t len, uint32_t* done);

    // GET_DESCRIPTOR of (type, index, language) into `buf`, at most `len`
    // bytes. *done: bytes received.
    uint32_t (*get_descriptor)(BackendDevice dev, uint8_t type, uint8_t index, uint16_t lang,
                               uint8_t* buf, uint32_t len, uint32_t* done);

    // Ends the streaming read in flight on `ep` with 995 at once, by the
    // backend's own means (it works where abort_pipe failed), callable from
    // any thread. With `ep` 0 the device is being closed: every read in
    // flight ends, later calls fail, no read of it can take data meant for a
    // device opened later, and the interface is given up so that the device
    // can be opened again; `dev` stays valid for calls still running until
    // close. Never fails.
    void (*cancel)(BackendDevice dev, uint8_t ep);
};

// Installs a backend that serves discovery ahead of the hardware one while
// its `active` says so (the simulated board installs itself when a board is
// attached). Installing a table again keeps one entry. Safe from any thread;
// false when the registry is full.
bool transport_register(const TransportOps& ops);

// The backend that serves discovery now: the first installed one that is
// active, otherwise the hardware backend of this OS.
const TransportOps& transport_for_discovery();

// The hardware backend built for this OS (libusb, or WinUSB on Windows).
extern const TransportOps usb_transport_ops;

}  // namespace dirov
