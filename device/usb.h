// The USB operations the library calls, on WINUSB_INTERFACE_HANDLE values.
// Each returns true on success; on failure false, with the Windows error code
// in the thread's last error (platform.h), as WinUSB does. A null, closed or
// stale handle fails with ERROR_INVALID_HANDLE instead of touching memory.
#pragma once

#include <cstdint>
#include <string>

#include "device/transport.h"

namespace dirov {

// Pipe ids of the board.
inline constexpr uint8_t kPipeCommandOut = 0x01;
inline constexpr uint8_t kPipeReplyIn = 0x81;
inline constexpr uint8_t kPipeStreamIn = 0x82;

// Discovery and open go to the backend of transport_for_discovery().
// The `index`-th present interface of `guid`, whichever board shows it.
uint32_t usb_find_path(const GUID& guid, std::string& path, uint32_t index = 0);

// What a board tells about itself; zero ids and an empty serial when it
// cannot be asked.
struct BoardIdentity {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    std::string serial;  // string descriptor 3 as UTF-8
};
// Asks the board behind `path`: through the handle that has it open already,
// or by opening it for the moment.
BoardIdentity usb_identify(const std::string& path);

// The serial discovery keeps to; "" for any board. Starts as
// DIROV410_DEVICE. Safe from any thread.
std::string usb_selected_serial();
void usb_select_serial(const std::string& serial);
// The first present interface of `guid` on the selected board: 259 when no
// board with that serial shows it.
uint32_t usb_find_selected_path(const GUID& guid, std::string& path);

// On success *handle is a new handle; on failure *stage tells the step.
uint32_t usb_open(const char* path, WINUSB_INTERFACE_HANDLE* handle, OpenStage* stage);
// Cancels what is in flight on the handle at once; the backend device is
// freed when the last call still running on it returns.
void usb_close(WINUSB_INTERFACE_HANDLE handle);

// Time-out of the synchronous calls below (bulk write and read, control
// transfer) in milliseconds; 0: none. Starts as DIROV410_TIMEOUT. A call that
// takes longer fails with 121 (ERROR_SEM_TIMEOUT); the transfer is aborted
// on its pipe where the backend can, and its late result is dropped.
inline constexpr uint32_t kMaxTimeoutMs = 0x7FFFFFFF;
uint32_t usb_timeout();
// False for more than kMaxTimeoutMs.
bool usb_set_timeout(uint32_t ms);

bool usb_write_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, const void* buf, uint32_t len,
                    uint32_t* written);
bool usb_read_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, void* buf, uint32_t len,
                   uint32_t* read);
// Overlapped read: true when it completed at once (*read set); false with
// last error 997 when it is in flight, or another code.
bool usb_read_pipe_overlapped(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, void* buf, uint32_t len,
                              uint32_t* read);
// WinUsb_GetOverlappedResult for the read in flight on `pipe`.
bool usb_get_overlapped_result(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, uint32_t* read, bool wait);
bool usb_abort_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe);
// Ends the read in flight on `pipe` below the abort: for when an abort failed.
bool usb_cancel_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe);
bool usb_flush_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe);
bool usb_control_transfer(WINUSB_INTERFACE_HANDLE h, const SetupPacket& setup, void* buf,
                          uint32_t len, uint32_t* transferred);
bool usb_get_descriptor(WINUSB_INTERFACE_HANDLE h, uint8_t type, uint8_t index, uint16_t lang,
                        void* buf, uint32_t len, uint32_t* received);

}  // namespace dirov
