// A simulated board behind a real usbfs interface: a umockdev testbed shows
// it in sysfs and /dev/bus/usb, and an ioctl handler carries libusb's URBs
// to the Board model, so the library's libusb backend runs unchanged.
//
// The board is not attached to the simulated transport, so discovery goes
// to libusb.
//
// The emulator follows the board's face: a face change or reset takes the
// device off the bus at once (its URBs fail with -ENODEV), and the new face
// enumerates on the same port at the next address once it shows. The bus is
// brought up to date after every sleep on the library clock, so choose the
// clock (real or virtual) before building the emulator; it wraps that clock
// until destroyed. One emulator at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "sim/board.h"
#include "sim/usb_descriptors.h"

namespace dirov::test {

class UsbfsEmulator {
   public:
    // Shows `board` with its current face on bus 1 behind a hub, at port
    // path "1-2.3", device address 5 (6, 7... after each re-enumeration),
    // naming its GUIDs with `ms_os` descriptors.
    explicit UsbfsEmulator(std::shared_ptr<sim::Board> board,
                           sim::MsOsVersion ms_os = sim::MsOsVersion::kV2);
    ~UsbfsEmulator();
    UsbfsEmulator(const UsbfsEmulator&) = delete;
    UsbfsEmulator& operator=(const UsbfsEmulator&) = delete;

    sim::Board& board();
    // False when umockdev could not set the device up.
    bool ok() const;
    // URBs submitted and not yet reaped.
    uint64_t outstanding_urbs() const;

    struct Impl;

   private:
    std::unique_ptr<Impl> impl_;
};

// A board with the default configuration (`face` shown) for the emulator.
std::shared_ptr<sim::Board> make_board(dirov_sim_face face);

}  // namespace dirov::test
