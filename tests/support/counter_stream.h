// The simulated board's counter stream through the capture and save workers,
// every byte checked in the reader and in the saved file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dirov::test {

// True when `n` bytes at stream offset `offset` follow the counter pattern.
bool is_counter(const uint8_t* data, size_t n, uint64_t offset);

// Streams the counter pattern (already selected on the board) until the
// reader has `streamBytes`, saving the first `savedBytes` to `path`, and
// expects every byte in order in the reader and in the file, and clean stops.
void expect_counter_capture(const std::string& path, uint64_t streamBytes, int32_t savedBytes);

}  // namespace dirov::test
