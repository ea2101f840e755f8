// A full firmware upgrade of a 1 MB image against the simulated board with
// zero poll timeouts, on the virtual clock: what is left is the library's own
// time (and the simulated transport's) per DFU block.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "dirov410.h"
#include "dirov410_sim.h"

namespace {

constexpr uint32_t kImageBytes = 1 << 20;
constexpr uint16_t kRecordData = DIROV_DFU_RECORD_MAX_DATA;

std::vector<uint8_t> make_image(uint32_t* count) {
    std::vector<uint8_t> out;
    *count = 0;
    for (uint32_t at = 0; at < kImageBytes; at += kRecordData, ++*count) {
        uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(kRecordData, kImageBytes - at));
        uint32_t addr = 0x08000000 + at;
        uint8_t head[8] = {5,
                           0,
                           uint8_t(n),
                           uint8_t(n >> 8),
                           uint8_t(addr),
                           uint8_t(addr >> 8),
                           uint8_t(addr >> 16),
                           uint8_t(addr >> 24)};
        out.insert(out.end(), head, head + 8);
        out.resize(out.size() + n, uint8_t(at));
    }
    return out;
}

// Diagnostics of the reopen loop go to /dev/null while the benchmark runs.
class QuietStderr {
   public:
    QuietStderr() : saved_(dup(2)) {
        std::fflush(stderr);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }
    ~QuietStderr() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
    }

   private:
    int saved_;
};

void attach_bootloader() {
    dirov_sim_reset();
    dirov_sim_use_virtual_clock(1);
    dirov_sim_config cfg;
    dirov_sim_config_init(&cfg);
    cfg.face = DIROV_SIM_FACE_BOOTLOADER;
    cfg.poll_timeout_ms = 0;
    cfg.transfer_size = 2048;
    dirov_sim_attach(&cfg);
}

void BM_FirmwareUpgrade1MB(benchmark::State& state) {
    uint32_t count = 0;
    std::vector<uint8_t> image = make_image(&count);
    std::string path = (std::filesystem::temp_directory_path() /
                        ("bench_upgrade_" + std::to_string(getpid()) + ".dfu"))
                           .string();
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
    attach_bootloader();
    QuietStderr quiet;
    for (auto _ : state) {
        if (FirmwareUpgrade(path.c_str()) != 0) state.SkipWithError("upgrade failed");
        state.PauseTiming();
        dirov_sim_clear_events();
        state.ResumeTiming();
    }
    state.counters["blocks"] = count;
    state.counters["per_block"] = benchmark::Counter(
        count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(int64_t(state.iterations()) * kImageBytes);
    CloseDevice(&DeviceData);
    dirov_sim_reset();
    std::filesystem::remove(path);
}
BENCHMARK(BM_FirmwareUpgrade1MB)->Unit(benchmark::kMillisecond);

// The download alone, board kept in its bootloader.
void BM_DfuDownload1MB(benchmark::State& state) {
    uint32_t count = 0;
    std::vector<uint8_t> image = make_image(&count);
    attach_bootloader();
    BOOL none = 0;
    if (OpenDevice(&DeviceData, &none, &GUID_DFU_MAIN_INTERFACE) != 0) {
        state.SkipWithError("no bootloader");
        return;
    }
    for (auto _ : state) {
        if (dfu_dnload_firmware(DeviceData.WinUsbHandle, image.data(), count) != 0)
            state.SkipWithError("download failed");
        state.PauseTiming();
        dirov_sim_clear_events();
        state.ResumeTiming();
    }
    state.counters["per_block"] = benchmark::Counter(
        count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetBytesProcessed(int64_t(state.iterations()) * kImageBytes);
    CloseDevice(&DeviceData);
    dirov_sim_reset();
}
BENCHMARK(BM_DfuDownload1MB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
