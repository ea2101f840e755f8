// Command exchanges against the simulated board, at three depths: the command
// function (library plus simulated transport and board), the bare transport
// calls with a ready-made command text, and the board model driven directly.
// The library's own time per exchange is the first minus the second; the
// first minus the third adds the simulated transport (with its event record).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "device/usb.h"
#include "dirov410.h"
#include "dirov410_sim.h"
#include "sim/board.h"

namespace {

constexpr int kClearEvery = 4096;  // the sim records every transfer; keep that bounded

struct Rig {
    Rig() {
        dirov_sim_reset();
        dirov_sim_use_virtual_clock(1);
        dirov_sim_attach(nullptr);
        BOOL none = 0;
        OpenDevice(&DeviceData, &none, nullptr);
        h = DeviceData.WinUsbHandle;
        dirov_sim_clear_events();
    }
    ~Rig() {
        CloseDevice(&DeviceData);
        dirov_sim_reset();
    }
    WINUSB_INTERFACE_HANDLE h = nullptr;
};

template <typename F>
void run(benchmark::State& state, F&& exchange) {
    Rig rig;
    int n = 0;
    for (auto _ : state) {
        if (!exchange(rig.h)) {
            state.SkipWithError("exchange failed");
            break;
        }
        if (++n % kClearEvery == 0) dirov_sim_clear_events();
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- command functions ----

void BM_Command_GpioRead(benchmark::State& state) {
    run(state, [](auto h) { return gpio_read(h) == 0xFFFF; });
}
BENCHMARK(BM_Command_GpioRead);

void BM_Command_CbusWriteWord(benchmark::State& state) {
    run(state, [](auto h) { return cbus_write_word(h, 1, 0x20, 0x1234) == 0; });
}
BENCHMARK(BM_Command_CbusWriteWord);

void BM_Command_SetSine(benchmark::State& state) {
    run(state, [](auto h) { return host_port_i2s_dma_set_left_sine(h, 1000.0f, 0.5f) == 0; });
}
BENCHMARK(BM_Command_SetSine);

void BM_Command_ReadByteStream255(benchmark::State& state) {
    uint8_t buf[255];
    run(state, [&](auto h) { return cbus_read_byte_stream(h, 1, 0, 255, buf) == 0; });
}
BENCHMARK(BM_Command_ReadByteStream255);

// ---- the same exchanges as bare transport calls ----

bool transport_exchange(WINUSB_INTERFACE_HANDLE h, const std::string& text) {
    char ack[129], reply[1025];
    uint32_t got = 0;
    return dirov::usb_write_pipe(h, 0x01, text.data(), static_cast<uint32_t>(text.size()),
                                 nullptr) &&
           dirov::usb_read_pipe(h, 0x81, ack, 128, &got) &&
           dirov::usb_read_pipe(h, 0x81, reply, 1024, &got);
}

void BM_Transport_GpioRead(benchmark::State& state) {
    run(state, [](auto h) { return transport_exchange(h, "GPIO:READ\n"); });
}
BENCHMARK(BM_Transport_GpioRead);

void BM_Transport_CbusWriteWord(benchmark::State& state) {
    run(state, [](auto h) { return transport_exchange(h, "CBUS:WRITEWORD 1,20,1234\n"); });
}
BENCHMARK(BM_Transport_CbusWriteWord);

void BM_Transport_SetSine(benchmark::State& state) {
    run(state, [](auto h) { return transport_exchange(h, "I2S:SETLSINE 1000.000000,0.500000\n"); });
}
BENCHMARK(BM_Transport_SetSine);

void BM_Transport_ReadByteStream255(benchmark::State& state) {
    run(state, [](auto h) { return transport_exchange(h, "CBUS:READBYTESTREAM 1,0,ff\n"); });
}
BENCHMARK(BM_Transport_ReadByteStream255);

// ---- the board model alone ----

void board_only(benchmark::State& state, const std::string& text) {
    Rig rig;
    auto board = dirov::sim::boards().front();
    uint32_t gen = board->generation();
    uint64_t session = board->open_session();
    auto* cmd = reinterpret_cast<const uint8_t*>(text.data());
    uint8_t buf[1024];
    uint32_t got = 0;
    for (auto _ : state) {
        board->bulk_out(gen, 0x01, cmd, static_cast<uint32_t>(text.size()));
        board->bulk_in(gen, session, 0x81, buf, 128, &got);
        board->bulk_in(gen, session, 0x81, buf, 1024, &got);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_Board_GpioRead(benchmark::State& state) {
    board_only(state, "GPIO:READ\n");
}
BENCHMARK(BM_Board_GpioRead);

void BM_Board_CbusWriteWord(benchmark::State& state) {
    board_only(state, "CBUS:WRITEWORD 1,20,1234\n");
}
BENCHMARK(BM_Board_CbusWriteWord);

void BM_Board_SetSine(benchmark::State& state) {
    board_only(state, "I2S:SETLSINE 1000.000000,0.500000\n");
}
BENCHMARK(BM_Board_SetSine);

void BM_Board_ReadByteStream255(benchmark::State& state) {
    board_only(state, "CBUS:READBYTESTREAM 1,0,ff\n");
}
BENCHMARK(BM_Board_ReadByteStream255);

}  // namespace

BENCHMARK_MAIN();
