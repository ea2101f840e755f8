// The fourteen DFU and bootloader control requests: setup packets, argument
// checks, stalls, failed transfers and short replies.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "support/sim_fixture.h"

using namespace dirov::test;

namespace {

using Packet = std::tuple<int, int, int, int, int>;  // type, request, value, index, length

Packet setup_of(const SimEvent& e) {
    return {e.ev.bmRequestType, e.ev.bRequest, e.ev.wValue, e.ev.wIndex, e.ev.wLength};
}

class DfuRequests : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        dirov_sim_config cfg = default_config();
        cfg.face = DIROV_SIM_FACE_BOOTLOADER;
        cfg.bootloader_version = 0x01020304;
        cfg.transfer_size = 1024;
        reattach(cfg);
        BOOL none = 0;
        ASSERT_EQ(OpenDevice(&DeviceData, &none, &GUID_DFU_MAIN_INTERFACE), 0);
        h = DeviceData.WinUsbHandle;
        dirov_sim_clear_events();
    }
    WINUSB_INTERFACE_HANDLE h = nullptr;
};

TEST_F(DfuRequests, EachRequestSendsItsSetupPacket) {
    uint8_t state = 0xEE, block[16] = {7, 0, 8, 0};
    DfuStatus status{};
    DfuFunctionalDescriptor desc{};
    BootloaderState bl{};
    EXPECT_EQ(dfu_getstate(h, &state), 1);
    EXPECT_EQ(state, DFU_STATE_DFU_IDLE);
    EXPECT_EQ(dfu_getdescriptor(h, &desc), 9);
    uint16_t transferSize = desc.wTransferSize;  // packed: no reference to it
    EXPECT_EQ(transferSize, 1024);
    EXPECT_EQ(bootloader_version(h), 0x01020304);
    EXPECT_EQ(bootloader_is_firmware_valid(h), 1);
    EXPECT_EQ(bootloader_state(h, &bl), 28);
    EXPECT_EQ(bl.bytes[0] & 1, 0);
    EXPECT_EQ(dfu_dnload(h, block, 16, 0x1234), 16);
    EXPECT_EQ(dfu_getstatus(h, &status), 6);
    EXPECT_EQ(status.bState, DFU_STATE_DFU_DNLOAD_IDLE);
    EXPECT_EQ(dfu_abort(h), 0);
    EXPECT_EQ(dfu_upload(h, block, 16, 3), 0);  // nothing stored yet: an empty block
    EXPECT_EQ(dfu_start(h), 0);
    EXPECT_EQ(dfu_clrstatus(h), -1);  // only dfuERROR may be cleared
    EXPECT_EQ(dirov_get_last_error(), 31u);
    EXPECT_EQ(dfu_clrstatus(h), 0);
    EXPECT_EQ(dfu_detach(h, 100), -1);
    EXPECT_EQ(bootloader_reset(h), 1);
    EXPECT_EQ(bootloader_start_main(h), -1);  // the reset made the handle stale

    std::vector<Packet> want = {
        {0xA1, 5, 0, 0, 1},   {0x80, 6, 0x2100, 0, 9},  {0xC0, 0, 0, 0, 4}, {0xC0, 1, 0, 0, 1},
        {0xC0, 4, 0, 0, 28},  {0x21, 1, 0x1234, 0, 16}, {0xA1, 3, 0, 0, 6}, {0x21, 6, 0, 0, 0},
        {0xA1, 2, 3, 0, 16},  {0x21, 0x0A, 0, 0, 0},    {0x21, 4, 0, 0, 0}, {0x21, 4, 0, 0, 0},
        {0x21, 0, 100, 0, 0}, {0xC0, 3, 0, 0, 1},       {0xC0, 2, 0, 0, 1}};
    std::vector<Packet> got;
    for (auto& e : sim_events(DIROV_SIM_EV_CONTROL)) got.push_back(setup_of(e));
    EXPECT_EQ(got, want);
}

TEST_F(DfuRequests, ArgumentChecksSendNothing) {
    EXPECT_EQ(dfu_getstatus(h, nullptr), -1);
    EXPECT_EQ(dfu_getstate(h, nullptr), -1);
    EXPECT_EQ(dfu_getdescriptor(h, nullptr), -1);
    EXPECT_EQ(dfu_upload(h, nullptr, 4, 0), -1);
    EXPECT_EQ(dfu_dnload(h, nullptr, 5, 0), -1);
    EXPECT_EQ(bootloader_state(h, nullptr), -2);
    std::vector<uint8_t> big(0x10000);
    EXPECT_EQ(dfu_dnload(h, big.data(), 0x10000, 0), -1);  // wLength cannot say 65,536
    EXPECT_TRUE(sim_events(DIROV_SIM_EV_CONTROL).empty());

    // The end-of-download signal goes out; in dfuIDLE the board stalls it (nothing came before).
    EXPECT_EQ(dfu_dnload(h, nullptr, 0, 7), -1);
    EXPECT_EQ(dirov_get_last_error(), 31u);
    auto ev = sim_events(DIROV_SIM_EV_CONTROL);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(setup_of(ev[0]), Packet(0x21, 1, 7, 0, 0));
}

TEST_F(DfuRequests, FailedTransfersGiveMinusOne) {
    dirov_sim_fail_nth(DIROV_SIM_OP_CONTROL, 1, 1167);
    EXPECT_EQ(static_cast<uint32_t>(bootloader_version(h)), 0xFFFFFFFFu);
    EXPECT_EQ(dirov_get_last_error(), 1167u);
    dirov_sim_fail_nth(DIROV_SIM_OP_CONTROL, 1, 31);
    EXPECT_EQ(bootloader_is_firmware_valid(h), -1);
    dirov_sim_fail_nth(DIROV_SIM_OP_CONTROL, 1, 31);
    uint8_t state;
    EXPECT_EQ(dfu_getstate(h, &state), -1);
    EXPECT_EQ(dirov_get_last_error(), 31u);
}

TEST_F(DfuRequests, ShortRepliesNeverYieldUnsentBytes) {
    dirov_sim_short_reply(board, 0xC0, 0, 3);
    EXPECT_EQ(bootloader_version(h), -1);
    dirov_sim_short_reply(board, 0xC0, 1, 0);
    EXPECT_EQ(bootloader_is_firmware_valid(h), -1);
    dirov_sim_short_reply(board, 0xC0, 4, 10);
    BootloaderState bl;
    std::memset(&bl, 0xAB, sizeof bl);
    EXPECT_EQ(bootloader_state(h, &bl), 10);
    EXPECT_EQ(bl.bytes[27], 0);                    // not sent, so not left as it was either
    EXPECT_EQ(bootloader_version(h), 0x01020304);  // the fault was one-shot
    dirov_sim_short_reply(board, 0xC0, 2, 0);
    EXPECT_EQ(bootloader_start_main(h), -1);
}

}  // namespace
