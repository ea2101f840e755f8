// The firmware upgrade end to end: a DFU file made from the test firmware,
// sent to a simulated board from every state it can be found in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/capture.h"
#include "support/sim_fixture.h"

extern "C" int32_t CurrentConnState;

using namespace dirov::test;
namespace fs = std::filesystem;

namespace {

constexpr int32_t kNewVersion = 0x00020400;

std::vector<uint32_t> sleeps() {
    std::vector<uint32_t> out;
    for (auto& e : sim_events(DIROV_SIM_EV_SLEEP)) out.push_back(e.ev.value);
    return out;
}

class Upgrade : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        CurrentConnState = 0;
        dir = fs::temp_directory_path() / ("dirov_upgrade_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        path = (dir / "fw.dfu").string();
        std::string elf = std::string(DIROV_TEST_DATA_DIR) + "/firmware_v2.elf";
        ASSERT_EQ(dfu_file_create(elf.c_str(), path.c_str(), 0, nullptr, nullptr), 0);
    }
    void TearDown() override {
        SimBoardTest::TearDown();
        fs::remove_all(dir);
    }
    void boot_board(int valid) {
        dirov_sim_config cfg = default_config();
        cfg.face = DIROV_SIM_FACE_BOOTLOADER;
        cfg.firmware_valid = valid;
        reattach(cfg);
    }
    // The board runs the new firmware and the library is connected to it.
    void expect_new_firmware() {
        EXPECT_EQ(CurrentConnState, 2);
        EXPECT_TRUE(DeviceData.IsOpen);
        EXPECT_EQ(gen_version(_GetWinUsbHandle()), kNewVersion);
        std::ifstream f(path, std::ios::binary);
        std::vector<uint8_t> file{std::istreambuf_iterator<char>(f), {}};
        std::vector<uint8_t> stored(dirov_sim_firmware_image(board, nullptr, 0));
        dirov_sim_firmware_image(board, stored.data(), uint32_t(stored.size()));
        EXPECT_EQ(stored, file);
    }
    fs::path dir;
    std::string path;
};

TEST_F(Upgrade, FromNotOpen) {
    boot_board(1);
    Captured cap;
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), 0);
    EXPECT_EQ(cap.err.take(), "Downloading new firmware\nFailed at RetrieveDevicePath\n");
    EXPECT_EQ(sleeps(), std::vector<uint32_t>{500});  // the board re-enumerates in 200 ms
    expect_new_firmware();
}

TEST_F(Upgrade, FromBootloaderStartsAtOnce) {
    boot_board(0);
    ASSERT_EQ(Hx410DItfOpen().ConnState, 1);
    dirov_sim_clear_events();
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), 0);
    auto all = sim_events();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].ev.kind, DIROV_SIM_EV_CONTROL);
    EXPECT_EQ(all[0].ev.bRequest, 5);  // DFU_GETSTATE before any close or open
    expect_new_firmware();
}

TEST_F(Upgrade, FromMainFirmwareResetsFirst) {
    ASSERT_EQ(Hx410DItfOpen().ConnState, 2);
    dirov_sim_clear_events();
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), 0);
    auto ctl = sim_events(DIROV_SIM_EV_CONTROL);
    EXPECT_EQ(ctl[0].ev.bmRequestType, 0xC0);
    EXPECT_EQ(ctl[0].ev.bRequest, 3);
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{500, 500}));
    expect_new_firmware();
}

TEST_F(Upgrade, FromRunTimeInterfaceDetaches) {
    Captured cap;
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), 0);  // state 0, board in its main firmware
    EXPECT_EQ(cap.err.take(),
              "Reattaching in dfu mode\nDownloading new firmware\nFailed at RetrieveDevicePath\n");
    bool detached = false;
    for (auto& e : sim_events(DIROV_SIM_EV_CONTROL))
        detached |= e.ev.bmRequestType == 0x21 && e.ev.bRequest == 0 && e.ev.wValue == 100;
    EXPECT_TRUE(detached);
    EXPECT_EQ(sleeps(), (std::vector<uint32_t>{2000, 500}));
    expect_new_firmware();
}

TEST_F(Upgrade, OnlyTheSelectedOfTwoBoardsIsUpgraded) {
    dirov_sim_config cfg = default_config();
    cfg.serial = "SECOND";
    dirov_sim_board* second = dirov_sim_attach(&cfg);
    ASSERT_EQ(dirov_select_device("SECOND"), 0);
    Captured cap;
    // From the main firmware: detach, download in the bootloader, and back,
    // each reopening finding the same board.
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), 0);
    EXPECT_EQ(dirov_sim_firmware_version(second), uint32_t(kNewVersion));
    EXPECT_EQ(dirov_sim_firmware_version(board), 0x00010200u);
    EXPECT_EQ(dirov_sim_firmware_image(board, nullptr, 0), 0u);
    EXPECT_NE(std::string(DeviceData.DevicePath).find("SECOND#"), std::string::npos);
    EXPECT_EQ(gen_version(_GetWinUsbHandle()), kNewVersion);
    CloseDevice(&DeviceData);
    dirov_sim_detach(second);
}

TEST_F(Upgrade, FailedDownloadThenFromDfuError) {
    boot_board(0);
    ASSERT_EQ(Hx410DItfOpen().ConnState, 1);
    dirov_sim_dfu_status_at_block(board, 1, 7);
    Captured cap;
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), -1);
    EXPECT_EQ(cap.err.take(), "Downloading new firmware\nDevice firmware download failed (7)\n");
    EXPECT_EQ(dfu_get_last_error(), 7);
    EXPECT_EQ(CurrentConnState, 1);

    EXPECT_EQ(FirmwareUpgrade(path.c_str()), 0);
    EXPECT_EQ(cap.err.take().rfind("Device was in 10 state before downloading\n"
                                   "Downloading new firmware\n",
                                   0),
              0u);
    expect_new_firmware();
}

