#include "tools/board.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace dirovctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kProgressPeriod = std::chrono::milliseconds(20);
constexpr int kBarWidth = 30;

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// One progress line: redrawn in place on a terminal, printed about once a
// second otherwise.
class Progress {
   public:
    Progress() : out_(console()), tty_(isatty(fileno(out_)) != 0) {}
    void show(const std::string& text, bool last = false) {
        if (tty_) {
            std::fprintf(out_, "\r%-78s", text.c_str());
            if (last) std::fprintf(out_, "\n");
        } else if (last || since(shown_) >= 1.0) {
            std::fprintf(out_, "%s\n", text.c_str());
            shown_ = Clock::now();
        }
        std::fflush(out_);
    }

   private:
    FILE* out_;
    bool tty_;
    Clock::time_point shown_ = Clock::now();
};

std::string bar(double fraction) {
    int full = static_cast<int>(fraction * kBarWidth + 0.5);
    full = full < 0 ? 0 : (full > kBarWidth ? kBarWidth : full);
    return "[" + std::string(full, '#') + std::string(kBarWidth - full, '.') + "]";
}

std::string capture_line(uint64_t bytes, double secs, double fraction) {
    char buf[128];
    double mbps = secs > 0 ? bytes / secs / 1e6 : 0;
    std::snprintf(buf, sizeof buf, "%s %llu bytes  %.2f MB/s  %d pending", bar(fraction).c_str(),
                  static_cast<unsigned long long>(bytes), mbps, GetPendingCnt());
    return buf;
}

// Drains the reader so that its packets are released; returns false when
// the capture thread has ended.
bool drain(uint64_t& bytes) {
    while (GetPendingCnt() > 0) {
        DataPacket* p = GetNextPacket();
        if (!p) return false;
        bytes += static_cast<uint64_t>(p->size);
    }
    return true;
}

bool done(const CaptureRequest& req, double secs) {
    if (req.byteLimit) return SaveWorkerRunning() == -1;  // ended: limit written, or failed
    return req.seconds > 0 && secs >= req.seconds;
}

}  // namespace

FILE*& console() {
    static FILE* out = stdout;
    return out;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "dirovctl: %s\n", what.c_str());
    return kExitFailure;
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::optional<WINUSB_INTERFACE_HANDLE> bring_up(std::string& err) {
    ItfOpenResult r = Hx410DItfOpen();
    if (r.ConnState == 2) return _GetWinUsbHandle();
    err = r.ConnState == 1 ? "the board stays in its bootloader (no valid main firmware?)"
                           : "no board running its main firmware";
    return std::nullopt;
}

std::string serial_number() {
    uint8_t raw[128] = {};
    if (GetDeviceSerialNumber(raw, sizeof raw) != 0) return "";
    std::string s;
    for (size_t i = 0; i + 1 < sizeof raw && raw[i]; i += 2)
        s += (raw[i + 1] == 0 && raw[i] >= 0x20 && raw[i] < 0x7F) ? static_cast<char>(raw[i]) : '?';
    return s;
}

CaptureResult capture_to_file(const CaptureRequest& req) {
    CaptureResult res;
    if (req.byteLimit > INT32_MAX) {
        res.error = "byte limit above 2147483647";
        return res;
    }
    if (StartSaveWorker(req.rawPath.c_str(), static_cast<int32_t>(req.byteLimit)) != 0) {
        res.error = "cannot start saving to " + req.rawPath;
        return res;
    }
    if (StartCaptureWorker() != 0) {
        StopSaveWorker(1);
        res.error = "cannot start the capture";
        return res;
    }
    Progress progress;
    auto t0 = Clock::now();
    auto last_data = t0;
    bool alive = true;
    for (;;) {
        uint64_t before = res.bytes;
        alive = drain(res.bytes);
        if (res.bytes != before) last_data = Clock::now();
        res.seconds = since(t0);
        double fraction = req.byteLimit ? static_cast<double>(res.bytes) / req.byteLimit
                                        : (req.seconds > 0 ? res.seconds / req.seconds : 0);
        progress.show(capture_line(res.bytes, res.seconds, fraction));
        if (!alive || done(req, res.seconds)) break;
        if (since(last_data) >= req.stallSeconds) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "no data from the board for %g s", req.stallSeconds);
            res.error = buf;
            break;
        }
        std::this_thread::sleep_for(kProgressPeriod);
    }
    progress.show(capture_line(res.bytes, res.seconds, 1.0), true);
    if (alive) StopCaptureWorker();
    int32_t saved = StopSaveWorker(req.byteLimit && res.error.empty() ? 0 : 1);
    if (!alive && res.error.empty()) res.error = "the capture stopped on a read error";
    if (saved != 0 && res.error.empty()) res.error = "saving to " + req.rawPath + " failed";
    return res;
}

int32_t upgrade_with_progress(const std::string& dfuPath) {
    static Progress* progress = nullptr;
    Progress p;
    progress = &p;
    dirov_set_dfu_progress(
        [](uint32_t block, uint32_t count, void*) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "%s block %u of %u",
                          bar(count ? static_cast<double>(block) / count : 1).c_str(), block, count);
            progress->show(buf, block == count);
        },
        nullptr);
    int32_t r = FirmwareUpgrade(dfuPath.c_str());
    dirov_set_dfu_progress(nullptr, nullptr);
    progress = nullptr;
    return r;
}

}  // namespace dirovctl
