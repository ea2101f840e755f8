// dirovctl's capture: the board's stream, taken in order from the library's
// reader, written to a file or standard output by the tool itself, so that
// what it reports is what reached the output.
#pragma once

#include <cstdint>
#include <string>

namespace dirovctl {

struct CaptureRequest {
    int fd = -1;              // where the raw bytes go, open for writing
    std::string name;         // the output as messages name it
    uint64_t byteLimit = 0;   // 0: none
    double seconds = 0;       // 0: none
    double stallSeconds = 5;  // give up when no data arrives for this long
};

enum class StopReason { ByteLimit, Time, Signal, Stall, ReadError, WriteError };

struct CaptureResult {
    uint64_t captured = 0;   // bytes the library's reader handed over
    uint64_t written = 0;    // bytes that reached the output
    uint64_t pastLimit = 0;  // captured beyond the byte limit, not written
    double seconds = 0;
    StopReason reason = StopReason::Time;
    std::string error;  // empty on success
};

// Captures until the byte limit, the time limit or a signal (whichever comes
// first), or until the board stops sending; then stops the capture and
// writes every packet taken before the stop. Progress goes to stderr.
CaptureResult capture_stream(const CaptureRequest& req);

// The closing line: what was written, and what was captured and not written.
std::string capture_summary(const CaptureResult& r, const std::string& name);

}  // namespace dirovctl
