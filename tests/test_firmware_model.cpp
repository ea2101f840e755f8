// The simulated main firmware: a coherent board behind every command, and a
// "CSTAT" reply for whatever it cannot take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "device/usb.h"
#include "sim/board.h"
#include "support/sim_fixture.h"

namespace dirov::test {
namespace {

using Call = std::function<int32_t(WINUSB_INTERFACE_HANDLE)>;

class FirmwareModelTest : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        h = open_main();
    }
    // The raw reply to `command` (text plus optional payload), as the host parsed it.
    CommandReply send(const std::string& command) {
        PayloadPart part{static_cast<uint32_t>(command.size()),
                         reinterpret_cast<const uint8_t*>(command.data())};
        CommandReply* r = usb_comms(h, "", 1, &part);
        EXPECT_NE(r, nullptr) << command;
        CommandReply out{};
        if (!r) return out;
        out = *r;
        out.Data = nullptr;
        std::free(r->Data);
        std::free(r);
        return out;
    }
    // Every reply the board sent since the last clear, acknowledgements left out.
    static std::vector<std::string> replies() {
        std::vector<std::string> out;
        for (auto& e : sim_events(DIROV_SIM_EV_IN))
            if (e.ev.ep == 0x81 && e.text() != "ISTAT OK\n") out.push_back(e.text());
        return out;
    }
    static sim::StreamGenerator& stream() { return sim::boards().front()->stream(); }
    WINUSB_INTERFACE_HANDLE h = nullptr;
    uint8_t buf[256];
};

TEST_F(FirmwareModelTest, RegisterFileReadsBackByWordByteAndStream) {
    ASSERT_EQ(cbus_write_word(h, 3, 0x10, 0x1BEEF), 0);
    EXPECT_EQ(cbus_read_word(h, 3, 0x10), 0xBEEF);
    EXPECT_EQ(cbus_read_byte(h, 3, 0x10), 0xEF);
    EXPECT_EQ(cbus_read_byte(h, 3, 0x11), 0xBE);
    EXPECT_EQ(cbus_read_word(h, 4, 0x10), 0) << "each first field is a register space of its own";

    const uint8_t payload[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(cbus_write_byte_stream(h, 3, 0x11, 5, payload), 0);
    ASSERT_EQ(cbus_read_word_stream(h, 3, 0x10, 7, buf), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 7), (std::vector<uint8_t>{0xEF, 1, 2, 3, 4, 5, 0}));
    ASSERT_EQ(cbus_write_byte(h, 3, 0x12, 0x99), 0);
    EXPECT_EQ(cbus_read_word(h, 3, 0x11), 0x9901);

    std::vector<uint8_t> big(255);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(cbus_write_word_stream(h, 0, -1, big.data(), 255), 0);
    std::memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(cbus_read_word_stream(h, 0, -1, 255, buf), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 255), big);
    EXPECT_EQ(buf[255], 0xEE);
}

TEST_F(FirmwareModelTest, IoBanksAndDedicatedLines) {
    using Init = int32_t (*)(WINUSB_INTERFACE_HANDLE);
    using Set = int32_t (*)(WINUSB_INTERFACE_HANDLE, uint16_t);
    const struct {
        Init init, read;
        Set dir, write, set, clear;
    } banks[] = {{gpio_init, gpio_read, gpio_set_dir, gpio_write, gpio_set_pin, gpio_clear_pin},
                 {io_init, io_read, io_set_dir, io_write, io_set_pin, io_clear_pin}};
    for (const auto& b : banks) {
        ASSERT_EQ(b.init(h), 0);
        EXPECT_EQ(b.read(h), 0xFFFF) << "inputs read high";
        b.dir(h, 0x00FF);
        b.write(h, 0x0F0F);
        b.set(h, 0x00F0);
        b.clear(h, 0x000F);
        EXPECT_EQ(b.read(h), 0xFFF0) << "outputs show their latch, inputs stay high";
    }
    const std::pair<Call, int32_t> steps[] = {
        {dedicated_io_init, 0},
        {[](auto h) { return set_booten_1(h, 1); }, 1},
        {[](auto h) { return set_booten_2(h, 6); }, 3},
        {irqn_enable, 7},
        {irqn_int_set, 0xF},
        {[](auto h) { return clear_booten_1(h, 1); }, 0xE},
        {[](auto h) { return clear_booten_2(h, 2); }, 0xE},
        {irqn_disable, 0xA},
        {dedicated_io_init, 0},
    };
    for (const auto& [step, status] : steps) {
        ASSERT_EQ(step(h), 0);
        EXPECT_EQ(dedio_get_status(h), status);
    }
}

