#include "commands/command.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dirov::cmd {
namespace {

constexpr size_t kTextSize = 256;

// False when the line does not fit the command buffer.
bool format_line(char (&text)[kTextSize], const char* format, va_list args) {
    int n = std::vsnprintf(text, kTextSize, format, args);
    return n >= 0 && static_cast<size_t>(n) < kTextSize;
}

CommandReply* exchange(WINUSB_INTERFACE_HANDLE h, const char* format, va_list args,
                       const PayloadPart* part) {
    char text[kTextSize];
    if (!format_line(text, format, args)) return nullptr;
    return usb_comms(h, text, part ? 1 : 0, part);
}

void release(CommandReply* reply) {
    std::free(reply->Data);
    std::free(reply);
}

// A value reply holds exactly one 32-bit value; anything else carries none.
bool value_of(const CommandReply* reply, int32_t* value) {
    if (!reply->Data || reply->DataLength != 0) return false;
    std::memcpy(value, reply->Data, sizeof *value);
    return true;
}

int32_t take_result(const CommandReply* reply, Take take) {
    int32_t v = 0;
    if (take == Take::kNothing) return 0;
    if (!value_of(reply, &v)) return -1;
    if (take == Take::kLow16) return v & 0xFFFF;
    if (take == Take::kLow8) return v & 0xFF;
    return v;
}

}  // namespace

int32_t command(WINUSB_INTERFACE_HANDLE h, Take take, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CommandReply* reply = exchange(h, format, args, nullptr);
    va_end(args);
    if (!reply) return -1;
    int32_t result = take_result(reply, take);
    release(reply);
    return result;
}

int32_t read_stream(WINUSB_INTERFACE_HANDLE h, uint8_t* buffer, int64_t count, const char* format,
                    ...) {
    if (!buffer || count < 0 || count > kMaxReadStream) return -1;
    va_list args;
    va_start(args, format);
    CommandReply* reply = exchange(h, format, args, nullptr);
    va_end(args);
    if (!reply) return -1;
    int32_t result = reply->Data ? 0 : -1;
    if (reply->Data && reply->DataLength) std::memcpy(buffer, reply->Data, reply->DataLength);
    release(reply);
    return result;
}

int32_t write_stream(WINUSB_INTERFACE_HANDLE h, const uint8_t* payload, int64_t count,
                     const char* format, ...) {
    if (count < 0 || count > UINT32_MAX || (count && !payload)) return -1;
    PayloadPart part{static_cast<uint32_t>(count), payload};
    va_list args;
    va_start(args, format);
    CommandReply* reply = exchange(h, format, args, &part);
    va_end(args);
    if (!reply) return -1;
    release(reply);
    return 0;
}

}  // namespace dirov::cmd
