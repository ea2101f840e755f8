// One command exchange: framing on the pipes, reply parsing and the dump.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "device/platform.h"
#include "device/reply.h"
#include "support/capture.h"
#include "support/sim_fixture.h"

namespace dirov::test {
namespace {

struct ReplyFree {
    void operator()(CommandReply* r) const {
        if (r) std::free(r->Data);
        std::free(r);
    }
};
using Reply = std::unique_ptr<CommandReply, ReplyFree>;

int32_t value_of(const CommandReply& r) {
    int32_t v;
    std::memcpy(&v, r.Data, sizeof v);
    return v;
}

CommandReply parse(std::string text) {
    CommandReply r;
    std::string buf = text + '\0';
    parse_reply_bytes(buf.data(), text.size(), &r);
    return r;
}

class ExchangeTest : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        h = open_main();
        dirov_sim_set_firmware_replies(board, 0);
    }
    void queue(const std::string& transfer) {
        dirov_sim_queue_in(board, 0x81, transfer.data(), static_cast<uint32_t>(transfer.size()));
    }
    Reply exchange(const char* text) { return Reply(usb_comms(h, text, 0, nullptr)); }
    WINUSB_INTERFACE_HANDLE h = nullptr;
};

TEST_F(ExchangeTest, WorkedExamples) {
    queue("ISTAT OK\n");
    queue("CBUS:READWORD DATA 1A2B\n");
    Reply r = exchange("CBUS:READWORD 1,20\n");
    ASSERT_TRUE(r);
    EXPECT_STREQ(r->Command, "CBUS:READWORD");
    EXPECT_STREQ(r->Type, "DATA");
    EXPECT_EQ(value_of(*r), 0x1A2B);
    EXPECT_EQ(r->DataLength, 0);
    EXPECT_STREQ(r->Error, "none");
    auto out = sim_events(DIROV_SIM_EV_OUT);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].ev.ep, 0x01);
    EXPECT_EQ(out[0].text(), "CBUS:READWORD 1,20\n");  // no NUL on the wire

    queue("ISTAT OK\n");
    queue(std::string("CBUS:READBYTESTREAM DATA #4\n\x01\x02\x03\x04", 32));
    r = exchange("CBUS:READBYTESTREAM 1,2,4\n");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->DataLength, 4);
    EXPECT_EQ(std::memcmp(r->Data, "\x01\x02\x03\x04", 4), 0);

    queue("ISTAT OK\n");
    queue("GPIO:READ CSTAT Not initialised\n");
    r = exchange("GPIO:READ\n");
    ASSERT_TRUE(r);
    EXPECT_STREQ(r->Error, "Not initialised");
    EXPECT_EQ(r->Data, nullptr);
    EXPECT_EQ(r->DataLength, 0);
}

TEST_F(ExchangeTest, AcknowledgementWithoutIstatOkEndsTheExchangeSilently) {
    queue("ISTAT BUSY\n");
    queue("SYS:VERSION DATA 1\n");
    Captured io;
    EXPECT_FALSE(exchange("SYS:VERSION\n"));
    EXPECT_EQ(io.err.take(), "");
    EXPECT_EQ(io.out.take(), "");
    EXPECT_EQ(sim_events(DIROV_SIM_EV_IN).size(), 1u);  // no second read
    EXPECT_EQ(dirov_sim_pending_in(board, 0x81), 1u);
}

TEST_F(ExchangeTest, ReplyInsideTheAcknowledgementTransferIsNeverParsed) {
    queue("ISTAT OK\nSYS:VERSION DATA 11\n");
    queue("SYS:VERSION DATA 22\n");
    Reply r = exchange("SYS:VERSION\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(value_of(*r), 0x22);
}

TEST_F(ExchangeTest, PayloadPartsFollowTheTextInOneTransfer) {
    queue("ISTAT OK\n");
    queue("CBUS:WRITEBYTESTREAM DATA 0\n");
    const uint8_t a[] = {0x00, 0xFF};
    const uint8_t b[] = {0x7E};
    PayloadPart parts[2] = {{2, a}, {1, b}};
    Reply r(usb_comms(h, "CBUS:WRITEBYTESTREAM 1,2,#3\n", 2, parts));
    ASSERT_TRUE(r);
    auto out = sim_events(DIROV_SIM_EV_OUT);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].text(), std::string("CBUS:WRITEBYTESTREAM 1,2,#3\n\x00\xFF\x7E", 31));
}

TEST_F(ExchangeTest, PipeFailuresPrintTheWindowsError) {
    Captured io;
    dirov_sim_fail_nth(DIROV_SIM_OP_BULK_WRITE, 1, kErrorGenFailure);
    EXPECT_FALSE(exchange("SYS:VERSION\n"));
    EXPECT_EQ(io.err.take(), "WritePipe Error: 31\n");

    dirov_sim_fail_nth(DIROV_SIM_OP_BULK_READ, 1, kErrorSemTimeout);
    EXPECT_FALSE(exchange("SYS:VERSION\n"));
    EXPECT_EQ(io.err.take(), "ReadPipe Error: 121\n");

    queue("ISTAT OK\n");
    dirov_sim_fail_nth(DIROV_SIM_OP_BULK_READ, 2, kErrorGenFailure);
    EXPECT_FALSE(exchange("SYS:VERSION\n"));
    EXPECT_EQ(io.err.take(), "ReadPipe Error: 31\n");
}

