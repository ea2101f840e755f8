#include "tools/capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "dirov410.h"
#include "platform/windows_errors.h"
#include "tools/board.h"
#include "tools/log.h"
#include "tools/stop.h"

namespace dirovctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(20);
constexpr uint32_t kTimedOut = dirov::kErrorSemTimeout;  // no packet within the tick

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Asked for by the main thread, taken by the capture thread at its next
// packet: a stop made from a packet callback ends the capture thread but
// leaves the reader's pending packets readable, so the capture ends at once
// and what it captured is still written.
std::atomic<bool> stop_wanted{false};

void stop_at_next_packet(DataPacket* p) {
    DecPktLock(p);
    if (stop_wanted.exchange(false)) StopCaptureWorker();
}

// The longest write that a pipe which polled writable takes without
// blocking; a regular file takes any.
size_t write_slice(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? SIZE_MAX : 4096;
}

// Bytes the library dropped at its store limit before the reader saw them.
uint64_t dropped_bytes() {
    dirov_capture_stats stats{};
    return dirov_get_capture_stats(&stats) == 0 ? stats.dropped_bytes : 0;
}

class Capture {
   public:
    explicit Capture(const CaptureRequest& req) : req_(req) {}
    CaptureResult run();

   private:
    bool write_packet(DataPacket* p);
    bool write_bytes(const uint8_t* data, size_t n);
    bool should_stop();
    void stop_capture();
    void show(bool last);
    uint64_t backlog_bytes() const;

    const CaptureRequest& req_;
    CaptureResult res_;
    Progress progress_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_data_ = start_;
    bool capturing_ = false;
    uint64_t drain_total_ = 0;
    size_t slice_ = write_slice(req_.fd);
};

// Writes, waiting for a slow output in slices, and stops the capture as soon
// as a limit or a signal is due, not once the output has caught up; false
// when the output refused a write.
bool Capture::write_bytes(const uint8_t* data, size_t n) {
    while (n > 0) {
        if (capturing_ && should_stop()) stop_capture();
        if (!wait_writable(req_.fd, kTick)) continue;
        ssize_t w = write(req_.fd, data, std::min(n, slice_));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            res_.reason = StopReason::kWriteError;
            res_.error = "cannot write to " + req_.name + ": " + std::strerror(errno);
            res_.closed_pipe = errno == EPIPE;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
        res_.written += static_cast<uint64_t>(w);
        if (n) show(false);
    }
    return true;
}

// One packet from the reader, written up to the byte limit.
bool Capture::write_packet(DataPacket* p) {
    auto size = static_cast<uint64_t>(p->size > 0 ? p->size : 0);
    res_.captured += size;
    last_data_ = Clock::now();
    uint64_t room = req_.byteLimit ? req_.byteLimit - std::min(res_.written, req_.byteLimit) : size;
    uint64_t n = std::min(size, room);
    res_.past_limit += size - n;
    return write_bytes(p->data, n);
}

bool Capture::should_stop() {
    if (!capturing_) return true;
    res_.seconds = since(start_);
    if (req_.byteLimit && res_.captured >= req_.byteLimit) {
        res_.reason = StopReason::kByteLimit;
    } else if (req_.seconds > 0 && res_.seconds >= req_.seconds) {
        res_.reason = StopReason::kTime;
    } else if (stop_requested()) {
        res_.reason = StopReason::kSignal;
    } else if (since(last_data_) >= req_.stall_seconds) {
        res_.reason = StopReason::kStall;
        char buf[64];
        std::snprintf(buf, sizeof buf, "no data from the board for %g s", req_.stall_seconds);
        res_.error = buf;
        if (res_.captured == 0) res_.error += " (no stream source on? e.g. --i2s)";
    } else {
        return false;
    }
    return true;
}

// Bytes the reader has not taken yet.
uint64_t Capture::backlog_bytes() const {
    dirov_capture_stats stats{};
    if (dirov_get_capture_stats(&stats) != 0) return 0;
    uint64_t kept = stats.bytes - std::min(stats.bytes, stats.dropped_bytes);
    return kept - std::min(kept, res_.captured);
}

// The board's stream off and the capture worker stopped, at once; what it
// captured before is written afterwards.
void Capture::stop_capture() {
    if (!capturing_) return;
    capturing_ = false;
    stop_wanted = true;
    if (req_.stream_off) req_.stream_off();
    res_.seconds = since(start_);
    uint64_t backlog = backlog_bytes();
    if (req_.byteLimit) {
        uint64_t room = req_.byteLimit - std::min(res_.written, req_.byteLimit);
        backlog = std::min(backlog, room);
    }
    drain_total_ = backlog;
    if (backlog == 0 || verbosity() == Verbosity::kQuiet) return;
    std::fprintf(stderr,
                 "dirovctl: capture stopped after %.2f s; writing the %llu bytes captured before "
                 "the stop (a second Ctrl-C stops at once)\n",
                 res_.seconds, static_cast<unsigned long long>(backlog));
}