TEST_F(FirmwareModelTest, RxDmaStreamsBothSinesOnTheStreamPipe) {
    EXPECT_EQ(std::string(send("I2S:DMARXENABLE\n").Error), "I2S not initialised");
    host_port_i2s_init(h);
    host_port_i2s_dma_set_left_sine(h, 1000.0f, 0.5f);
    host_port_i2s_dma_set_right_sine(h, 3000.0f, 0.25f);
    ASSERT_EQ(host_port_rx_i2s_dma_enable(h), 0);
    EXPECT_EQ(host_port_i2s_rx_status(h), 5);

    std::vector<uint8_t> data(20480);
    uint32_t got = 0;
    if (!usb_read_pipe_overlapped(h, 0x82, data.data(), 20480, &got)) {
        ASSERT_TRUE(usb_get_overlapped_result(h, 0x82, &got, true));
    }
    ASSERT_GE(got, 4800u);
    int peak[2] = {0, 0};
    for (uint32_t i = 0; i + 4 <= got; i += 4)
        for (int c = 0; c < 2; ++c) {
            int16_t s;
            std::memcpy(&s, &data[i + 2 * c], 2);
            peak[c] = std::max(peak[c], std::abs(int{s}));
        }
    EXPECT_NEAR(peak[0], 0.5 * 32767, 400);
    EXPECT_NEAR(peak[1], 0.25 * 32767, 400);

    ASSERT_EQ(host_port_i2s_dma_disable(h), 0);
    EXPECT_EQ(host_port_i2s_rx_status(h), 4);
    EXPECT_EQ(stream().pattern(), sim::StreamGenerator::Pattern::Off);
}

TEST_F(FirmwareModelTest, SystemCommands) {
    dirov_sim_config cfg = default_config();
    cfg.firmware_version = 0x00020304;
    CloseDevice(&DeviceData);
    reattach(cfg);
    h = open_main();
    EXPECT_EQ(gen_version(h), 0x00020304);

    uint64_t before = dirov_sim_clock_ms();
    ASSERT_EQ(timer_sleep(h, 1500), 0);
    EXPECT_EQ(dirov_sim_clock_ms() - before, 1500u);
    EXPECT_TRUE(sim_events(DIROV_SIM_EV_SLEEP).empty()) << "the board sleeps, not the host";

    cbus_write_byte(h, 1, 1, 0x42);
    host_port_i2s_init(h);
    host_port_rx_i2s_dma_enable(h);
    ASSERT_EQ(gen_reset(h), 0);
    EXPECT_EQ(cbus_read_byte(h, 1, 1), 0);
    EXPECT_EQ(host_port_i2s_rx_status(h), 0);
    EXPECT_EQ(stream().pattern(), sim::StreamGenerator::Pattern::Off);
}

