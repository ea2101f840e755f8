// Every board command as the board receives it (pipe 0x01) and as the caller
// sees it: the result and out bytes taken from a scripted reply, the refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/sim_fixture.h"

namespace dirov::test {
namespace {

using namespace std::string_literals;

uint8_t buf[256];
const uint8_t payload[] = {0x00, '\n', 0xFF, '#'};
const std::string kFull = "R DATA #ff\n" + std::string(255, 'Z');

// A call of one command function on the handle `h`.
#define CALL(expr) [](WINUSB_INTERFACE_HANDLE h) -> int32_t { return expr; }

struct Case {
    int32_t (*call)(WINUSB_INTERFACE_HANDLE);
    std::string text;  // "" when refused before anything is sent
    int32_t result = 0;
    std::string reply = "R CSTAT OK\n";  // "": the board does not acknowledge
    std::string refusal = "";
    std::string out = "";  // what the call leaves at the start of buf
};

const Case kCases[] = {
    {CALL(cbus_read_word(h, 1, 0x20)), "CBUS:READWORD 1,20\n", 0x2345, "R DATA 12345\n"},
    {CALL(cbus_read_byte(h, 0xab, -2)), "CBUS:READBYTE ab,fffffffe\n", 0x45, "R DATA 12345\n"},
    {CALL(cbus_read_word_stream(h, 1, -1, 2, buf)), "CBUS:READWORDSTREAM 1,ffffffff,2\n", 0,
     "R DATA #3\n\x01\x00\x03"s, "", "\x01\x00\x03"s},
    {CALL(cbus_read_byte_stream(h, 1, 2, 255, buf)), "CBUS:READBYTESTREAM 1,2,ff\n", 0, kFull, "",
     std::string(255, 'Z')},
    {CALL(cbus_read_byte_stream(h, 1, 2, 0, buf)), "CBUS:READBYTESTREAM 1,2,0\n", 0, "R DATA #0\n"},
    {CALL(cbus_write_word(h, 1, 2, -1)), "CBUS:WRITEWORD 1,2,ffffffff\n"},
    {CALL(cbus_write_byte(h, 1, 2, 0xff)), "CBUS:WRITEBYTE 1,2,ff\n"},
    {CALL(cbus_write_word_stream(h, 1, 0x2a, payload, 4)),
     "CBUS:WRITEWORDSTREAM 1,2a,#4\n\0\n\xff#"s, 0},
    {CALL(cbus_write_byte_stream(h, 3, 4, 2, payload)), "CBUS:WRITEBYTESTREAM 3,4,#2\n\0\n"s},
    {CALL(cbus_write_byte_stream(h, 1, 2, 0, nullptr)), "CBUS:WRITEBYTESTREAM 1,2,#0\n"},
    {CALL(cbus_set_spi(h, 7)), "CBUS:SETSPIMODE 7\n", 0, "CBUS:SETSPIMODE CSTAT Bad SPI mode\n",
     "CBUS:SETSPIMODE: Bad SPI mode"},
    {CALL(cbus_set_baud_rate(h, 1000000)), "CBUS:SETBAUDRATE f4240\n"},
    {CALL(gpio_init(h)), "GPIO:INIT\n"},
    {CALL(gpio_set_dir(h, 0x8001)), "GPIO:SETDIR 8001\n"},
    {CALL(gpio_write(h, 0)), "GPIO:WRITE 0\n"},
    {CALL(gpio_read(h)), "GPIO:READ\n", 0x7FFFFFFF, "R DATA 80000000\n"},
    {CALL(gpio_set_pin(h, 10)), "GPIO:SETPIN a\n"},
    {CALL(gpio_clear_pin(h, 0xffff)), "GPIO:CLEARPIN ffff\n"},
    {CALL(dio_init(h)), "GPIO:DIOINIT\n"},
    {CALL(dio_write(h, 0x12)), "GPIO:DIOWRITE 12\n"},
    {CALL(dio_set_pin(h, 3)), "GPIO:DIOSETPIN 3\n"},
    {CALL(dio_clear_pin(h, 4)), "GPIO:DIOCLEARPIN 4\n"},
    {CALL(io_init(h)), "GPIO:IOINIT\n"},
    {CALL(io_set_dir(h, 0xFFFF)), "GPIO:IOSETDIR ffff\n"},
    {CALL(io_write(h, 5)), "GPIO:IOWRITE 5\n"},
    {CALL(io_read(h)), "GPIO:IOREAD\n", 0x12345, "R DATA 12345\n"},
    {CALL(io_set_pin(h, 6)), "GPIO:IOSETPIN 6\n"},
    {CALL(io_clear_pin(h, 7)), "GPIO:IOCLEARPIN 7\n"},
    {CALL(dedicated_io_init(h)), "GPIO:DEDICATEDIOINIT\n"},
    {CALL(set_booten_1(h, 1)), "GPIO:SETBOOTEN1 1\n"},
    {CALL(set_booten_2(h, 2)), "GPIO:SETBOOTEN2 2\n"},
    {CALL(clear_booten_1(h, 3)), "GPIO:CLEARBOOTEN1 3\n"},
    {CALL(clear_booten_2(h, 4)), "GPIO:CLEARBOOTEN2 4\n"},
    {CALL(irqn_int_set(h)), "GPIO:IRQNINTSET\n"},
    {CALL(irqn_enable(h)), "GPIO:IRQNENABLE\n"},
    {CALL(irqn_disable(h)), "GPIO:IRQNDISABLE\n"},
    {CALL(dedio_get_status(h)), "GPIO:DEDIOGETSTATUS\n", 0xFF, "R DATA 1FF\n"},
    {CALL(host_port_i2s_init(h)), "I2S:INIT\n"},
    {CALL(host_port_tx_i2s_dma_enable(h)), "I2S:DMATXENABLE\n"},
    {CALL(host_port_rx_i2s_dma_enable(h)), "I2S:DMARXENABLE\n"},
    {CALL(host_port_i2s_dma_disable(h)), "I2S:DMADISABLE\n"},
    {CALL(host_port_i2s_dma_set_left_sine(h, 1, 0.5f)), "I2S:SETLSINE 1.000000,0.500000\n"},
    {CALL(host_port_i2s_dma_set_right_sine(h, -0.25f, 3.0f)), "I2S:SETRSINE -0.250000,3.000000\n"},
    {CALL(host_port_i2s_rx_status(h)), "I2S:DMARXSTATUS\n", 0, "R DATA 100\n"},
    {CALL(sd_test(h)), "SDMMC:TEST\n", 0x45, "R DATA 12345\n"},
    {CALL(gen_reset(h)), "SYS:RESET\n"},
    {CALL(gen_version(h)), "SYS:VERSION\n", 0x7FFFFFFE, "R DATA 7ffffffe\n"},
    {CALL(load_fi_QDR5X3X(h, 1, 0xffffffff, 2, 0xffff)), "SYS:LOADFI_QDR5X3X 1,ffffffff,2,ffff\n"},
    {CALL(load_fi_QDR504X_QDR514X(h, 5, 6, 7, 8)), "SYS:LOADFI_QDR504X_QDR514X 5,6,7,8\n"},
    {CALL(load_fi_QDR524X_QDR534X(h, 0xff, 0xdeadbeef, 0, 0x1234)),
     "SYS:LOADFI_QDR524X_QDR534X ff,deadbeef,0,1234\n", 0},
    {CALL(load_fi_QDR5X6X(h, 1, 2, 3)), "SYS:LOADFI_QDR5X6X 1,2,3\n"},
    {CALL(timer_sleep(h, 0x10)), "SYS:TIMERSLEEP 10\n"},
    {CALL(uart_init(h, 2)), "UART:INIT 2\n"},
    {CALL(uart_set_baud_rate(h, 1, 115200)), "UART:SETBAUD 1,1c200\n"},
    {CALL(uart_set_config(h, 1, 115200, 8, 0, 1)), "UART:SETCONFIG 1,1c200,8,0,1\n"},
    {CALL(uart_write_byte(h, 3, 0x41)), "UART:WRITEBYTE 3,41\n"},
    // A read fails on a reply without a value; a write succeeds on any reply.
    {CALL(gpio_read(h)), "GPIO:READ\n", -1, "GPIO:READ CSTAT Busy\n", "GPIO:READ: Busy"},
    {CALL(gpio_read(h)), "GPIO:READ\n", -1},
    {CALL(cbus_read_word(h, 1, 2)), "CBUS:READWORD 1,2\n", -1, "R DATA #2\nab"},
    {CALL(gen_version(h)), "SYS:VERSION\n", -1, "SYS:VERSION\n"},
    {CALL(gpio_write(h, 1)), "GPIO:WRITE 1\n", 0, "GPIO:WRITE CSTAT Busy\n", "GPIO:WRITE: Busy"},
    {CALL(irqn_enable(h)), "GPIO:IRQNENABLE\n", 0, "garbage\n"},
    // A read stream copies only counted bytes.
    {CALL(cbus_read_word_stream(h, 1, 2, 2, buf)), "CBUS:READWORDSTREAM 1,2,2\n", 0,
     "R DATA 1234\n"},
    {CALL(cbus_read_byte_stream(h, 1, 2, 2, buf)), "CBUS:READBYTESTREAM 1,2,2\n", -1,
     "R CSTAT Bus error\n", "R: Bus error"},
    {CALL(cbus_read_byte_stream(h, 1, 2, 9, buf)), "CBUS:READBYTESTREAM 1,2,9\n", -1,
     "R DATA #9\nshort"},
    // A failed exchange.
    {CALL(gpio_read(h)), "GPIO:READ\n", -1, ""},
    {CALL(cbus_read_byte_stream(h, 1, 2, 2, buf)), "CBUS:READBYTESTREAM 1,2,2\n", -1, ""},
    {CALL(cbus_write_word_stream(h, 1, 2, payload, 1)), "CBUS:WRITEWORDSTREAM 1,2,#1\n\0"s, -1, ""},
    // Arguments refused before anything is sent; a count the reply could not carry.
    {CALL(cbus_write_byte_stream(h, 1, 2, -1, payload)), "", -1},
    {CALL(cbus_write_byte_stream(h, 1, 2, 3, nullptr)), "", -1},
    {CALL(cbus_read_byte_stream(h, 1, 2, 4, nullptr)), "", -1},
    {CALL(cbus_read_byte_stream(h, 1, 2, 256, buf)), "", -1},
    {CALL(cbus_read_byte_stream(h, 1, 2, -1, buf)), "", -1},
    {[](WINUSB_INTERFACE_HANDLE) { return gpio_write(nullptr, 1); }, "", -1},
};

using CommandTest = SimBoardTest;

TEST_F(CommandTest, EveryCommandTextResultAndRefusal) {
    WINUSB_INTERFACE_HANDLE h = open_main();
    dirov_sim_set_firmware_replies(board, 0);
    Captured quiet;
    auto queue = [this](const std::string& s) {
        dirov_sim_queue_in(board, 0x81, s.data(), static_cast<uint32_t>(s.size()));
    };
    for (const Case& c : kCases) {
        std::vector<std::string> sent, want(c.text.empty() ? 0 : 1, c.text);
        if (!c.text.empty()) queue(c.reply.empty() ? "ISTAT BUSY\n" : "ISTAT OK\n");
        if (!c.text.empty() && !c.reply.empty()) queue(c.reply);
        std::fill(std::begin(buf), std::end(buf), 0xEE);
        dirov_sim_clear_events();
        EXPECT_EQ(c.call(h), c.result) << c.text;
        for (auto& e : sim_events(DIROV_SIM_EV_OUT)) sent.push_back(e.text());
        EXPECT_EQ(sent, want);
        EXPECT_EQ(dirov_get_last_refusal(), c.refusal) << c.text;
        EXPECT_EQ(std::string(buf, buf + 256), c.out + std::string(256 - c.out.size(), '\xEE'));
        EXPECT_EQ(dirov_sim_pending_in(board, 0x81), 0u) << c.text;
    }
}

}  // namespace
}  // namespace dirov::test
