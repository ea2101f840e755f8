// Streaming over the libusb backend against the simulated board behind an
// emulated usbfs device: 20480-byte reads of the counter stream, one posted
// at a time as the capture thread does, with read-ahead depth 1 (one
// transfer in flight) against the default 6. Reported per MB: the reading
// thread's CPU (the library and libusb) and the whole process's (which also
// pays for the emulated kernel and board).
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "device/usb.h"
#include "dirov410.h"
#include "support/usbfs_emulator.h"

namespace {

using dirov::test::UsbfsEmulator;

constexpr uint32_t kRead = 20480;

double cpu_seconds(clockid_t which) {
    timespec ts;
    clock_gettime(which, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// libusb enumerates once per process, so the emulated board outlives every
// benchmark.
UsbfsEmulator& emulator() {
    static UsbfsEmulator* emu = [] {
        auto* e = new UsbfsEmulator(dirov::test::make_board(DIROV_SIM_FACE_MAIN));
        e->board().stream().set_transfer_size(kRead);
        e->board().stream().set_pattern(dirov::sim::StreamGenerator::Pattern::kCounter);
        return e;
    }();
    return *emu;
}

bool read_one(WINUSB_INTERFACE_HANDLE h, uint8_t* buf) {
    uint32_t n = 0;
    if (dirov::usb_read_pipe_overlapped(h, dirov::kPipeStreamIn, buf, kRead, &n)) return true;
    return dirov::usb_get_overlapped_result(h, dirov::kPipeStreamIn, &n, true);
}

void BM_LibusbStream(benchmark::State& state) {
    if (!emulator().ok()) {
        state.SkipWithError("umockdev testbed");
        return;
    }
    setenv("DIROV410_READ_AHEAD", std::to_string(state.range(0)).c_str(), 1);
    BOOL none = 0;
    if (OpenDevice(&DeviceData, &none, nullptr) != 0) {
        state.SkipWithError("open");
        return;
    }
    std::vector<uint8_t> buf(kRead);
    WINUSB_INTERFACE_HANDLE h = DeviceData.WinUsbHandle;
    read_one(h, buf.data());  // queue the read-ahead
    double thread0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    double process0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (auto _ : state) {
        if (!read_one(h, buf.data())) {
            state.SkipWithError("read");
            break;
        }
    }
    double mb = static_cast<double>(state.iterations()) * kRead / 1e6;
    state.counters["thread_cpu_ms_per_MB"] =
        (cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - thread0) * 1e3 / mb;
    state.counters["process_cpu_ms_per_MB"] =
        (cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - process0) * 1e3 / mb;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kRead);
    CloseDevice(&DeviceData);
    unsetenv("DIROV410_READ_AHEAD");
}
BENCHMARK(BM_LibusbStream)->Arg(1)->Arg(6)->ArgName("read_ahead")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
