// The board command set (each function's text on pipe 0x01, and its result,
// out bytes and refusal from a scripted reply), the exchange under it, reply
// parsing and the dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "device/reply.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/sim_fixture.h"

namespace dirov::test {
namespace {

using namespace std::string_literals;

uint8_t buf[256];
const uint8_t payload[] = {0x00, '\n', 0xFF, '#'};
const PayloadPart kNoData = {4, nullptr}, kTooMuch = {0x80000000u, payload};
const PayloadPart kParts[] = {{2, payload}, {0, nullptr}, {1, payload + 3}};

// 0 when usb_comms gave a reply (freed here), else the last error.
int32_t comms(CommandReply* r) {
    if (!r) return last_error();
    dirov_free(r->Data);  // as callers in another C runtime must
    dirov_free(r);
    return 0;
}

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
    {CALL(cbus_read_byte_stream(h, 1, 2, 255, buf)), "CBUS:READBYTESTREAM 1,2,ff\n", 0,
     "R DATA #ff\n" + std::string(255, 'Z'), "", std::string(255, 'Z')},
    {CALL(cbus_read_byte_stream(h, 1, 2, 0, buf)), "CBUS:READBYTESTREAM 1,2,0\n", 0, "R DATA #0\n"},
    {CALL(cbus_write_word(h, 1, 2, -1)), "CBUS:WRITEWORD 1,2,ffffffff\n"},
    {CALL(cbus_write_byte(h, 1, 2, 0xff)), "CBUS:WRITEBYTE 1,2,ff\n"},
    {CALL(cbus_write_word_stream(h, 1, 9, payload, 4)), "CBUS:WRITEWORDSTREAM 1,9,#4\n\0\n\xff#"s},
    {CALL(cbus_write_byte_stream(h, 1, 2, 0, nullptr)), "CBUS:WRITEBYTESTREAM 1,2,#0\n"},
    {CALL(cbus_set_spi(h, 7)), "CBUS:SETSPIMODE 7\n", 0, "R CSTAT Bad mode\n", "R: Bad mode"},
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
    {CALL(load_fi_QDR524X_QDR534X(h, 1, 2, 3, 4)), "SYS:LOADFI_QDR524X_QDR534X 1,2,3,4\n"},
    {CALL(load_fi_QDR5X6X(h, 1, 2, 3)), "SYS:LOADFI_QDR5X6X 1,2,3\n"},
    {CALL(timer_sleep(h, 0x10)), "SYS:TIMERSLEEP 10\n"},
    {CALL(uart_init(h, 2)), "UART:INIT 2\n"},
    {CALL(uart_set_baud_rate(h, 1, 115200)), "UART:SETBAUD 1,1c200\n"},
    {CALL(uart_set_config(h, 1, 115200, 8, 0, 1)), "UART:SETCONFIG 1,1c200,8,0,1\n"},
    {CALL(uart_write_byte(h, 3, 0x41)), "UART:WRITEBYTE 3,41\n"},
    // A read fails on a reply without a value; each command clears the last refusal.
    {CALL(gpio_read(h)), "GPIO:READ\n", -1, "GPIO:READ CSTAT Busy\n", "GPIO:READ: Busy"},
    {CALL(gpio_read(h)), "GPIO:READ\n", -1},
    {CALL(cbus_read_word(h, 1, 2)), "CBUS:READWORD 1,2\n", -1, "R DATA #2\nab"},
    {CALL(cbus_read_byte_stream(h, 1, 2, 2, buf)), "CBUS:READBYTESTREAM 1,2,2\n", -1,
     "R CSTAT No\n", "R: No"},
    // The board does not acknowledge.
    {CALL(gpio_read(h)), "GPIO:READ\n", -1, ""},
    {CALL(cbus_read_byte_stream(h, 1, 2, 2, buf)), "CBUS:READBYTESTREAM 1,2,2\n", -1, ""},
    {CALL(cbus_write_word_stream(h, 1, 2, payload, 1)), "CBUS:WRITEWORDSTREAM 1,2,#1\n\0"s, -1, ""},
    // Arguments refused before anything is sent; a count the reply could not carry.
    {CALL(cbus_write_byte_stream(h, 1, 2, -1, payload)), "", -1},
    {CALL(cbus_write_byte_stream(h, 1, 2, 3, nullptr)), "", -1},
    {CALL(cbus_read_byte_stream(h, 1, 2, 4, nullptr)), "", -1},
    {CALL(cbus_read_byte_stream(h, 1, 2, 256, buf)), "", -1},
    {CALL(cbus_read_byte_stream(h, 1, 2, -1, buf)), "", -1},
    // Payload parts follow the text in one transfer, no NUL between; the
    // exchange refuses absent text or payload, and too much payload.
    {CALL(comms(usb_comms(h, "X 1,#3\n", 3, kParts))), "X 1,#3\n\0\n#"s},
    {CALL(comms(usb_comms(h, nullptr, 0, nullptr))), "", kErrorInvalidParameter},
    {CALL(comms(usb_comms(h, "X\n", 1, nullptr))), "", kErrorInvalidParameter},
    {CALL(comms(usb_comms(h, "X\n", 1, &kNoData))), "", kErrorInvalidParameter},
    {CALL(comms(usb_comms(h, "X\n", 1, &kTooMuch))), "", kErrorInvalidParameter},
};

// "Command|Type|Error|DataLength|" and the bytes Data holds (at least the 4 of
// a value), or "null"; frees Data.
std::string summary(CommandReply& r) {
    std::string s = std::string(r.Command) + "|" + r.Type + "|" + r.Error + "|" +
                    std::to_string(r.DataLength) + "|";
    s += r.Data ? std::string(r.Data, r.Data + std::max(4, int{r.DataLength})) : "null";
    std::free(r.Data);
    return s;
}

class CommandTest : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        h = open_main();
        dirov_sim_set_firmware_replies(board, 0);
    }
    void queue(const std::string& s) {
        dirov_sim_queue_in(board, 0x81, s.data(), static_cast<uint32_t>(s.size()));
    }
    OutputCapture err{stderr};  // gtest reports on stdout
    WINUSB_INTERFACE_HANDLE h = nullptr;
};

