// The board command set as the board sees it (command texts and payloads on
// pipe 0x01) and as the caller sees it (results taken from scripted replies).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/sim_fixture.h"

namespace dirov::test {
namespace {

using Call = std::function<int32_t(WINUSB_INTERFACE_HANDLE)>;

class CommandTest : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        h = open_main();
    }
    // What the board received, one string per OUT transfer.
    static std::vector<std::string> sent() {
        std::vector<std::string> out;
        for (auto& e : sim_events(DIROV_SIM_EV_OUT)) out.push_back(e.text());
        return out;
    }
    // The board answers only with `ack` and then `reply`.
    void queue(const std::string& transfer) {
        dirov_sim_queue_in(board, 0x81, transfer.data(), static_cast<uint32_t>(transfer.size()));
    }
    void script(const std::string& reply) {
        dirov_sim_set_firmware_replies(board, 0);
        queue("ISTAT OK\n");
        queue(reply);
    }
    WINUSB_INTERFACE_HANDLE h = nullptr;
    uint8_t buf[256];
};

TEST_F(CommandTest, CommandTextsAsTheBoardReceivesThem) {
    const struct {
        Call call;
        std::string text;
    } cases[] = {
        {[](auto h) { return cbus_write_word(h, 1, 2, -1); }, "CBUS:WRITEWORD 1,2,ffffffff\n"},
        {[](auto h) { return cbus_read_byte(h, 0xab, -2); }, "CBUS:READBYTE ab,fffffffe\n"},
        {[](auto h) { return cbus_set_baud_rate(h, 1000000); }, "CBUS:SETBAUDRATE f4240\n"},
        {[](auto h) { return gpio_write(h, 0); }, "GPIO:WRITE 0\n"},
        {[](auto h) { return gpio_set_pin(h, 10); }, "GPIO:SETPIN a\n"},
        {[](auto h) { return io_set_dir(h, 0xFFFF); }, "GPIO:IOSETDIR ffff\n"},
        {[](auto h) { return dedio_get_status(h); }, "GPIO:DEDIOGETSTATUS\n"},
        {[](auto h) { return host_port_i2s_dma_set_right_sine(h, -0.25f, 3.0f); },
         "I2S:SETRSINE -0.250000,3.000000\n"},
        {[](auto h) { return host_port_i2s_dma_set_left_sine(h, 1000.0f, 0.5f); },
         "I2S:SETLSINE 1000.000000,0.500000\n"},
        {[](auto h) { return uart_set_config(h, 1, 115200, 8, 0, 1); },
         "UART:SETCONFIG 1,1c200,8,0,1\n"},
        {[](auto h) { return load_fi_QDR524X_QDR534X(h, 0xff, 0xdeadbeef, 0, 0x1234); },
         "SYS:LOADFI_QDR524X_QDR534X ff,deadbeef,0,1234\n"},
        {[](auto h) { return load_fi_QDR5X6X(h, 1, 2, 3); }, "SYS:LOADFI_QDR5X6X 1,2,3\n"},
        {[](auto h) { return timer_sleep(h, 0x10); }, "SYS:TIMERSLEEP 10\n"},
    };
    for (const auto& c : cases) {
        dirov_sim_clear_events();
        EXPECT_NE(c.call(h), -1) << c.text;
        EXPECT_EQ(sent(), std::vector<std::string>{c.text});
    }
    cbus_read_byte_stream(h, 1, 2, 0xff, buf);
    EXPECT_EQ(sent().back(), "CBUS:READBYTESTREAM 1,2,ff\n");
}

TEST_F(CommandTest, WriteStreamsSendTheirPayloadInTheSameTransfer) {
    const uint8_t payload[] = {0x00, '\n', 0xFF, '#'};
    ASSERT_EQ(cbus_write_word_stream(h, 1, 0x2a, payload, 4), 0);
    ASSERT_EQ(cbus_write_byte_stream(h, 1, 2, 0, nullptr), 0);
    ASSERT_EQ(cbus_write_byte_stream(h, 3, 4, 2, payload), 0);
    std::string with_payload = "CBUS:WRITEWORDSTREAM 1,2a,#4\n" + std::string("\0\n\xff#", 4);
    EXPECT_EQ(sent(),
              (std::vector<std::string>{with_payload, "CBUS:WRITEBYTESTREAM 1,2,#0\n",
                                        "CBUS:WRITEBYTESTREAM 3,4,#2\n" + std::string("\0\n", 2)}));
}

TEST_F(CommandTest, RefusedArgumentsSendNothing) {
    const uint8_t payload[4] = {};
    EXPECT_EQ(cbus_write_byte_stream(h, 1, 2, -1, payload), -1);
    EXPECT_EQ(cbus_write_byte_stream(h, 1, 2, 3, nullptr), -1);
    EXPECT_EQ(cbus_write_word_stream(h, 1, 2, nullptr, 3), -1);
    EXPECT_EQ(cbus_read_word_stream(h, 1, 2, 4, nullptr), -1);
    EXPECT_EQ(cbus_read_byte_stream(h, 1, 2, 4, nullptr), -1);
    // More than a reply can count (its length is 8 bits), or a negative count.
    EXPECT_EQ(cbus_read_byte_stream(h, 1, 2, 256, buf), -1);
    EXPECT_EQ(cbus_read_byte_stream(h, 1, 2, -1, buf), -1);
    EXPECT_TRUE(sent().empty());
}

