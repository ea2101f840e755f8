// Byte counts as people write them: "<digits>[K|M|G]", the unit in either
// case standing for 2^10, 2^20 or 2^30. Shared by the store's
// DIROV410_STORE_LIMIT and dirovctl's --bytes; header-only and pure.
#pragma once

#include <cstdint>
#include <string_view>

namespace dirov {

enum class ByteCount { kOk, kMalformed, kTooLarge };

// kMalformed for anything but digits and one optional unit, kTooLarge for a
// value beyond 64 bits; *out is set only for kOk.
inline ByteCount parse_byte_count(std::string_view text, uint64_t* out) {
    constexpr std::string_view kUnits = "KMG";
    size_t digits = 0;
    uint64_t value = 0;
    bool too_large = false;
    for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
        uint64_t digit = static_cast<uint64_t>(text[digits] - '0');
        too_large = too_large || value > (UINT64_MAX - digit) / 10;
        value = value * 10 + digit;
    }
    std::string_view rest = text.substr(digits);
    size_t unit = 0;
    if (!rest.empty()) {
        char c =
            rest[0] >= 'a' && rest[0] <= 'z' ? static_cast<char>(rest[0] - 'a' + 'A') : rest[0];
        unit = kUnits.find(c) + 1;  // npos + 1 is 0: no unit
    }
    if (digits == 0 || rest.size() > 1 || (!rest.empty() && unit == 0))
        return ByteCount::kMalformed;
    unsigned shift = 10 * static_cast<unsigned>(unit);
    if (too_large || value > (UINT64_MAX >> shift)) return ByteCount::kTooLarge;
    *out = value << shift;
    return ByteCount::kOk;
}

}  // namespace dirov
