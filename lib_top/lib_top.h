// What the library's top shares between the interface open (itf_open.cpp),
// the workers (workers.cpp) and the firmware upgrade (upgrade.cpp): the
// connection state and the ways back to the board after it re-enumerates.
#pragma once

#include <cstdint>

#include "dirov410.h"

// The connection state, one of the constants below. Library-private (hidden
// in the shared library); tests of the static archive read and set it.
extern "C" int32_t CurrentConnState;

namespace dirov::top {

inline constexpr int32_t kNotConnected = 0;
inline constexpr int32_t kBootloader = 1;    // the DFU interface is open
inline constexpr int32_t kMainFirmware = 2;  // the main interface is open

// The pause after an open that failed while the board re-enumerates.
inline constexpr uint32_t kReopenPauseMs = 500;

// What a reopen prints; a null entry prints nothing.
struct ReopenLog {
    const char* absent;       // error, at each attempt that found no board
    const char* look_failed;  // warning with the HRESULT, at each attempt that failed otherwise
    const char* gave_up;      // error, after the last attempt
};

// Up to ten opens of `guid` (null: the main interface), kReopenPauseMs after
// each that fails. While the board re-enumerates, a find or open may fail
// for other reasons than its absence (a half-enumerated interface); those
// are retried as well.
bool reopen(const GUID* guid, const ReopenLog& log);

// One open of the DFU interface; on failure prints `absent` when no board
// shows it, otherwise `look_failed` with the HRESULT, both as errors.
bool open_dfu(const char* absent, const char* look_failed);

void close_if_open();

}  // namespace dirov::top
