// Streaming throughput and idle cost of the capture path on the simulated
// board: 20480-byte transfers as fast as the board can make them, through the
// capture thread to the in-order reader and two virtual buffers, optionally
// saved to a file (DIROV_BENCH_DIR, default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
// all to the same folder. cpu_s_per_GB is the CPU the process (for dd: its
// children) spent per GB written: on a loaded machine it tells more than the
// rate, which then depends on the share of the cores each run gets.
constexpr int32_t kSaveBytes = 256 << 20;
constexpr int32_t kBlock = DIROV_PACKET_DATA_SIZE;
// Packets that hold kSaveBytes (the save writes part of the last one).
constexpr int32_t kSavePackets = (kSaveBytes + kBlock - 1) / kBlock;

double ChildCpuSeconds() {
    rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6;
    };
    return seconds(ru.ru_utime) + seconds(ru.ru_stime);
}

void Throughput(benchmark::State& state, double cpu) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kSaveBytes);
    state.counters["cpu_s_per_GB"] =
        cpu / (static_cast<double>(state.iterations()) * kSaveBytes / 1e9);
}

// Deletes the last run's file outside the timing: truncating it drops its
// pages from the cache.
void RemoveUntimed(benchmark::State& state, const std::string& file) {
    state.PauseTiming();
    std::remove(file.c_str());
    state.ResumeTiming();
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
    double cpu = 0;
    for (auto _ : state) {
        RemoveUntimed(state, file);
        double c0 = CpuSeconds();
        StartSaveWorker(file.c_str(), kSaveBytes);
        StartCaptureWorkerNoRegister();
        StopSaveWorker(0);  // returns once the limit is written
        StopCaptureWorker();
        cpu += CpuSeconds() - c0;
    }
    std::remove(file.c_str());
    Throughput(state, cpu);
}

// The packets a finished capture left in the store, held by this callback.
std::vector<DataPacket*> g_held;
std::atomic<int32_t> g_heldCount{0};

void HoldPacket(DataPacket* p) {
    int32_t n = g_heldCount.fetch_add(1);
    if (n >= kSavePackets) {
        DecPktLock(p);
        return;
    }
    g_held[static_cast<size_t>(n)] = p;
    if (n + 1 == kSavePackets) g_heldCount.notify_all();
}

// Fills the store with kSaveBytes of the stream from a capture that has ended.
void FillStore() {
    g_held.assign(kSavePackets, nullptr);
    g_heldCount.store(0);
    RegisterPktNotify(HoldPacket);
    StartCaptureWorkerNoRegister();
    for (int32_t n = g_heldCount.load(); n < kSavePackets; n = g_heldCount.load())
        g_heldCount.wait(n);
    StopCaptureWorker();
    UnregisterPktNotify(HoldPacket);
}

// The save alone, without the board's cost: a capture that has ended left the
// packets in the store (untimed); the timed part hands them to the save
// thread in stream order, as the capture thread would, and waits for the
// file. The packets are consecutive in the store, so the save walks them.
void BM_SaveOnlyFromFilledStore(benchmark::State& state) {
    Board b;
    dirov_sim_stream_set_pattern(b.board, DIROV_SIM_STREAM_COUNTER);
    std::string file = BenchFile();
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(file.c_str());
        FillStore();
        state.ResumeTiming();
        double c0 = CpuSeconds();
        StartSaveWorker(file.c_str(), kSaveBytes);
        for (DataPacket* p : g_held) PublishDataPacket(p);
        StopSaveWorker(0);
        cpu += CpuSeconds() - c0;
        state.PauseTiming();
        for (DataPacket* p : g_held) DecPktLock(p);
        state.ResumeTiming();
    }
    std::remove(file.c_str());
    Throughput(state, cpu);
}

