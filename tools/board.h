// What dirovctl's subcommands share: bringing the board up, streaming a
// progress bar, upgrading with it, and output helpers.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "dirov410.h"

namespace dirovctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Prints "dirovctl: <what>" on stderr, then what the library reported and
// was not shown, and returns kExitFailure.
int fail(const std::string& what);

// The interface open; the board's main firmware handle, or nullopt with `err`.
std::optional<WINUSB_INTERFACE_HANDLE> bring_up(std::string& err);

// The board's serial number as text ("" when it cannot be read).
std::string serial_number();

std::string hex32(uint32_t v);

// One progress line on stderr: redrawn in place on a terminal, printed about
// once a second otherwise, and not at all with -q.
class Progress {
   public:
    Progress();
    void show(const std::string& text, bool last = false);
    // Whether a line shown now would be seen (a redraw at most ten times a
    // second on a terminal, once a second otherwise).
    bool due() const;

   private:
    FILE* out_;
    bool tty_;
    std::chrono::steady_clock::time_point shown_;
};

// "[####......]" for a fraction 0..1.
std::string bar(double fraction);

// FirmwareUpgrade with a progress bar over the blocks; 0 or -1.
int32_t upgrade_with_progress(const std::string& dfuPath);

}  // namespace dirovctl
