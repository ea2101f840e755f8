// The simulated board's counter stream through the capture and save workers,
// every byte checked in the reader and in the saved file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dirov::test {

// True when `n` bytes at stream offset `offset` follow the counter pattern.
bool is_counter(const uint8_t* data, size_t n, uint64_t offset);

// Bytes of `path` that follow the counter pattern from its start.
uint64_t counter_prefix_of_file(const std::string& path);

struct CounterRun {
    bool in_order = true;   // every packet the reader got continued the pattern
    uint64_t read = 0;      // bytes the reader got
    int32_t capture = -9;   // StopCaptureWorker's result
    int32_t save = -9;      // StopSaveWorker's result
    uint64_t saved = 0;     // counter bytes at the start of the file
};

// Streams the counter pattern (already selected on the board) until the
// reader has `streamBytes`, saving the first `savedBytes` to `path`.
CounterRun run_counter_capture(const std::string& path, uint64_t streamBytes, int32_t savedBytes);

}  // namespace dirov::test
