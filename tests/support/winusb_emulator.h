// An emulated WinUSB driver and SetupAPI device list: the WinUSB backend's
// calls (device/backends/winusb/winusb_api.h) reach simulated boards (sim/board.h), so the
// backend runs unchanged where winusb.dll cannot (Wine has stubs only).
//
// Boards plugged here are not attached to the simulated transport, so
// discovery goes to the WinUSB backend. A board's face change takes its
// interfaces off the device list until the new face shows, and handles
// opened before go stale, as after a re-enumeration. One emulator at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/board.h"

namespace dirov::test {

class WinUsbEmulator {
   public:
    WinUsbEmulator();   // routes the backend's calls here
    ~WinUsbEmulator();  // back to the system's functions
    WinUsbEmulator(const WinUsbEmulator&) = delete;
    WinUsbEmulator& operator=(const WinUsbEmulator&) = delete;

    // Plugs in a board with the default configuration; boards enumerate in
    // plug order. Detaching the board pulls the cable: calls on its handles
    // fail, and it leaves the list.
    std::shared_ptr<sim::Board> plug(dirov_sim_face face, const char* serial = nullptr);

    // The next call of `function` (its Win32 name) fails with `error`.
    void fail_next(const std::string& function, uint32_t error);
    // The next call of `function` first runs `hook`.
    void on_next(const std::string& function, std::function<void()> hook);
    // Device-info sets, files, WinUSB handles and events not yet released.
    int open_objects() const;
};

}  // namespace dirov::test