TEST_F(FirmwareModelTest, UntakeableCommandsGetAStatusReply) {
    const std::pair<std::string, std::string> cases[] = {
        {"NOPE\n", "Unknown command"},
        {"", "Command line not terminated"},
        {"GPIO:READ", "Command line not terminated"},
        {std::string("\x01\xff\0\n", 4), "Unknown command"},
        {"CBUS:READWORD 1\n", "Bad arguments"},
        {"CBUS:READWORD 1,100\n", "Bad arguments"},
        {"CBUS:READWORD 1,2,3\n", "Bad arguments"},
        {"CBUS:READWORD 1,\n", "Bad arguments"},
        {"GPIO:SETDIR -1\n", "Bad arguments"},
        {"GPIO:SETDIR 123456789\n", "Bad arguments"},
        {"GPIO:READ 1\n", "Bad arguments"},
        {"GPIO:READ\nxyz", "Unexpected payload"},
        {"I2S:SETLSINE nan,1\n", "Bad arguments"},
        {"I2S:SETLSINE 1000.0\n", "Bad arguments"},
        {"CBUS:WRITEBYTESTREAM 1,2,#4\nab", "Payload shorter than its count"},
        {"CBUS:WRITEBYTESTREAM 1,2,#1\nab", "Payload longer than its count"},
        {"CBUS:WRITEBYTESTREAM 1,2,4\nabcd", "Bad arguments"},
        {"CBUS:WRITEWORDSTREAM 1,2,#100\n" + std::string(256, 'x'), "Count too large"},
        {"CBUS:READBYTESTREAM 1,2,100\n", "Count too large"},
        {"CBUS:SETSPIMODE 4\n", "Bad SPI mode"},
        {"UART:INIT 4\n", "No such UART"},
        {"UART:WRITEBYTE 2,41\n", "UART not initialised"},
        {"UART:SETCONFIG 1,1c200,4,0,1\n", "Bad UART configuration"},
    };
    for (const auto& [command, why] : cases) {
        CommandReply r = send(command);
        EXPECT_STREQ(r.Type, "CSTAT") << command;
        EXPECT_EQ(std::string(r.Error), why) << command;
        EXPECT_NE(r.Command[0], '\0') << command;
    }
    EXPECT_EQ(gen_version(h), 0x00010200) << "the board still answers";
}

// Mangled commands: every one still gets a reply the host can read.
TEST_F(FirmwareModelTest, MangledCommandsAlwaysGetAReadableReply) {
    const std::string seeds[] = {"CBUS:WRITEBYTESTREAM 1,2,#3\nabc", "I2S:SETLSINE 1.5,0.25\n",
                                 "UART:SETCONFIG 1,1c200,8,0,1\n", "CBUS:READWORDSTREAM 1,2,ff\n",
                                 "GPIO:DEDIOGETSTATUS\n"};
    const char alphabet[] = {',', '#', ' ', '\n', '\0', 'f', '9', '-', '.', ':', '\xff'};
    std::mt19937 rng(410);
    for (int i = 0; i < 2000; ++i) {
        std::string cmd = seeds[rng() % std::size(seeds)];
        for (int edits = 1 + rng() % 3; edits > 0 && !cmd.empty(); --edits) {
            size_t at = rng() % cmd.size();
            char ch = alphabet[rng() % std::size(alphabet)];
            switch (rng() % 3) {
                case 0:
                    cmd[at] = ch;
                    break;
                case 1:
                    cmd.insert(at, 1, ch);
                    break;
                default:
                    cmd.erase(at, 1 + rng() % 4);
            }
        }
        CommandReply r = send(cmd);
        ASSERT_NE(r.Command[0], '\0') << cmd;
        ASSERT_TRUE(std::string(r.Type) == "DATA" || std::string(r.Type) == "CSTAT") << cmd;
    }
}

