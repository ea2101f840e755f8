// The DFU and bootloader requests and the DFU download against the simulated
// bootloader.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>

#include "support/sim_fixture.h"

using namespace dirov::test;

namespace {

using Packet = std::tuple<int, int, int, int, int>;  // type, request, value, index, length

std::vector<Packet> packets() {
    std::vector<Packet> out;
    for (auto& e : sim_events(DIROV_SIM_EV_CONTROL))
        out.push_back({e.ev.bmRequestType, e.ev.bRequest, e.ev.wValue, e.ev.wIndex, e.ev.wLength});
    return out;
}

// `count` records of `data` bytes each (id 5), loaded one after the other.
std::vector<uint8_t> image_of(uint32_t count, uint16_t data) {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < count; ++i) {
        for (uint32_t v : {5u | data << 16, 0x08004000 + i * data})
            for (int b = 0; b < 32; b += 8) out.push_back(uint8_t(v >> b));
        for (uint16_t k = 0; k < data; ++k) out.push_back(uint8_t(i * 31 + k));
    }
    return out;
}

std::vector<int> dnload_blocks() {
    std::vector<int> out;
    for (auto& [type, request, value, index, length] : packets())
        if (type == 0x21 && request == 1) out.push_back(value);
    return out;
}

std::vector<uint32_t> sleeps() {
    std::vector<uint32_t> out;
    for (auto& e : sim_events(DIROV_SIM_EV_SLEEP)) out.push_back(e.ev.value);
    return out;
}

class DfuDownload : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        attach_boot(0);
    }
    void attach_boot(uint32_t pollMs, uint16_t transferSize = 64) {
        dirov_sim_config cfg = default_config();
        cfg.face = DIROV_SIM_FACE_BOOTLOADER;
        cfg.bootloader_version = 0x01020304;
        cfg.transfer_size = transferSize;
        cfg.poll_timeout_ms = pollMs;
        reattach(cfg);
        BOOL none = 0;
        ASSERT_EQ(OpenDevice(&DeviceData, &none, &GUID_DFU_MAIN_INTERFACE), 0);
        h = DeviceData.WinUsbHandle;
        dirov_sim_clear_events();
    }
    std::vector<uint8_t> stored() {
        std::vector<uint8_t> out(dirov_sim_firmware_image(board, nullptr, 0));
        dirov_sim_firmware_image(board, out.data(), static_cast<uint32_t>(out.size()));
        return out;
    }
    WINUSB_INTERFACE_HANDLE h = nullptr;
};

// Each request in turn, from dfuIDLE: its result and its one setup packet.
TEST_F(DfuDownload, EachRequestSendsItsSetupPacket) {
    attach_boot(0, 1024);
    uint8_t state = 0xEE, block[16] = {7, 0, 8, 0};
    DfuStatus status{};
    DfuFunctionalDescriptor desc{};
    BootloaderState bl{};
    const struct {
        std::function<int32_t()> call;
        int32_t result;
        Packet setup;
    } cases[] = {
        {[&] { return dfu_getstate(h, &state); }, 1, {0xA1, 5, 0, 0, 1}},
        {[&] { return dfu_getdescriptor(h, &desc); }, 9, {0x80, 6, 0x2100, 0, 9}},
        {[&] { return bootloader_version(h); }, 0x01020304, {0xC0, 0, 0, 0, 4}},
        {[&] { return bootloader_is_firmware_valid(h); }, 1, {0xC0, 1, 0, 0, 1}},
        {[&] { return bootloader_state(h, &bl); }, 28, {0xC0, 4, 0, 0, 28}},
        {[&] { return dfu_dnload(h, block, 16, 0x1234); }, 16, {0x21, 1, 0x1234, 0, 16}},
        {[&] { return dfu_getstatus(h, &status); }, 6, {0xA1, 3, 0, 0, 6}},
        {[&] { return dfu_abort(h); }, 0, {0x21, 6, 0, 0, 0}},
        // Nothing stored yet: an empty block.
        {[&] { return dfu_upload(h, block, 16, 3); }, 0, {0xA1, 2, 3, 0, 16}},
        // Only dfuERROR may be cleared: the board stalls and enters it.
        {[&] { return dfu_clrstatus(h); }, -1, {0x21, 4, 0, 0, 0}},
        {[&] { return dfu_clrstatus(h); }, 0, {0x21, 4, 0, 0, 0}},
        // The end-of-download signal with nothing before it stalls.
        {[&] { return dfu_dnload(h, nullptr, 0, 7); }, -1, {0x21, 1, 7, 0, 0}},
    };
    for (const auto& c : cases) {
        dirov_sim_clear_events();
        EXPECT_EQ((std::tuple{c.call(), packets()}), std::tuple(c.result, std::vector{c.setup}));
    }
    EXPECT_EQ(std::tuple(state, status.bState),
              std::tuple(uint8_t{DFU_STATE_DFU_IDLE}, uint8_t{DFU_STATE_DFU_DNLOAD_IDLE}));
}