TEST_F(Upgrade, FailuresPrintTheirLine) {
    Captured cap;
    EXPECT_EQ(FirmwareUpgrade((dir / "missing.dfu").string().c_str()), -1);
    EXPECT_EQ(cap.err.take(),
              "Failed to read DFU file: " + (dir / "missing.dfu").string() + " (1)\n");
    EXPECT_TRUE(sim_events(DIROV_SIM_EV_CONTROL).empty());

    dirov_sim_set_face(board, DIROV_SIM_FACE_ABSENT, 0);
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), -1);
    EXPECT_EQ(cap.err.take(),
              "Failed at RetrieveDevicePath for interface "
              "{5D8E3F27-A4C1-4B09-9E62-18F7B3C0A4D5}\nFailed to find DFU device\n");
    EXPECT_TRUE(sleeps().empty());

    CurrentConnState = 5;  // goes on with the record as it is (closed): the query fails
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), -1);
    EXPECT_EQ(cap.err.take(),
              "Unknown connection state 5\n"
              "Failed to get DFU status (win error = 0x00000006)\n");
}

TEST_F(Upgrade, DetachFailureGoesOnAndLostBoardIsReported) {
    dirov_sim_fail_nth(DIROV_SIM_OP_CONTROL, 2, 31);  // the state query, then the detach
    Captured cap;
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), -1);
    EXPECT_EQ(cap.err.take(),
              "Reattaching in dfu mode\nDFU Detach failed (-1)\n"
              "Downloading new firmware\nDevice firmware download failed (-2)\n");

    boot_board(1);
    CurrentConnState = 0;
    dirov_sim_never_return(board, 1);
    dirov_sim_clear_events();
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), -1);
    std::string err = cap.err.take();
    EXPECT_NE(err.find("Failed to find non-DFU device\n"), std::string::npos);
    EXPECT_EQ(sleeps(), std::vector<uint32_t>(10, 500));
    EXPECT_EQ(CurrentConnState, 0);
}

// How many calls of `op` a run made, from the events it left (an upper
// bound where two operations share one kind of event).
uint32_t calls_of(dirov_sim_op op) {
    const dirov_sim_event_kind kinds[DIROV_SIM_OP_COUNT] = {
        DIROV_SIM_EV_FIND,  DIROV_SIM_EV_OPEN,    DIROV_SIM_EV_OPEN,      DIROV_SIM_EV_OUT,
        DIROV_SIM_EV_IN,    DIROV_SIM_EV_SLEEP,   DIROV_SIM_EV_SLEEP,     DIROV_SIM_EV_ABORT,
        DIROV_SIM_EV_FLUSH, DIROV_SIM_EV_CONTROL, DIROV_SIM_EV_DESCRIPTOR};
    bool streamed = op == DIROV_SIM_OP_STREAM_SUBMIT || op == DIROV_SIM_OP_STREAM_WAIT;
    return streamed ? 0 : uint32_t(sim_events(kinds[op]).size());
}

// One failed transport operation anywhere in an upgrade, from each state the
// library can be in: that upgrade may fail (but not once the new firmware
// runs), the next one succeeds.
TEST_F(Upgrade, AnySingleFailureIsRecoveredByTheNextUpgrade) {
    auto start = [&](int connState) {
        CloseDevice(&DeviceData);
        CurrentConnState = 0;
        boot_board(connState != 1);
        if (connState != 1) dirov_sim_set_face(board, DIROV_SIM_FACE_MAIN, 0);
        if (connState != 0) {
            EXPECT_EQ(Hx410DItfOpen().ConnState, connState);
        }
        dirov_sim_clear_events();
    };
    for (int connState : {0, 1, 2}) {
        start(connState);
        ASSERT_EQ(Capturing([&] { FirmwareUpgrade(path.c_str()); }).err.find("failed"),
                  std::string::npos);
        uint32_t calls[DIROV_SIM_OP_COUNT];
        for (int op = 0; op < DIROV_SIM_OP_COUNT; ++op) calls[op] = calls_of(dirov_sim_op(op));
        for (int op = 0; op < DIROV_SIM_OP_COUNT; ++op) {
            for (uint32_t n = 1; n <= std::max(calls[op], 1u); ++n) {
                for (uint32_t code : {31u, 121u}) {  // a stall, a timeout
                    SCOPED_TRACE(testing::Message() << "from " << connState << ", op " << op
                                                    << " call " << n << " error " << code);
                    start(connState);
                    int32_t first = -1, second = -1;
                    bool newRuns = false;
                    Output out = Capturing([&] {
                        dirov_sim_fail_nth(dirov_sim_op(op), n, code);
                        first = FirmwareUpgrade(path.c_str());
                        newRuns = dirov_sim_firmware_version(board) == kNewVersion;
                        dirov_sim_clear_faults();  // unused when the upgrade makes no such call
                        second = FirmwareUpgrade(path.c_str());
                    });
                    // A failure never leaves the new firmware running unreported.
                    EXPECT_TRUE(first == 0 || !newRuns) << out.err;
                    ASSERT_EQ(second, 0) << out.err;
                    expect_new_firmware();
                }
            }
        }
    }
}

}  // namespace
