// The DFU download against the simulated bootloader: readiness, block
// sizes and numbering, poll waits, reported statuses and stalls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/sim_fixture.h"

using namespace dirov::test;

namespace {

// `count` records of `data` bytes each, loaded one after the other.
std::vector<uint8_t> image_of(uint32_t count, uint16_t data) {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t addr = 0x08004000 + i * data;
        uint8_t head[8] = {5,
                           0,
                           uint8_t(data),
                           uint8_t(data >> 8),
                           uint8_t(addr),
                           uint8_t(addr >> 8),
                           uint8_t(addr >> 16),
                           uint8_t(addr >> 24)};
        out.insert(out.end(), head, head + 8);
        for (uint16_t k = 0; k < data; ++k) out.push_back(uint8_t(i * 31 + k));
    }
    return out;
}

std::vector<int> dnload_blocks() {
    std::vector<int> out;
    for (auto& e : sim_events(DIROV_SIM_EV_CONTROL))
        if (e.ev.bmRequestType == 0x21 && e.ev.bRequest == 1) out.push_back(e.ev.wValue);
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
    void attach_boot(uint32_t pollMs) {
        dirov_sim_config cfg = default_config();
        cfg.face = DIROV_SIM_FACE_BOOTLOADER;
        cfg.transfer_size = 64;
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

TEST_F(DfuDownload, WholeImageStoredAndFinalBlockIsCountPlusOne) {
    auto image = image_of(3, 56);  // 64-byte records: exactly wTransferSize
    std::vector<uint32_t> progress;
    dirov_set_dfu_progress(
        [](uint32_t b, uint32_t n, void* u) {
            static_cast<std::vector<uint32_t>*>(u)->push_back(b * 100 + n);
        },
        &progress);
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 3), 0);
    dirov_set_dfu_progress(nullptr, nullptr);
    EXPECT_EQ(dnload_blocks(), (std::vector<int>{0, 1, 2, 4}));
    EXPECT_EQ(progress, (std::vector<uint32_t>{103, 203, 303}));
    EXPECT_EQ(stored(), image);
    EXPECT_EQ(dirov_sim_firmware_valid(board), 1);
    EXPECT_EQ(dfu_get_last_error(), 0);
}

TEST_F(DfuDownload, CountZeroSendsOnlyTheFinalBlock) {
    EXPECT_EQ(dfu_dnload_firmware(h, nullptr, 0), 9);  // errNOTDONE from this bootloader
    EXPECT_EQ(dnload_blocks(), std::vector<int>{1});
    EXPECT_EQ(sim_events(DIROV_SIM_EV_CONTROL).size(), 4u);
    EXPECT_EQ(dfu_get_last_error(), 9);
}

TEST_F(DfuDownload, RefusedImagesSendNothing) {
    auto image = image_of(3, 56);
    image[8 + 56 + 2] = 57;  // the second record becomes 65 bytes
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 3), -3);
    auto exact = image_of(2, 40);
    EXPECT_EQ(dirov_dfu_dnload_image(h, exact.data(), uint32_t(exact.size() - 1), 2), -4);
    EXPECT_EQ(dfu_dnload_firmware(h, exact.data(), 0x10000), -4);
    EXPECT_EQ(dfu_dnload_firmware(h, nullptr, 2), -4);
    EXPECT_TRUE(dnload_blocks().empty());
    EXPECT_EQ(dirov_dfu_dnload_image(h, exact.data(), uint32_t(exact.size()), 2), 0);
}

// The class requests up to the first data block: bRequest codes, "!" after
// a stalled one.
std::string recovery_requests() {
    std::string out;
    for (auto& e : sim_events(DIROV_SIM_EV_CONTROL)) {
        if (e.ev.bmRequestType != 0x21 && e.ev.bmRequestType != 0xA1) continue;
        if (e.ev.bRequest == 1 && e.ev.wLength) break;
        out += (out.empty() ? "" : " ") + std::to_string(e.ev.bRequest) + (e.ev.value ? "!" : "");
    }
    return out;
}

// Every state an interrupted transfer leaves is brought back to dfuIDLE
// (abort, clear, busy waited out), the board following DFU 1.1: a request not
// valid in its state stalls and enters dfuERROR.
TEST_F(DfuDownload, RecoversFromEveryStateAnInterruptedTransferLeaves) {
    const struct {
        const char* setup;  // D block 0, S status, Z final block, A 50 ms pass, U upload, C clear,
                            // F whole download
        uint32_t pollMs;
        int state;
        const char* requests;
    } cases[] = {
        {"D", 0, 3, "5 6! 5 4 5"},
        {"DS", 50, 4, "5 3 5 6! 5 4 5"},
        {"DS", 0, 5, "5 6 5"},
        {"DSZ", 0, 6, "5 6! 5 4 5"},
        {"DSASZS", 50, 7, "5 3 5 6! 5 4 5"},
        {"FU", 0, 9, "5 6 5"},
        {"C", 0, 10, "5 4 5"},
        {"DSD", 50, 10, "5 4 5"},
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
            if (*op == 'C') dfu_clrstatus(h);
            if (*op == 'F') dfu_dnload_firmware(h, image.data(), 3);
        }
        ASSERT_EQ(dirov_sim_dfu_state(board), c.state);
        dirov_sim_clear_events();
        EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 3), 0);
        EXPECT_EQ(recovery_requests(), c.requests);
        EXPECT_EQ(stored(), image);
        EXPECT_EQ(dirov_sim_dfu_state(board), DFU_STATE_DFU_IDLE);
    }

    // The main firmware's run-time interface answers appIDLE: no DFU request leaves it.
    CloseDevice(&DeviceData);
    reattach(default_config());
    BOOL none = 0;
    ASSERT_EQ(OpenDevice(&DeviceData, &none, &GUID_DFU_MAIN_INTERFACE), 0);
    dirov_sim_clear_events();
    EXPECT_EQ(dfu_dnload_firmware(DeviceData.WinUsbHandle, image.data(), 1), -2);
    EXPECT_EQ(sim_events(DIROV_SIM_EV_CONTROL).size(), 1u);
}

