// The command functions that only the simulated main firmware answers in
// full: each is understood by the board, and what reads back shows that its
// arguments arrived.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/sim_fixture.h"

namespace dirov::test {
namespace {

using Call = std::function<int32_t(WINUSB_INTERFACE_HANDLE)>;

TEST_F(SimBoardTest, EveryCommandIsUnderstoodByTheBoard) {
    WINUSB_INTERFACE_HANDLE h = open_main();
    const std::pair<Call, int32_t> calls[] = {
        {[](auto h) { return cbus_write_byte(h, 1, 4, 0x56); }, 0},
        {[](auto h) { return cbus_read_byte(h, 1, 4); }, 0x56},
        {io_init, 0},
        {[](auto h) { return io_set_dir(h, 0xF); }, 0},
        {[](auto h) { return io_set_pin(h, 6); }, 0},
        {[](auto h) { return io_clear_pin(h, 3); }, 0},
        {io_read, 0xFFF4},  // inputs read high, outputs show their latch
        {dio_init, 0},
        {[](auto h) { return dio_write(h, 0xA5); }, 0},
        {[](auto h) { return dio_set_pin(h, 2); }, 0},
        {[](auto h) { return dio_clear_pin(h, 1); }, 0},
        {dedicated_io_init, 0},
        {[](auto h) { return set_booten_1(h, 1); }, 0},
        {[](auto h) { return set_booten_2(h, 6); }, 0},
        {irqn_enable, 0},
        {irqn_int_set, 0},
        {dedio_get_status, 0xF},
        {[](auto h) { return clear_booten_2(h, 6); }, 0},
        {[](auto h) { return clear_booten_1(h, 1); }, 0},
        {irqn_disable, 0},
        {dedio_get_status, 8},
        {host_port_i2s_init, 0},
        {host_port_tx_i2s_dma_enable, 0},
        {[](auto h) { return load_fi_QDR5X3X(h, 1, 0x10000, 2, 3); }, 0},
        {[](auto h) { return load_fi_QDR504X_QDR514X(h, 1, 0x10000, 2, 3); }, 0},
        {[](auto h) { return uart_init(h, 1); }, 0},
        {[](auto h) { return uart_set_baud_rate(h, 1, 9600); }, 0},
        {[](auto h) { return uart_write_byte(h, 1, 'A'); }, 0},
        {gen_reset, 0},
    };
    for (size_t i = 0; i < std::size(calls); ++i)
        EXPECT_EQ(calls[i].first(h), calls[i].second) << i;
    size_t replies = 0;
    for (auto& e : sim_events(DIROV_SIM_EV_IN)) {
        if (e.ev.ep != 0x81 || e.text() == "ISTAT OK\n") continue;
        ++replies;
        EXPECT_TRUE(e.text().find(" CSTAT ") == std::string::npos ||
                    e.text().ends_with(" CSTAT OK\n"))
            << e.text();
    }
    EXPECT_EQ(replies, std::size(calls));
}

}  // namespace
}  // namespace dirov::test
