// dirovctl's capture: the board's stream, taken in order from the library's
// reader, written to a file or standard output by the tool itself, so that
// what it reports is what reached the output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace dirovctl {

struct CaptureRequest {
    int fd = -1;                       // where the raw bytes go, open for writing
    std::string name;                  // the output as messages name it
    uint64_t byteLimit = 0;            // 0: none
    double seconds = 0;                // 0: none
    double stall_seconds = 5;          // give up when no data arrives for this long
    std::function<void()> stream_off;  // turns the board's stream off at the stop
};

enum class StopReason { kByteLimit, kTime, kSignal, kStall, kReadError, kWriteError };

struct CaptureResult {
    uint64_t captured = 0;    // bytes the library's reader handed over
    uint64_t written = 0;     // bytes that reached the output
    uint64_t past_limit = 0;  // captured beyond the byte limit, not written
    double seconds = 0;
    StopReason reason = StopReason::kTime;
    std::string error;         // empty on success
    bool closed_pipe = false;  // the write error is a reader that went away
};

// Captures until the byte limit, the time limit or a signal (whichever comes
// first, also while the output is slow to take the data), or until the board
// stops sending; then stops the capture and the stream, and writes what was
// captured before the stop. Progress goes to stderr.
CaptureResult capture_stream(const CaptureRequest& req);

// The closing line: what was written, and what was captured and not written.
std::string capture_summary(const CaptureResult& r, const std::string& name);

// The same as one JSON object's members (no braces); `quoted_name` is the
// output's name as a JSON string.
std::string capture_json_members(const CaptureResult& r, const std::string& quoted_name);

}  // namespace dirovctl
