// The in-order reader alone: GetNextPacket over the simulated board's counter
// stream, 20480-byte packets as fast as the board makes them, touching no
// data. The yardstick for readers in other languages (bench_python_capture.py).
#include <benchmark/benchmark.h>

#include <cstdint>

#include "dirov410.h"
#include "dirov410_sim.h"

namespace {

constexpr int64_t kBytes = int64_t{1} << 30;

void BM_CReader(benchmark::State& state) {
    dirov_sim_reset();
    dirov_sim_use_virtual_clock(1);
    dirov_sim_board* board = dirov_sim_attach(nullptr);
    BOOL none = 0;
    OpenDevice(&DeviceData, &none, nullptr);
    dirov_sim_stream_set_pattern(board, DIROV_SIM_STREAM_COUNTER);
    for (auto _ : state) {
        StartCaptureWorker();
        int64_t seen = 0;
        while (seen < kBytes) {
            DataPacket* p = GetNextPacket();
            if (!p) break;
            seen += p->size;
        }
        StopCaptureWorker();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBytes);
    CloseDevice(&DeviceData);
    dirov_sim_reset();
}

}  // namespace

BENCHMARK(BM_CReader)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