TEST_F(CommandTest, ValuesTakenFromTheReply) {
    const struct {
        std::string reply;
        Call call;
        int32_t expected;
    } cases[] = {
        {"CBUS:READWORD DATA 12345\n", [](auto h) { return cbus_read_word(h, 1, 2); }, 0x2345},
        {"CBUS:READBYTE DATA 12345\n", [](auto h) { return cbus_read_byte(h, 1, 2); }, 0x45},
        {"CBUS:READWORD DATA FFFF\n", [](auto h) { return cbus_read_word(h, 1, 2); }, 65535},
        {"GPIO:DEDIOGETSTATUS DATA 1FF\n", [](auto h) { return dedio_get_status(h); }, 0xFF},
        {"SDMMC:TEST DATA 100\n", [](auto h) { return sd_test(h); }, 0},
        {"I2S:DMARXSTATUS DATA 100\n", [](auto h) { return host_port_i2s_rx_status(h); }, 0},
        {"GPIO:READ DATA 80000000\n", [](auto h) { return gpio_read(h); }, 0x7FFFFFFF},
        {"GPIO:IOREAD DATA 123456789\n", [](auto h) { return io_read(h); }, 0x7FFFFFFF},
        {"SYS:VERSION DATA 7ffffffe\n", [](auto h) { return gen_version(h); }, 0x7FFFFFFE},
        // A reply without a value fails a read, whatever the reason.
        {"GPIO:READ CSTAT Busy\n", [](auto h) { return gpio_read(h); }, -1},
        {"CBUS:READWORD CSTAT Bus error\n", [](auto h) { return cbus_read_word(h, 1, 2); }, -1},
        {"SYS:VERSION\n", [](auto h) { return gen_version(h); }, -1},
        {"GPIO:IOREAD DATA #2\nab", [](auto h) { return io_read(h); }, -1},
        // Writes take nothing from the reply: any reply is success.
        {"GPIO:WRITE CSTAT Busy\n", [](auto h) { return gpio_write(h, 1); }, 0},
        {"garbage\n", [](auto h) { return irqn_enable(h); }, 0},
    };
    for (const auto& c : cases) {
        script(c.reply);
        EXPECT_EQ(c.call(h), c.expected) << c.reply;
    }
}

TEST_F(CommandTest, ReadStreamsCopyExactlyTheCountedBytes) {
    std::memset(buf, 0xEE, sizeof buf);
    script(std::string("CBUS:READBYTESTREAM DATA #3\n\x01\x02\x03", 31));
    ASSERT_EQ(cbus_read_byte_stream(h, 1, 2, 10, buf), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{1, 2, 3, 0xEE}));

    std::string full(255, '\x5A');
    script("CBUS:READWORDSTREAM DATA #ff\n" + full);
    ASSERT_EQ(cbus_read_word_stream(h, 1, 2, 1, buf), 0);
    EXPECT_EQ(std::string(buf, buf + 256), full + "\xEE");

    std::memset(buf, 0xEE, sizeof buf);
    script("CBUS:READWORDSTREAM DATA 1234\n");
    EXPECT_EQ(cbus_read_word_stream(h, 1, 2, 2, buf), 0);
    script("CBUS:READBYTESTREAM CSTAT Bus error\n");
    EXPECT_EQ(cbus_read_byte_stream(h, 1, 2, 2, buf), -1);
    script("CBUS:READBYTESTREAM DATA #9\nshort");
    EXPECT_EQ(cbus_read_byte_stream(h, 1, 2, 9, buf), -1);
    EXPECT_EQ(buf[0], 0xEE);
}

TEST_F(CommandTest, EveryExchangeFailureGivesMinusOne) {
    const Call calls[] = {
        [](auto h) { return cbus_read_word(h, 1, 2); },
        [](auto h) { return gpio_write(h, 1); },
        [this](auto h) { return cbus_read_byte_stream(h, 1, 2, 2, buf); },
        [](auto h) {
            const uint8_t p[2] = {1, 2};
            return cbus_write_word_stream(h, 1, 2, p, 2);
        },
        [](auto h) { return gen_version(h); },
    };
    Captured quiet;
    dirov_sim_set_firmware_replies(board, 0);
    for (const Call& call : calls) {
        dirov_sim_fail_nth(DIROV_SIM_OP_BULK_WRITE, 1, 31);
        EXPECT_EQ(call(h), -1);
        dirov_sim_fail_nth(DIROV_SIM_OP_BULK_READ, 1, 995);
        EXPECT_EQ(call(h), -1);
        queue("ISTAT OK\n");
        dirov_sim_fail_nth(DIROV_SIM_OP_BULK_READ, 2, 995);
        EXPECT_EQ(call(h), -1);
        queue("ISTAT BUSY\n");
        EXPECT_EQ(call(h), -1);
        EXPECT_EQ(dirov_sim_pending_in(board, 0x81), 0u);
    }
    EXPECT_EQ(gpio_write(nullptr, 1), -1);
}

}  // namespace
}  // namespace dirov::test