// The reply is the second IN transfer, whatever the first holds behind "ISTAT OK";
// without it the exchange ends silently. Every command clears the last refusal.
TEST_F(CommandTest, EveryCommandTextResultAndRefusal) {
    for (const Case& c : kCases) {
        if (!c.text.empty()) queue(c.reply.empty() ? "ISTAT BUSY\n" : "ISTAT OK\nR DATA 5\n");
        if (!c.text.empty() && !c.reply.empty()) queue(c.reply);
        std::fill(std::begin(buf), std::end(buf), 0xEE);
        dirov_sim_clear_events();
        EXPECT_EQ(c.call(h), c.result) << c.text;
        std::vector<std::string> sent;
        for (auto& e : sim_events(DIROV_SIM_EV_OUT))
            if (e.ev.ep == 0x01) sent.push_back(e.text());
        EXPECT_EQ(sent, std::vector<std::string>(c.text.empty() ? 0 : 1, c.text));
        EXPECT_EQ(dirov_get_last_refusal(), c.refusal) << c.text;
        EXPECT_EQ(std::string(buf, buf + 256), c.out + std::string(256 - c.out.size(), '\xEE'));
        ASSERT_EQ(dirov_sim_pending_in(board, 0x81), 0u) << c.text;  // in step with the board
        EXPECT_EQ(err.take(), "") << c.text;
    }
}

// A failed read prints the Windows error; an acknowledgement other than
// "ISTAT OK" ends the exchange at once.
TEST_F(CommandTest, FailedExchangesGiveNoReply) {
    dirov_sim_fail_nth(DIROV_SIM_OP_BULK_READ, 1, kErrorSemTimeout);
    EXPECT_EQ(gen_version(h), -1);
    EXPECT_EQ(err.take(), "ReadPipe Error: 121\n");
    queue("ISTAT OK\n");
    dirov_sim_fail_nth(DIROV_SIM_OP_BULK_READ, 2, kErrorGenFailure);
    EXPECT_EQ(gen_version(h), -1);
    EXPECT_EQ(err.take(), "ReadPipe Error: 31\n");
    queue("ISTAT BUSY\n");
    queue("SYS:VERSION DATA 1\n");
    EXPECT_EQ(gen_version(h), -1);
    EXPECT_EQ(dirov_sim_pending_in(board, 0x81), 1u);  // no second read
}

TEST(ReplyParser, FieldsValuesCountsAndMalformedReplies) {
    const std::string v(300, 'w'), w(127, 'w');
    const std::string few = "|"s + kErrTooFewTokens + "|0|null";
    const struct {
        std::string text, fields;
    } cases[] = {
        {"CBUS:READWORD DATA 1A2B\n", "CBUS:READWORD|DATA|none|0|\x2b\x1a\0\0"s},
        {"X DATA FFFFFFFF\n", "X|DATA|none|0|\xff\xff\xff\x7f"s},  // saturated to 32 bits
        {"X DATA -1FFFFFFFF\n", "X|DATA|none|0|\0\0\0\x80"s},
        {"X DATA   0x10zz\n", "X|DATA|none|0|\x10\0\0\0"s},  // strtol rules
        {"X DATA #0\n", "X|DATA|none|0|\0\0\0\0"s},
        {"X DATA #3\n\0\1\0"s, "X|DATA|none|3|\0\1\0\0"s},
        {"X DATA #1FF\n" + std::string(255, 'p'), "X|DATA|none|255|" + std::string(255, 'p')},
        {v + " " + v + " " + v + "\n", w + "|" + w + "|none|0|\0\0\0\0"s},
        {"X CSTAT " + v + "\n", "X|CSTAT|" + w + "|0|null"},
        {"", "|" + few},
        {"TWO WORDS", "TWO|WORDS" + few},
        {"   \n\n", "\n\n|" + few},
        {"X DATA #zz\n", "X|DATA|"s + kErrBadCount + "|0|null"},
        {"X DATA #8\nabc", "X|DATA|"s + kErrShortPayload + "|0|null"},
        {"X DATA #2\0ab"s, "X|DATA|"s + kErrShortPayload + "|0|null"},  // no line end
    };
    for (auto c : cases) {
        CommandReply r;
        parse_reply_bytes(c.text.data(), c.text.size(), &r);
        EXPECT_EQ(summary(r), c.fields) << c.text;
    }
}

// A reply without its data and absent ones are dumped without reading what
// is not there; the dirovctl cmd steps show the others.
TEST(PrintStruct, DumpsUnreadableAndAbsentRepliesSafely) {
    Output o = Capturing([] {
        std::string reply = "X DATA #\n";
        CommandReply r;
        parse_reply(reply.data(), &r);
        print_struct(&r);
        parse_reply(nullptr, nullptr);
        print_struct(nullptr);
    });
    EXPECT_EQ(o.out,
              "\nStructured Reply\nCommand is: X\nType is: DATA\nData Length is: 00\nData "
              "is:\nEND\nCSTAT Error is: "s +
                  kErrBadCount + "\nEND\n\n");
}

}  // namespace
}  // namespace dirov::test