TEST_F(DfuDownload, ReportedStatusStopsAndErrorIsClearedNextTime) {
    auto image = image_of(4, 20);
    dirov_sim_dfu_status_at_block(board, 2, 7);
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 4), 7);
    EXPECT_EQ(dnload_blocks(), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(dfu_get_last_error(), 7);
    EXPECT_STREQ(dfu_get_last_error_str(), "Programmed memory failed verification.");
    EXPECT_EQ(dirov_sim_dfu_state(board), DFU_STATE_DFU_ERROR);

    dirov_sim_clear_events();
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 4), 0);
    auto ctl = sim_events(DIROV_SIM_EV_CONTROL);
    ASSERT_GE(ctl.size(), 2u);
    EXPECT_EQ(ctl[1].ev.bRequest, 4);  // DFU_CLRSTATUS right after the state query
    EXPECT_EQ(dnload_blocks(), (std::vector<int>{0, 1, 2, 3, 5}));
}

TEST_F(DfuDownload, StalledBlockKeepsError31) {
    auto image = image_of(3, 20);
    dirov_sim_dfu_stall_block(board, 1, 15);
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 3), 15);
    EXPECT_EQ(dirov_get_last_error(), 31u);
    EXPECT_EQ(dfu_get_last_error(), 15);
    EXPECT_EQ(dnload_blocks(), (std::vector<int>{0, 1}));

    // A stall followed by status 0 is still a failure, never success.
    attach_boot(0);
    dirov_sim_dfu_stall_block(board, 0, 0);
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 3), -1);
    EXPECT_EQ(dirov_get_last_error(), 31u);

    // Other transfer failures keep their own code; a partly taken block fails.
    attach_boot(0);
    dirov_sim_fail_nth(DIROV_SIM_OP_CONTROL, 4, 1167);  // state, descriptor, block 0
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 3), -1);
    EXPECT_EQ(dirov_get_last_error(), 1167u);
    attach_boot(0);
    dirov_sim_short_reply(board, 0x21, 1, 10);
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 3), -1);
    EXPECT_EQ(dnload_blocks(), std::vector<int>{0});
}

TEST_F(DfuDownload, PollTimeoutMostSignificantByteFirst) {
    attach_boot(10);
    auto image = image_of(2, 20);
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 2), 0);
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{10, 10, 10}));

    attach_boot(0x0A0000);  // sent as 0A 00 00
    uint64_t t0 = dirov_sim_clock_ms();
    EXPECT_EQ(dfu_dnload(h, image.data(), 28, 0), 28);
    DfuStatus st;
    EXPECT_EQ(dfu_getstatus(h, &st), 6);
    EXPECT_EQ(st.bwPollTimeout[0], 0x0A);
    EXPECT_EQ(st.bwPollTimeout[2], 0x00);
    EXPECT_EQ(st.bState, DFU_STATE_DFU_DNBUSY);
    dirov_sim_clear_events();
    EXPECT_EQ(dfu_dnload_firmware(h, image.data(), 1), 0);  // busy waited out first
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{655360, 655360, 655360}));
    EXPECT_EQ(dirov_sim_clock_ms() - t0, 3u * 655360);
}

TEST(DfuTexts, CodesAndUpload) {
    EXPECT_STREQ(dfu_get_error_str(0), "No error condition is present.");
    EXPECT_EQ(dfu_get_error_str(16), nullptr);
    EXPECT_EQ(dfu_get_error_str(-1), nullptr);
    EXPECT_NE(std::strstr(error_msg[10], "Device\xE2\x80\x99s firmware"), nullptr);
    EXPECT_STREQ(error_msg[15], "Device stalled an unexpected request.");
    uint32_t size = 5;
    EXPECT_EQ(dfu_upload_firmware(nullptr, nullptr, &size), -1);
}

TEST_F(DfuDownload, UploadChecksReadinessOnly) {
    uint8_t* image = nullptr;
    uint32_t size = 7;
    EXPECT_EQ(dfu_upload_firmware(h, &image, &size), 0);
    EXPECT_EQ(size, 0u);
    std::free(image);
    for (auto& e : sim_events(DIROV_SIM_EV_CONTROL)) EXPECT_NE(e.ev.bRequest, 2);
}

}  // namespace
