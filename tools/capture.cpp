#include "tools/capture.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "dirov410.h"
#include "tools/board.h"
#include "tools/stop.h"

namespace dirovctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(20);

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Bytes the library dropped at its store limit before the reader saw them.
uint64_t dropped_bytes() {
    dirov_capture_stats stats{};
    return dirov_get_capture_stats(&stats) == 0 ? stats.dropped_bytes : 0;
}

bool write_all(int fd, const uint8_t* data, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

class Capture {
   public:
    explicit Capture(const CaptureRequest& req) : req_(req) {}
    CaptureResult run();

   private:
    bool take_pending();
    bool should_stop();
    void show(bool last);

    const CaptureRequest& req_;
    CaptureResult res_;
    Progress progress_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_data_ = start_;
};

// Writes every packet the reader has pending, up to the byte limit; false
// when the output refused a write.
bool Capture::take_pending() {
    while (GetPendingCnt() > 0) {
        DataPacket* p = GetNextPacket();
        if (!p) return true;
        auto size = static_cast<uint64_t>(p->size > 0 ? p->size : 0);
        res_.captured += size;
        last_data_ = Clock::now();
        uint64_t room = req_.byteLimit ? req_.byteLimit - res_.written : size;
        uint64_t n = size < room ? size : room;
        res_.pastLimit += size - n;
        if (n && !write_all(req_.fd, p->data, n)) {
            res_.reason = StopReason::WriteError;
            res_.error = "cannot write to " + req_.name + ": " + std::strerror(errno);
            return false;
        }
        res_.written += n;
    }
    return true;
}

bool Capture::should_stop() {
    res_.seconds = since(start_);
    if (req_.byteLimit && res_.written >= req_.byteLimit) {
        res_.reason = StopReason::ByteLimit;
    } else if (req_.seconds > 0 && res_.seconds >= req_.seconds) {
        res_.reason = StopReason::Time;
    } else if (stop_requested()) {
        res_.reason = StopReason::Signal;
    } else if (since(last_data_) >= req_.stallSeconds) {
        res_.reason = StopReason::Stall;
        char buf[64];
        std::snprintf(buf, sizeof buf, "no data from the board for %g s", req_.stallSeconds);
        res_.error = buf;
        if (res_.captured == 0) res_.error += " (no stream source on? e.g. --i2s)";
    } else {
        return false;
    }
    return true;
}

void Capture::show(bool last) {
    char buf[160];
    double mbps = res_.seconds > 0 ? res_.written / res_.seconds / 1e6 : 0;
    double fraction = req_.byteLimit     ? static_cast<double>(res_.written) / req_.byteLimit
                      : req_.seconds > 0 ? res_.seconds / req_.seconds
                                         : -1;
    std::snprintf(buf, sizeof buf, "%s%s%llu bytes written  %.2f MB/s  %.1f s  %d pending",
                  fraction >= 0 ? bar(last ? 1 : fraction).c_str() : "", fraction >= 0 ? " " : "",
                  static_cast<unsigned long long>(res_.written), mbps, res_.seconds,
                  GetPendingCnt());
    progress_.show(buf, last);
}

CaptureResult Capture::run() {
    if (StartCaptureWorker() != 0) {
        res_.reason = StopReason::ReadError;
        res_.error = "cannot start the capture";
        return res_;
    }
    bool writable = true;
    for (;;) {
        writable = take_pending();
        if (!writable || should_stop()) break;
        show(false);
        if (GetPendingCnt() == 0) std::this_thread::sleep_for(kTick);
    }
    int32_t status = StopCaptureWorker();
    // What was captured before the stop is written too (up to the limit).
    if (writable) take_pending();
    res_.seconds = since(start_);
    show(true);
    if (res_.reason == StopReason::Stall && status < 0) {
        res_.reason = StopReason::ReadError;
        res_.error = "the capture stopped on a read error";
    }
    return res_;
}

}  // namespace

CaptureResult capture_stream(const CaptureRequest& req) {
    return Capture(req).run();
}

std::string capture_summary(const CaptureResult& r, const std::string& name) {
    static const char* why[] = {"byte limit reached", "time limit reached", "stopped by signal",
                                "the stream stalled", "read error",         "write error"};
    char buf[320];
    int n = std::snprintf(buf, sizeof buf, "wrote %llu bytes to %s in %.2f s (%s)",
                          static_cast<unsigned long long>(r.written), name.c_str(), r.seconds,
                          why[static_cast<int>(r.reason)]);
    std::string s(buf, n > 0 ? static_cast<size_t>(n) : 0);
    if (r.captured != r.written) {
        s += "; captured " + std::to_string(r.captured);
        if (r.pastLimit)
            s += ", " + std::to_string(r.pastLimit) + " past the byte limit not written";
    }
    if (uint64_t dropped = dropped_bytes()) s += "; dropped " + std::to_string(dropped);
    return s;
}

}  // namespace dirovctl
