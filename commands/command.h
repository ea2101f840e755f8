// The one exchange every board command makes: format the command line,
// send it with usb_comms, take the result from the reply, release the reply.
#pragma once

#include <cstdint>

#include "dirov410.h"

namespace dirov::cmd {

// What a command takes from its reply.
enum class Take {
    kNothing,  // any reply is success: 0
    kValue,    // the reply's whole 32-bit value
    kLow16,
    kLow8,
};

// 0 or the value taken; -1 when the exchange fails, or when a value is
// wanted and the reply carries none (a "CSTAT" reply, an unreadable reply or
// a counted reply).
int32_t command(WINUSB_INTERFACE_HANDLE h, Take take, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The most payload bytes a reply can count (DataLength is 8 bits).
inline constexpr int64_t kMaxReadStream = 255;

// Asks for `count` bytes and copies the counted reply's DataLength bytes
// into `buffer` (room for 255). 0, also for a value reply (nothing copied);
// -1 for a null buffer, a failed exchange or a reply without data, and,
// before anything is sent, for a count outside 0..255, which the reply could
// not carry.
int32_t read_stream(WINUSB_INTERFACE_HANDLE h, uint8_t* buffer, int64_t count, const char* format,
                    ...) __attribute__((format(printf, 4, 5)));

// Sends the command line and `count` payload bytes in one OUT transfer.
// -1 for a negative count, a null payload with a count, or a failed exchange.
int32_t write_stream(WINUSB_INTERFACE_HANDLE h, const uint8_t* payload, int64_t count,
                     const char* format, ...) __attribute__((format(printf, 4, 5)));

// The unsigned 32-bit pattern "%x" prints for a signed argument.
constexpr uint32_t bits(int32_t v) {
    return static_cast<uint32_t>(v);
}

}  // namespace dirov::cmd