// Refused arguments send nothing; a failed transfer or a short reply gives
// -1, never a result made of bytes the board did not send.
TEST_F(DfuDownload, RefusedArgumentsFailedAndShortTransfers) {
    std::vector<uint8_t> big(0x10000);  // wLength cannot say 65,536
    EXPECT_EQ((std::vector{dfu_dnload(h, nullptr, 5, 0), bootloader_state(h, nullptr),
                           dfu_getdescriptor(h, nullptr), dfu_dnload(h, big.data(), 0x10000, 0),
                           static_cast<int32_t>(dirov_get_last_error())}),
              (std::vector{-1, -2, -1, -1, 87}));
    EXPECT_TRUE(packets().empty());
    uint8_t* image = nullptr;
    uint32_t size = 7;  // readiness only, no DFU_UPLOAD
    EXPECT_EQ((std::tuple{dfu_upload_firmware(h, &image, &size), size}), std::tuple(0, 0u));
    std::free(image);

    BootloaderState bl;
    std::memset(&bl, 0xAB, sizeof bl);
    dirov_sim_short_reply(board, 0xC0, 4, 10);  // byte 27 not sent, so not left as it was either
    EXPECT_EQ((std::tuple{bootloader_state(h, &bl), bl.bytes[27]}), std::tuple(10, uint8_t{0}));
    dirov_sim_short_reply(board, 0xC0, 0, 3);
    EXPECT_EQ(std::make_pair(bootloader_version(h), dfu_getstate(h, nullptr)),
              std::make_pair(-1, -1));

    EXPECT_STREQ(dfu_get_error_str(0), "No error condition is present.");
    EXPECT_EQ(dfu_get_error_str(16), nullptr);
}

TEST_F(DfuDownload, WholeImageStoredFinalBlockIsCountPlusOneBadImagesRefused) {
    auto image = image_of(3, 56);  // 64-byte records: exactly wTransferSize
    EXPECT_EQ((std::tuple{dfu_dnload_firmware(h, image.data(), 3), dfu_get_last_error()}),
              std::tuple(0, 0));
    EXPECT_EQ(std::tuple(dnload_blocks(), stored()), std::tuple(std::vector{0, 1, 2, 4}, image));

    // Refused images send nothing.
    dirov_sim_clear_events();
    image[8 + 56 + 2] = 57;  // the second record becomes 65 bytes
    auto exact = image_of(2, 40);
    EXPECT_EQ((std::vector{dfu_dnload_firmware(h, image.data(), 3),
                           dirov_dfu_dnload_image(h, exact.data(), uint32_t(exact.size() - 1), 2),
                           dfu_dnload_firmware(h, exact.data(), 0x10000),
                           dfu_dnload_firmware(h, nullptr, 2)}),
              (std::vector{-3, -4, -4, -4}));
    EXPECT_TRUE(dnload_blocks().empty());
    EXPECT_EQ(dirov_dfu_dnload_image(h, exact.data(), uint32_t(exact.size()), 2), 0);
}

