// A simulated board behind a real usbfs interface: a umockdev testbed shows
// it in sysfs and /dev/bus/usb, and an ioctl handler carries libusb's URBs
// to the Board model, so the library's libusb backend runs unchanged.
//
// Build it before the first libusb call of the process (libusb enumerates
// the bus once, at initialisation). The board is not attached to the
// simulated transport, so discovery goes to libusb.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sim/board.h"
#include "sim/usb_descriptors.h"

namespace dirov::test {

class UsbfsEmulator {
   public:
    // Shows `board` with its current face on bus 1 behind a hub, at port
    // path "1-2.3", device address 5, naming its GUIDs with `ms_os`
    // descriptors.
    explicit UsbfsEmulator(std::shared_ptr<sim::Board> board,
                           sim::MsOsVersion ms_os = sim::MsOsVersion::V2);
    ~UsbfsEmulator();
    UsbfsEmulator(const UsbfsEmulator&) = delete;
    UsbfsEmulator& operator=(const UsbfsEmulator&) = delete;

    sim::Board& board();
    // False when umockdev could not set the device up.
    bool ok() const;

    // The cable is pulled: URBs in flight end with -ENODEV, new ones fail,
    // and the device leaves sysfs.
    void unplug();

    // URBs submitted so far, and those the host discarded.
    uint64_t urbs_submitted() const;
    uint64_t urbs_discarded() const;
    // URBs submitted and not yet reaped.
    uint32_t urbs_outstanding() const;

    struct Impl;

   private:
    std::unique_ptr<Impl> impl_;
};

// A board with the default configuration (`face` shown) for the emulator.
std::shared_ptr<sim::Board> make_board(dirov_sim_face face);

}  // namespace dirov::test