TEST_F(FirmwareModelTest, EveryCommandFunctionSucceedsAgainstTheBoard) {
    const uint8_t payload[4] = {1, 2, 3, 4};
    const Call calls[] = {
        [](auto h) { return cbus_set_spi(h, 3); },
        [](auto h) { return cbus_set_baud_rate(h, 400000); },
        [](auto h) { return cbus_write_word(h, 1, 2, 0x1234); },
        [](auto h) { return cbus_write_byte(h, 1, 4, 0x56); },
        [&](auto h) { return cbus_write_word_stream(h, 1, 6, payload, 4); },
        [&](auto h) { return cbus_write_byte_stream(h, 1, 10, 4, payload); },
        [](auto h) { return cbus_read_word(h, 1, 2) == 0x1234 ? 0 : -1; },
        [](auto h) { return cbus_read_byte(h, 1, 4) == 0x56 ? 0 : -1; },
        [this](auto h) { return cbus_read_word_stream(h, 1, 6, 4, buf); },
        [this](auto h) { return cbus_read_byte_stream(h, 1, 10, 4, buf); },
        gpio_init,
        [](auto h) { return gpio_set_dir(h, 0xFF); },
        [](auto h) { return gpio_write(h, 0x12); },
        [](auto h) { return gpio_set_pin(h, 1); },
        [](auto h) { return gpio_clear_pin(h, 2); },
        [](auto h) { return gpio_read(h) == 0xFF11 ? 0 : -1; },
        dio_init,
        [](auto h) { return dio_write(h, 0xA5); },
        [](auto h) { return dio_set_pin(h, 2); },
        [](auto h) { return dio_clear_pin(h, 1); },
        io_init,
        [](auto h) { return io_set_dir(h, 0xF); },
        [](auto h) { return io_write(h, 3); },
        [](auto h) { return io_set_pin(h, 4); },
        [](auto h) { return io_clear_pin(h, 1); },
        [](auto h) { return io_read(h) == 0xFFF6 ? 0 : -1; },
        dedicated_io_init,
        [](auto h) { return set_booten_1(h, 1); },
        [](auto h) { return set_booten_2(h, 1); },
        [](auto h) { return clear_booten_1(h, 1); },
        [](auto h) { return clear_booten_2(h, 1); },
        irqn_enable,
        irqn_int_set,
        irqn_disable,
        [](auto h) { return dedio_get_status(h) == 8 ? 0 : -1; },
        host_port_i2s_init,
        [](auto h) { return host_port_i2s_dma_set_left_sine(h, 440.0f, 0.5f); },
        [](auto h) { return host_port_i2s_dma_set_right_sine(h, 880.0f, 0.5f); },
        host_port_tx_i2s_dma_enable,
        host_port_rx_i2s_dma_enable,
        [](auto h) { return host_port_i2s_rx_status(h) == 7 ? 0 : -1; },
        host_port_i2s_dma_disable,
        [](auto h) { return gen_version(h) == 0x00010200 ? 0 : -1; },
        [](auto h) { return load_fi_QDR5X3X(h, 1, 0x10000, 2, 3); },
        [](auto h) { return load_fi_QDR504X_QDR514X(h, 1, 0x10000, 2, 3); },
        [](auto h) { return load_fi_QDR524X_QDR534X(h, 1, 0x10000, 2, 3); },
        [](auto h) { return load_fi_QDR5X6X(h, 1, 2, 3); },
        [](auto h) { return timer_sleep(h, 5); },
        [](auto h) { return uart_init(h, 1); },
        [](auto h) { return uart_set_baud_rate(h, 1, 9600); },
        [](auto h) { return uart_set_config(h, 1, 115200, 8, 0, 1); },
        [](auto h) { return uart_write_byte(h, 1, 'A'); },
        [](auto h) { return sd_test(h) == 1 ? 0 : -1; },
        gen_reset,
    };
    ASSERT_EQ(std::size(calls), 54u);
    for (size_t i = 0; i < std::size(calls); ++i) EXPECT_EQ(calls[i](h), 0) << "call " << i;
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    std::vector<std::string> got = replies();
    ASSERT_EQ(got.size(), 54u);
    for (const std::string& r : got)
        EXPECT_TRUE(r.find(" CSTAT ") == std::string::npos || r.ends_with(" CSTAT OK\n")) << r;
}

}  // namespace
}  // namespace dirov::test
