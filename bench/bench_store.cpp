// Packet store costs: taking a packet while a slow reader holds many, a
// publication to three consumers, and reading a 1 MB virtual buffer.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "dirov410.h"

namespace {

// Packets that a slow reader keeps locked at the head of the list.
std::vector<DataPacket*> Hold(int64_t count) {
    std::vector<DataPacket*> held;
    for (int64_t i = 0; i < count; ++i) {
        held.push_back(InitDataPacket());
        IncPktLock(held.back());
        PublishDataPacket(held.back());
    }
    return held;
}

void Release(std::vector<DataPacket*>& held) {
    for (DataPacket* p : held) {
        DecPktLock(p);
        RemovePacket(p, 1);
    }
    held.clear();
}

// One capture step with nobody registered: the packet is free again at once.
void CaptureStep() {
    DataPacket* p = InitDataPacket();
    p->size = DIROV_PACKET_DATA_SIZE;
    PublishDataPacket(p);
}

double SecondsFor(int cycles) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < cycles; ++i) CaptureStep();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_InitDataPacketHeld(benchmark::State& state) {
    std::vector<DataPacket*> held = Hold(state.range(0));
    for (auto _ : state) CaptureStep();
    Release(held);
}
BENCHMARK(BM_InitDataPacketHeld)->Arg(10)->Arg(10000);

// Both cases in one run, so that their ratio is reported as a counter.
void BM_InitDataPacketHeldRatio(benchmark::State& state) {
    constexpr int kCycles = 50000;
    double small = 0, large = 0;
    for (auto _ : state) {
        std::vector<DataPacket*> held = Hold(10);
        small += SecondsFor(kCycles);
        std::vector<DataPacket*> more = Hold(9990);
        double t = SecondsFor(kCycles);
        large += t;
        state.SetIterationTime(t);
        Release(more);
        Release(held);
    }
    double runs = static_cast<double>(state.iterations()) * kCycles;
    state.counters["ns_10_held"] = small / runs * 1e9;
    state.counters["ns_10000_held"] = large / runs * 1e9;
    state.counters["ratio"] = large / small;
}
BENCHMARK(BM_InitDataPacketHeldRatio)->UseManualTime()->Iterations(10);

void GiveBack(DataPacket* p) {
    DecPktLock(p);
}

void BM_PublishThreeCallbacks(benchmark::State& state) {
    RegisterPktNotify(GiveBack);
    RegisterPktNotify(GiveBack);
    RegisterBufferCb();
    VirtualBuffer* b = CreateNewBuffer(1 << 20, 1);
    for (auto _ : state) CaptureStep();
    state.SetItemsProcessed(state.iterations());
    RemoveBuffer(b);
    UnregisterBufferCb();
    UnregisterPktNotify(GiveBack);
    UnregisterPktNotify(GiveBack);
}
BENCHMARK(BM_PublishThreeCallbacks);

void BM_BufferWindow1MB(benchmark::State& state) {
    constexpr int32_t kWindow = 1 << 20;
    RegisterBufferCb();
    VirtualBuffer* b = CreateNewBuffer(kWindow, 1);
    std::vector<uint8_t> dest(kWindow);
    for (int i = 0; i < kWindow / DIROV_PACKET_DATA_SIZE + 2; ++i) CaptureStep();
    for (auto _ : state) {
        state.PauseTiming();
        CaptureStep();
        state.ResumeTiming();
        GetBufferData(b);
        ExtractBuffData(dest.data(), b);
        benchmark::DoNotOptimize(dest.data());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kWindow});
    RemoveBuffer(b);
    UnregisterBufferCb();
}
BENCHMARK(BM_BufferWindow1MB);

}  // namespace

BENCHMARK_MAIN();
