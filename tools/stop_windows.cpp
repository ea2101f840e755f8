#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "tools/stop.h"

namespace dirovctl {
namespace {

// The console runs the control handler on a thread of its own, so the
// temporary file's name is guarded by a mutex rather than by held signals.
std::atomic<int> stops{0};
std::mutex temporary_mutex;
std::string temporary;

constexpr int kExitByControl = 128 + 2;

BOOL WINAPI on_console_stop(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (stops.fetch_add(1) == 0) return TRUE;
    std::lock_guard lock(temporary_mutex);
    if (!temporary.empty()) DeleteFileA(temporary.c_str());
    std::fputs("\ndirovctl: stopped at once\n", stderr);
    ExitProcess(kExitByControl);
}

}  // namespace

struct StopOnSignal::Saved {};
struct SignalsHeld::Saved {
    std::unique_lock<std::mutex> lock{temporary_mutex};
};

StopOnSignal::StopOnSignal() {
    stops = 0;
    SetConsoleCtrlHandler(on_console_stop, TRUE);
}

StopOnSignal::~StopOnSignal() {
    SetConsoleCtrlHandler(on_console_stop, FALSE);
}

bool stop_requested() {
    return stops.load() != 0;
}

SignalsHeld::SignalsHeld() : saved_(std::make_unique<Saved>()) {}
SignalsHeld::~SignalsHeld() = default;

void remove_on_forced_stop(const char* path) {
    temporary = path ? path : "";
}

// Windows' pipes and files have no readiness wait: the write blocks.
bool wait_writable(int, std::chrono::milliseconds) {
    return true;
}

void make_stdout_binary() {
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace dirovctl