TEST_F(ExchangeTest, AbsentArgumentsAreRefused) {
    EXPECT_EQ(usb_comms(h, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(usb_comms(h, "X\n", 1, nullptr), nullptr);
    PayloadPart bad = {4, nullptr};
    Captured io;
    EXPECT_EQ(usb_comms(h, "X\n", 1, &bad), nullptr);
    EXPECT_EQ(last_error(), kErrorInvalidParameter);
    EXPECT_TRUE(sim_events(DIROV_SIM_EV_OUT).empty());
    EXPECT_EQ(io.err.take(), "");
    parse_reply(nullptr, nullptr);
    print_struct(nullptr);
}

TEST(ReplyParser, ValuesSaturateToTheSigned32BitRange) {
    CommandReply r = parse("X DATA FFFFFFFF\n");
    EXPECT_EQ(value_of(r), 0x7FFFFFFF);
    std::free(r.Data);
    r = parse("X DATA -1FFFFFFFF\n");
    EXPECT_EQ(value_of(r), INT32_MIN);
    std::free(r.Data);
    r = parse("X DATA   0x10zz\n");  // strtol rules: white space, prefix, stop at junk
    EXPECT_EQ(value_of(r), 0x10);
    std::free(r.Data);
}

TEST(ReplyParser, CountsKeepTheirLow8Bits) {
    CommandReply r = parse("X DATA #0\n");
    EXPECT_EQ(r.DataLength, 0);
    EXPECT_NE(r.Data, nullptr);
    std::free(r.Data);

    std::string big = "X DATA #1FF\n" + std::string(255, 'p');
    r = parse(big);
    EXPECT_EQ(r.DataLength, 255);
    EXPECT_EQ(r.Data[254], 'p');
    std::free(r.Data);
}

TEST(ReplyParser, PayloadMayHoldNulBytes) {
    CommandReply r = parse(std::string("X DATA #3\n\x00\x01\x00", 13));
    ASSERT_EQ(r.DataLength, 3);
    EXPECT_EQ(std::memcmp(r.Data, "\x00\x01\x00", 3), 0);
    std::free(r.Data);
}

TEST(ReplyParser, UnreadableRepliesHaveNoData) {
    struct Case {
        std::string text;
        const char* error;
    } cases[] = {
        {"", kErrTooFewTokens},
        {"ONLYONE", kErrTooFewTokens},
        {"TWO WORDS", kErrTooFewTokens},
        {"   \n\n", kErrTooFewTokens},
        {"X DATA #zz\n", kErrBadCount},
        {"X DATA #\n", kErrBadCount},
        {"X DATA #8\nabc", kErrShortPayload},
        {"X DATA #2", kErrShortPayload},  // no line end: nothing behind it
    };
    for (const Case& c : cases) {
        CommandReply r = parse(c.text);
        EXPECT_EQ(r.Data, nullptr) << c.text;
        EXPECT_EQ(r.DataLength, 0) << c.text;
        EXPECT_STREQ(r.Error, c.error) << c.text;
    }
}

TEST(ReplyParser, LongWordsAreCutTo127Chars) {
    std::string word(300, 'w');
    CommandReply r = parse(word + " " + word + " " + word + "\n");
    EXPECT_EQ(std::strlen(r.Command), 127u);
    EXPECT_EQ(std::strlen(r.Type), 127u);
    std::free(r.Data);
    r = parse("X CSTAT " + word + "\n");
    EXPECT_EQ(std::strlen(r.Error), 127u);
}

TEST(PrintStruct, DumpsValueCountedStatusAndOtherReplies) {
    Captured io;
    CommandReply r = parse("CBUS:READWORD DATA 1A2B\n");
    print_struct(&r);
    std::free(r.Data);
    EXPECT_EQ(io.out.take(),
              "\nStructured Reply\nCommand is: CBUS:READWORD\nType is: DATA\n"
              "Data Length is: 00\nData is:\nByte 0 : 2B\nByte 1 : 1A\nByte 2 : 00\n"
              "Byte 3 : 00\nEND\n\n");

    r = parse(std::string("S DATA #2\n\xAB\x01", 12));
    print_struct(&r);
    std::free(r.Data);
    EXPECT_EQ(io.out.take(),
              "\nStructured Reply\nCommand is: S\nType is: DATA\nData Length is: 02\n"
              "Data is:\nByte 0 : AB\nByte 1 : 01\nEND\n\n");

    r = parse("G CSTAT Bad pin\n");
    print_struct(&r);
    EXPECT_EQ(io.out.take(),
              "\nStructured Reply\nCommand is: G\nType is: CSTAT\nCSTAT Error is: Bad pin\nEND\n\n");

    r = parse("G INFO 12\n");
    print_struct(&r);
    std::free(r.Data);
    EXPECT_EQ(io.out.take(), "\nStructured Reply\nCommand is: G\nType is: INFO\n\n");
}

}  // namespace
}  // namespace dirov::test
