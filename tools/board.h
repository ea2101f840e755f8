// What dirovctl's subcommands share: bringing the board up, streaming a
// capture to a file, upgrading with a progress bar, and output helpers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "dirov410.h"

namespace dirovctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Where dirovctl's own progress lines go: stdout, unless the tour keeps the
// library's diagnostics apart from what it shows.
FILE*& console();

// Prints "dirovctl: <what>" on stderr and returns kExitFailure.
int fail(const std::string& what);

// The interface open; the board's main firmware handle, or nullopt with `err`.
std::optional<WINUSB_INTERFACE_HANDLE> bring_up(std::string& err);

// The board's serial number as text ("" when it cannot be read).
std::string serial_number();

std::string hex32(uint32_t v);

struct CaptureRequest {
    std::string rawPath;
    uint64_t byteLimit = 0;  // 0: none
    double seconds = 0;      // 0: none
    double stallSeconds = 5;  // give up when no data arrives for this long
};

struct CaptureResult {
    uint64_t bytes = 0;  // bytes the reader saw
    double seconds = 0;
    std::string error;  // empty on success
};

// Streams the board's capture pipe into a raw file through the save worker,
// with a progress bar (plain lines when stdout is not a terminal).
CaptureResult capture_to_file(const CaptureRequest& req);

// FirmwareUpgrade with a progress bar over the blocks; 0 or -1.
int32_t upgrade_with_progress(const std::string& dfuPath);

}  // namespace dirovctl