// Every state an interrupted transfer leaves is brought back to dfuIDLE
// (abort, clear, busy waited out), the board following DFU 1.1: a request not
// valid in its state stalls and enters dfuERROR.
TEST_F(DfuDownload, RecoversFromEveryStateAnInterruptedTransferLeaves) {
    const struct {
        const char* setup;       // D block 0, S status, Z final block, A 50 ms pass, U upload,
                                 // F whole download
        uint32_t pollMs, waits;  // each status's poll wait, and how many the recovery made
        int state;
    } cases[] = {
        {"D", 0, 0, 3},  {"DS", 0x0A0000, 5, 4},  // poll timeout sent as 0A 00 00
        {"DS", 0, 0, 5}, {"DSZ", 0, 0, 6},       {"DSASZS", 50, 5, 7},
        {"FU", 0, 0, 9}, {"DSD", 50, 4, 10},
    };
    auto image = image_of(3, 20);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup);
        attach_boot(c.pollMs);
        uint8_t buf[16];
        DfuStatus st;
        for (const char* op = c.setup; *op; ++op) {
            if (*op == 'D') dfu_dnload(h, image.data(), 28, 0);
            if (*op == 'S') dfu_getstatus(h, &st);
            if (*op == 'Z') dfu_dnload(h, nullptr, 0, 1);
            if (*op == 'A') dirov_sim_advance_clock(50);
            if (*op == 'U') dfu_upload(h, buf, sizeof buf, 0);
            if (*op == 'F') dfu_dnload_firmware(h, image.data(), 3);
        }
        ASSERT_EQ(dirov_sim_dfu_state(board), c.state);
        dirov_sim_clear_events();
        EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 3), 0);
        EXPECT_EQ(
            std::tuple(stored(), dirov_sim_dfu_state(board), sleeps()),
            std::tuple(image, int{DFU_STATE_DFU_IDLE}, std::vector<uint32_t>(c.waits, c.pollMs)));
    }
}

// How a download fails: its result, the transport error and DFU status it
// leaves (-1: none read), and the blocks sent.
TEST_F(DfuDownload, EachFailureStopsTheDownloadWithItsResult) {
    const struct {
        std::function<void(dirov_sim_board*)> fault;
        int32_t result;
        uint32_t error;
        int32_t status;
        std::vector<int> blocks;
    } cases[] = {
        {[](auto b) { dirov_sim_dfu_stall_block(b, 1, 15); }, 15, 31, 15, {0, 1}},
        // A stall followed by status 0 is still a failure, never success.
        {[](auto b) { dirov_sim_dfu_stall_block(b, 0, 0); }, -1, 31, 0, {0}},
        // Other transfer failures keep their own code; a partly taken block fails.
        {[](auto) { dirov_sim_fail_nth(DIROV_SIM_OP_CONTROL, 4, 1167); }, -1, 1167, -1, {0}},
        {[](auto b) { dirov_sim_short_reply(b, 0x21, 1, 10); }, -1, 0, -1, {0}},
        // Busy for 15 more poll timeouts: 16 status queries see it busy, the
        // most a block is given; one fewer and the download goes through.
        {[&](auto) { attach_boot(10), dirov_sim_dfu_stay_busy(board, 15); }, -1, 0, 0, {0}},
        {[&](auto) { attach_boot(10), dirov_sim_dfu_stay_busy(board, 14); }, 0, 0, 0, {0, 1, 2, 4}},
        {[](auto b) { dirov_sim_dfu_status_at_block(b, 2, 7); }, 7, 0, 7, {0, 1, 2}},
    };
    auto image = image_of(3, 20);
    for (const auto& c : cases) {
        attach_boot(0);
        dirov_set_last_error(0);
        c.fault(board);
        int32_t result = dfu_dnload_firmware(h, image.data(), 3);
        EXPECT_EQ(std::tuple(result, dirov_get_last_error(), dnload_blocks(),
                             c.status < 0 ? c.status : dfu_get_last_error()),
                  std::tuple(c.result, c.error, c.blocks, c.status));
    }
    EXPECT_STREQ(dfu_get_last_error_str(), "Programmed memory failed verification.");
    EXPECT_EQ(dirov_sim_dfu_state(board), DFU_STATE_DFU_ERROR);
}

}  // namespace
