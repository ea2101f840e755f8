#include "tools/board.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tools/log.h"

namespace dirovctl {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBarWidth = 30;

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace

Progress::Progress()
    : out_(verbosity() == Verbosity::kQuiet ? nullptr : stderr),
      tty_(isatty(STDERR_FILENO) != 0),
      shown_(Clock::now()) {}

bool Progress::due() const {
    return out_ && since(shown_) >= (tty_ ? 0.1 : 1.0);
}

void Progress::show(const std::string& text, bool last) {
    if (!out_) return;
    if (tty_) {
        std::fprintf(out_, "\r%-78s", text.c_str());
        if (last) std::fprintf(out_, "\n");
        shown_ = Clock::now();
    } else if (last || since(shown_) >= 1.0) {
        std::fprintf(out_, "%s\n", text.c_str());
        shown_ = Clock::now();
    }
    std::fflush(out_);
}

std::string bar(double fraction) {
    int full = static_cast<int>(fraction * kBarWidth + 0.5);
    full = full < 0 ? 0 : (full > kBarWidth ? kBarWidth : full);
    return "[" + std::string(full, '#') + std::string(kBarWidth - full, '.') + "]";
}

int fail(const std::string& what) {
    std::fprintf(stderr, "dirovctl: %s\n", what.c_str());
    std::string unshown = unshown_library_errors();
    if (!unshown.empty()) std::fprintf(stderr, "dirovctl: %s\n", unshown.c_str());
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

int32_t upgrade_with_progress(const std::string& dfuPath) {
    static Progress* progress = nullptr;
    Progress p;
    progress = &p;
    dirov_set_dfu_progress(
        [](uint32_t block, uint32_t count, void*) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "%s block %u of %u",
                          bar(count ? static_cast<double>(block) / count : 1).c_str(), block,
                          count);
            progress->show(buf, block == count);
        },
        nullptr);
    int32_t r = FirmwareUpgrade(dfuPath.c_str());
    dirov_set_dfu_progress(nullptr, nullptr);
    progress = nullptr;
    return r;
}

}  // namespace dirovctl
