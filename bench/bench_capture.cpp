// Streaming throughput and idle cost of the capture path on the simulated
// board: 20480-byte transfers as fast as the board can make them, through the
// capture thread to the in-order reader and two virtual buffers, optionally
// saved to a file (DIROV_BENCH_DIR, default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "dirov410.h"
#include "dirov410_sim.h"

namespace {

constexpr int32_t kBytes = 1 << 30;

double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

std::string BenchFile() {
    const char* dir = std::getenv("DIROV_BENCH_DIR");
    return std::string(dir ? dir : "/tmp") + "/dirov_bench_capture.raw";
}

struct Board {
    Board() {
        dirov_sim_reset();
        dirov_sim_use_virtual_clock(1);
        board = dirov_sim_attach(nullptr);
        BOOL none = 0;
        OpenDevice(&DeviceData, &none, nullptr);
    }
    ~Board() {
        CloseDevice(&DeviceData);
        dirov_sim_reset();
    }
    dirov_sim_board* board;
};

// Reads `bytes` of the stream with GetNextPacket, refreshing two virtual
// buffers as a display would.
void ReadStream(int64_t bytes) {
    RegisterBufferCb();
    VirtualBuffer* scope = CreateNewBuffer(65536, 0);
    VirtualBuffer* history = CreateNewBuffer(1 << 20, 1);
    std::vector<uint8_t> view(65536);
    int64_t seen = 0;
    for (int n = 0; seen < bytes; ++n) {
        DataPacket* p = GetNextPacket();
        if (!p) break;
        seen += p->size;
        if (n % 16 == 0 && GetBufferData(scope) == 0) ExtractBuffData(view.data(), scope);
        if (n % 64 == 0) GetBufferData(history);
    }
    RemoveBuffer(scope);
    RemoveBuffer(history);
    UnregisterBufferCb();
}

// state.range(0): the board's rate in MB/s on the real clock, 0 = as fast as
// the capture thread reads.
void Stream(benchmark::State& state, bool save) {
    Board b;
    if (state.range(0) > 0) {
        dirov_sim_use_virtual_clock(0);
        dirov_sim_stream_set_rate(b.board, static_cast<uint64_t>(state.range(0)) * 1000000);
    }
    dirov_sim_stream_set_pattern(b.board, DIROV_SIM_STREAM_COUNTER);
    std::string file = BenchFile();
    double cpu = 0;
    for (auto _ : state) {
        // Truncating the last run's file drops its pages from the cache: not
        // part of the run.
        state.PauseTiming();
        std::remove(file.c_str());
        state.ResumeTiming();
        double c0 = CpuSeconds();
        if (save) StartSaveWorker(file.c_str(), kBytes);
        StartCaptureWorker();
        ReadStream(kBytes);
        StopCaptureWorker();
        if (save) StopSaveWorker(0);
        cpu += CpuSeconds() - c0;
    }
    std::remove(file.c_str());
    double gb = static_cast<double>(state.iterations()) * kBytes / 1e9;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
    state.counters["cpu_s_per_GB"] = cpu / gb;
}

void BM_CaptureToReader(benchmark::State& state) {
    Stream(state, false);
}
void BM_CaptureToReaderAndFile(benchmark::State& state) {
    Stream(state, true);
}

// CPU time the process spends over 300 ms of real time while a capture
// thread waits on a silent board, a save thread waits for packets and the
// reader waits in GetNextPacket.
void BM_IdleCaptureSaveAndReader(benchmark::State& state) {
    Board b;
    std::string file = BenchFile();
    double idle_cpu = 0, idle_wall = 0;
    for (auto _ : state) {
        StartSaveWorker(file.c_str(), 0);
        StartCaptureWorker();
        std::thread waker([&] {
            double c0 = CpuSeconds();
            auto t0 = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            idle_cpu += CpuSeconds() - c0;
            idle_wall +=
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            uint8_t byte = 0;
            dirov_sim_queue_in(b.board, 0x82, &byte, 1);
        });
        benchmark::DoNotOptimize(GetNextPacket());
        waker.join();
        StopCaptureWorker();
        StopSaveWorker(1);
    }
    std::remove(file.c_str());
    state.counters["idle_cpu_percent"] = 100 * idle_cpu / idle_wall;
}

// The save path side by side with what the disk gives: capture and save only
// (no reader, no buffers), a plain loop that appends the same 20480-byte
// blocks with an open, append and close per block, and dd of the same size,
// all to the same folder.
constexpr int32_t kSaveBytes = 256 << 20;
constexpr int32_t kBlock = DIROV_PACKET_DATA_SIZE;

void Throughput(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSaveBytes);
}

// state.range(0): the board's rate in MB/s on the real clock, 0 = unpaced (the
// board then outruns the disk and competes with the save for the CPU).
void BM_CaptureAndSaveOnly(benchmark::State& state) {
    Board b;
    if (state.range(0) > 0) {
        dirov_sim_use_virtual_clock(0);
        dirov_sim_stream_set_rate(b.board, static_cast<uint64_t>(state.range(0)) * 1000000);
    }
    dirov_sim_stream_set_pattern(b.board, DIROV_SIM_STREAM_COUNTER);
    std::string file = BenchFile();
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(file.c_str());
        state.ResumeTiming();
        StartSaveWorker(file.c_str(), kSaveBytes);
        StartCaptureWorkerNoRegister();
        StopSaveWorker(0);  // returns once the limit is written
        StopCaptureWorker();
    }
    std::remove(file.c_str());
    Throughput(state);
}

void BM_PlainAppendLoop(benchmark::State& state) {
    std::string file = BenchFile();
    std::vector<uint8_t> block(kBlock, 0x5A);
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(file.c_str());
        state.ResumeTiming();
        for (int32_t done = 0; done < kSaveBytes; done += kBlock) {
            int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
            benchmark::DoNotOptimize(write(fd, block.data(), kBlock));
            close(fd);
        }
    }
    std::remove(file.c_str());
    Throughput(state);
}

void BM_Dd(benchmark::State& state) {
    std::string file = BenchFile();
    std::string cmd = "dd if=/dev/zero of=" + file + " bs=" + std::to_string(kBlock) +
                      " count=" + std::to_string(kSaveBytes / kBlock) + " status=none";
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(file.c_str());
        state.ResumeTiming();
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("dd failed");
    }
    std::remove(file.c_str());
    Throughput(state);
}

}  // namespace

BENCHMARK(BM_CaptureAndSaveOnly)->Arg(0)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PlainAppendLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Dd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CaptureToReader)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
// Free-running, the board outruns the disk and the backlog grows in memory;
// paced, the save either keeps up with the board or falls behind.
BENCHMARK(BM_CaptureToReaderAndFile)
    ->Arg(0)
    ->Arg(400)
    ->Arg(800)
    ->Arg(1200)
    ->Arg(1600)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(BM_IdleCaptureSaveAndReader)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

int main(int argc, char** argv) {
    // The library prints a line per saved packet on stdout: buffer it fully.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