void Capture::show(bool last) {
    if (!last && !progress_.due()) return;
    char buf[160];
    double seconds = since(start_);
    double mbps = seconds > 0 ? res_.written / seconds / 1e6 : 0;
    double fraction = !capturing_ && drain_total_ ? 1.0 - static_cast<double>(backlog_bytes()) /
                                                              static_cast<double>(drain_total_)
                      : req_.byteLimit   ? static_cast<double>(res_.written) / req_.byteLimit
                      : req_.seconds > 0 ? seconds / req_.seconds
                                         : -1;
    std::snprintf(buf, sizeof buf, "%s%s%s%llu bytes written  %.2f MB/s  %.1f s  %d pending",
                  capturing_ ? "" : "writing ",
                  fraction >= 0 ? bar(last ? 1 : fraction).c_str() : "", fraction >= 0 ? " " : "",
                  static_cast<unsigned long long>(res_.written), mbps, seconds, GetPendingCnt());
    progress_.show(buf, last);
}

CaptureResult Capture::run() {
    stop_wanted = false;
    bool watching = RegisterPktNotify(stop_at_next_packet) == 0;
    if (!watching || StartCaptureWorker() != 0) {
        if (watching) UnregisterPktNotify(stop_at_next_packet);
        res_.reason = StopReason::kReadError;
        res_.error = "cannot start the capture";
        return res_;
    }
    capturing_ = true;
    bool writable = true;
    while (writable && !should_stop()) {
        DataPacket* p = dirov_get_next_packet(static_cast<uint32_t>(kTick.count()));
        if (p) {
            writable = write_packet(p);
        } else if (uint32_t code = dirov_get_last_error(); code != kTimedOut) {
            // The capture ended by itself: an unplug or a failed read.
            res_.reason = StopReason::kReadError;
            res_.error = "the board was disconnected (" + std::string(dirov_strerror(code)) + ")";
            break;
        }
        show(false);
    }
    stop_capture();
    // What was captured before the stop, up to the limit. A stream that has
    // stalled never reaches the stop callback: its pending packets are all.
    while (writable && GetPendingCnt() > 0) {
        DataPacket* p = GetNextPacket();
        if (!p) break;
        writable = write_packet(p);
        show(false);
    }
    StopCaptureWorker();
    UnregisterPktNotify(stop_at_next_packet);
    stop_wanted = false;
    res_.seconds = since(start_);
    show(true);
    return res_;
}

}  // namespace

CaptureResult capture_stream(const CaptureRequest& req) {
    return Capture(req).run();
}

std::string capture_summary(const CaptureResult& r, const std::string& name) {
    static const char* why[] = {"byte limit reached", "time limit reached", "stopped by signal",
                                "the stream stalled", "read error",         "write error"};
    static_assert(std::size(why) == static_cast<size_t>(StopReason::kWriteError) + 1);
    char buf[320];
    int n = std::snprintf(buf, sizeof buf, "wrote %llu bytes to %s in %.2f s (%s)",
                          static_cast<unsigned long long>(r.written), name.c_str(), r.seconds,
                          why[static_cast<int>(r.reason)]);
    std::string s(buf, n > 0 ? static_cast<size_t>(n) : 0);
    if (r.captured != r.written) {
        s += "; captured " + std::to_string(r.captured);
        if (r.past_limit)
            s += ", " + std::to_string(r.past_limit) + " past the byte limit not written";
    }
    if (uint64_t dropped = dropped_bytes()) s += "; dropped " + std::to_string(dropped);
    return s;
}

std::string capture_json_members(const CaptureResult& r, const std::string& quoted_name) {
    static const char* stop[] = {"bytes", "seconds",    "signal",
                                 "stall", "read_error", "write_error"};
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "\"bytes_written\": %llu, \"bytes_captured\": %llu, "
                  "\"bytes_past_limit\": %llu, \"bytes_dropped\": %llu, \"seconds\": %.3f, "
                  "\"stop\": \"%s\"",
                  static_cast<unsigned long long>(r.written),
                  static_cast<unsigned long long>(r.captured),
                  static_cast<unsigned long long>(r.past_limit),
                  static_cast<unsigned long long>(dropped_bytes()), r.seconds,
                  stop[static_cast<int>(r.reason)]);
    return "\"output\": " + quoted_name + ", " + buf;
}

}  // namespace dirovctl
