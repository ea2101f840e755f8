#include "device/reply.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dirov {
namespace {

constexpr size_t kField = 128;

// The next token of [*pos, end): skips leading delimiters, so empty fields
// between two delimiters do not count, and cuts the token at the next
// delimiter. Returns null when no token is left.
char* next_token(char*& pos, char* end, char delim) {
    while (pos < end && *pos == delim) ++pos;
    if (pos >= end) return nullptr;
    char* tok = pos;
    while (pos < end && *pos != delim) ++pos;
    if (pos < end) *pos++ = '\0';
    return tok;
}

void copy_field(char* dst, const char* src) {
    std::memset(dst, 0, kField);
    if (src) std::strncpy(dst, src, kField - 1);
}

// A hexadecimal value (optional sign and 0x, digits up to the first other
// character, 0 without any), clamped to the signed 32-bit range.
int32_t read_value(const char* text) {
    long long v = std::strtoll(text, nullptr, 16);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

void malformed(CommandReply* out, const char* why) {
    out->Data = nullptr;
    out->DataLength = 0;
    copy_field(out->Error, why);
}

}  // namespace

void parse_reply_bytes(char* reply, size_t len, CommandReply* out) {
    out->Data = nullptr;
    out->DataLength = 0;
    copy_field(out->Command, nullptr);
    copy_field(out->Type, nullptr);
    copy_field(out->Error, "none");
    if (!reply) return malformed(out, kErrTooFewTokens);

    char* end = reply + len;
    char* text_end = reply + strnlen(reply, len);  // a NUL ends the text
    char* pos = reply;
    char* command = next_token(pos, text_end, ' ');
    char* type = next_token(pos, text_end, ' ');
    char* rest = next_token(pos, text_end, '\n');
    copy_field(out->Command, command);
    copy_field(out->Type, type);
    if (!rest) return malformed(out, kErrTooFewTokens);

    if (std::strcmp(out->Type, "CSTAT") == 0) {
        copy_field(out->Error, rest);
        return;
    }
    if (!std::strchr(rest, '#')) {
        int32_t v = read_value(rest);
        out->Data = static_cast<uint8_t*>(std::malloc(sizeof v));
        if (!out->Data) return malformed(out, kErrNoMemory);
        std::memcpy(out->Data, &v, sizeof v);
        return;
    }
    unsigned count = 0;
    if (std::sscanf(rest + 1, "%x", &count) != 1) return malformed(out, kErrBadCount);
    uint8_t n = static_cast<uint8_t>(count & 0xFF);
    // The payload starts just behind the newline that ended the first line.
    bool line_ended = pos[-1] == '\0';
    char* payload = pos;
    if (n && (!line_ended || static_cast<size_t>(end - payload) < n))
        return malformed(out, kErrShortPayload);
    // At least the 4 bytes of a value reply, zero-filled: a record cannot tell
    // a "#0" reply from a value reply, and its dump shows 4 bytes for both.
    out->Data = static_cast<uint8_t*>(std::calloc(n > 4 ? n : 4, 1));
    if (!out->Data) return malformed(out, kErrNoMemory);
    if (n) std::memcpy(out->Data, payload, n);
    out->DataLength = n;
}

}  // namespace dirov
