// Pure parser of the board's replies (no I/O).
#pragma once

#include <cstddef>

#include "dirov410.h"

namespace dirov {

// Fills `out` from the `len` received bytes at `reply` (NUL-terminated at
// reply[len]; the first line is cut in place). Never reads past `len`.
// A reply that cannot be read (fewer than three tokens, an unreadable "#"
// count, a payload shorter than its count) gets a null Data, DataLength 0 and
// an Error text that says why.
void parse_reply_bytes(char* reply, size_t len, CommandReply* out);

// Malformed-reply texts placed in Error.
inline constexpr const char* kErrTooFewTokens = "malformed reply: fewer than three tokens";
inline constexpr const char* kErrBadCount = "malformed reply: unreadable byte count";
inline constexpr const char* kErrShortPayload = "malformed reply: payload shorter than its count";
inline constexpr const char* kErrNoMemory = "out of memory for reply data";

}  // namespace dirov