void BM_PlainAppendLoop(benchmark::State& state) {
    std::string file = BenchFile();
    std::vector<uint8_t> block(kBlock, 0x5A);
    double cpu = 0;
    for (auto _ : state) {
        RemoveUntimed(state, file);
        double c0 = CpuSeconds();
        for (int32_t done = 0; done < kSaveBytes; done += kBlock) {
            int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
            benchmark::DoNotOptimize(write(fd, block.data(), kBlock));
            close(fd);
        }
        cpu += CpuSeconds() - c0;
    }
    std::remove(file.c_str());
    Throughput(state, cpu);
}

// The plain loop writing from memory as fresh as the store's: each block from
// its own place in a newly allocated and filled region (untimed), as the save
// writes packets that a capture filled into new store blocks. On some virtual
// machines the kernel's first read of a fresh user page costs far more than
// later reads, which the plain loop's one reused block never pays.
void BM_PlainAppendLoopFreshMemory(benchmark::State& state) {
    std::string file = BenchFile();
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(file.c_str());
        std::unique_ptr<uint8_t[]> region(new uint8_t[kSaveBytes]);
        std::memset(region.get(), 0x5A, kSaveBytes);
        state.ResumeTiming();
        double c0 = CpuSeconds();
        for (int32_t done = 0; done < kSaveBytes; done += kBlock) {
            int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
            benchmark::DoNotOptimize(write(fd, region.get() + done, kBlock));
            close(fd);
        }
        cpu += CpuSeconds() - c0;
        state.PauseTiming();
        region.reset();
        state.ResumeTiming();
    }
    std::remove(file.c_str());
    Throughput(state, cpu);
}

// The plain loop fed by another thread, as a capture feeds the save: a
// producer fills each block (a counter, as the board sends) of a ring as
// large as the store keeps while capturing and hands it over; this thread
// appends it with an open, append and close. What it loses against the
// plain loop is the cost of writing data another core has just made.
void BM_PlainAppendLoopFromAnotherThread(benchmark::State& state) {
    constexpr uint32_t kRing = 64;
    std::string file = BenchFile();
    std::vector<uint32_t> ring(size_t{kRing} * kBlock / 4);
    double cpu = 0;
    for (auto _ : state) {
        RemoveUntimed(state, file);
        std::atomic<uint32_t> made{0}, written{0};
        double c0 = CpuSeconds();
        std::thread producer([&] {
            uint32_t counter = 0;
            for (uint32_t n = 0; n < kSavePackets; made.notify_one()) {
                for (uint32_t w = written.load(); n - w >= kRing; w = written.load())
                    written.wait(w);
                uint32_t* block = &ring[(n % kRing) * (kBlock / 4)];
                for (int32_t i = 0; i < kBlock / 4; ++i) block[i] = counter++;
                made.store(++n);
            }
        });
        for (uint32_t n = 0; n < kSavePackets; written.notify_one()) {
            for (uint32_t m = made.load(); m == n; m = made.load()) made.wait(m);
            int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
            benchmark::DoNotOptimize(write(fd, &ring[(n % kRing) * (kBlock / 4)], kBlock));
            close(fd);
            written.store(++n);
        }
        producer.join();
        cpu += CpuSeconds() - c0;
    }
    std::remove(file.c_str());
    Throughput(state, cpu);
}

void BM_Dd(benchmark::State& state) {
    std::string file = BenchFile();
    std::string cmd = "dd if=/dev/zero of=" + file + " bs=" + std::to_string(kBlock) +
                      " count=" + std::to_string(kSaveBytes / kBlock) + " status=none";
    double cpu = 0;
    for (auto _ : state) {
        RemoveUntimed(state, file);
        double c0 = ChildCpuSeconds();
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("dd failed");
        cpu += ChildCpuSeconds() - c0;
    }
    std::remove(file.c_str());
    Throughput(state, cpu);
}

}  // namespace

BENCHMARK(BM_CaptureAndSaveOnly)
    ->Arg(0)
    ->Arg(800)
    ->Arg(1200)
    ->Arg(1500)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_SaveOnlyFromFilledStore)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PlainAppendLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PlainAppendLoopFreshMemory)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_PlainAppendLoopFromAnotherThread)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
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
