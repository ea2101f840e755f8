// The firmware upgrade end to end: a DFU file made from the test firmware,
// sent to a simulated board from every state it can be found in, each
// transport failure recovered.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "data/binutils_listing.h"
#include "support/capture.h"
#include "support/sim_fixture.h"

extern "C" int32_t CurrentConnState;

using namespace dirov::test;

namespace {

constexpr int32_t kNewVersion = 0x00020400;
// Each transport operation an upgrade makes and the event its calls leave.
constexpr std::pair<dirov_sim_op, dirov_sim_event_kind> kOps[] = {
    {DIROV_SIM_OP_FIND_PATH, DIROV_SIM_EV_FIND},       {DIROV_SIM_OP_OPEN_FILE, DIROV_SIM_EV_OPEN},
    {DIROV_SIM_OP_OPEN_INTERFACE, DIROV_SIM_EV_OPEN},  {DIROV_SIM_OP_BULK_WRITE, DIROV_SIM_EV_OUT},
    {DIROV_SIM_OP_BULK_READ, DIROV_SIM_EV_IN},         {DIROV_SIM_OP_ABORT, DIROV_SIM_EV_ABORT},
    {DIROV_SIM_OP_FLUSH, DIROV_SIM_EV_FLUSH},          {DIROV_SIM_OP_CONTROL, DIROV_SIM_EV_CONTROL},
    {DIROV_SIM_OP_DESCRIPTOR, DIROV_SIM_EV_DESCRIPTOR}};

// The run as F(ind), O(pen), X (close), S(leep ms) and control requests
// (type.request.value, hex), block downloads and status queries left out.
std::string trace() {
    std::string out;
    for (auto& e : sim_events()) {
        const dirov_sim_event& v = e.ev;
        char item[32] = "";
        bool block = (v.bmRequestType & 0x60) == 0x20 && (v.bRequest == 1 || v.bRequest == 3);
        if (v.kind == DIROV_SIM_EV_CONTROL && !block)
            std::snprintf(item, sizeof item, " %x.%x.%x", v.bmRequestType, v.bRequest, v.wValue);
        if (v.kind == DIROV_SIM_EV_SLEEP) std::snprintf(item, sizeof item, " S%u", v.value);
        const char* kinds[] = {" F", " O", " X"};
        out += v.kind <= DIROV_SIM_EV_CLOSE ? kinds[v.kind] : item;
    }
    return out.substr(std::min<size_t>(1, out.size()));
}

class Upgrade : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        CurrentConnState = 0;
        path = std::filesystem::temp_directory_path().string() + "/dirov_upgrade_" +
               std::to_string(::getpid()) + ".dfu";
        ASSERT_EQ(dfu_file_create(data_path("firmware_v2.elf").c_str(), path.c_str(), 0, nullptr,
                                  nullptr),
                  0);
    }
    void TearDown() override {
        SimBoardTest::TearDown();
        std::filesystem::remove(path);
    }
    // The board in its main firmware, or its bootloader (the firmware valid
    // unless connState is 1), and the library in `connState` (0: not open).
    void start(int connState, uint32_t reenumerateMs = 200) {
        CloseDevice(&DeviceData);
        CurrentConnState = 0;
        dirov_sim_config cfg = default_config();
        cfg.face = DIROV_SIM_FACE_BOOTLOADER;
        cfg.reenumerate_ms = reenumerateMs;
        cfg.firmware_valid = connState != 1;
        reattach(cfg);
        if (connState != 1) dirov_sim_set_face(board, DIROV_SIM_FACE_MAIN, 0);
        EXPECT_EQ(connState ? Hx410DItfOpen().ConnState : 0, connState);
        dirov_sim_clear_events();
    }
    // The board runs the new firmware and the library is connected to it.
    void expect_new_firmware() {
        EXPECT_EQ(CurrentConnState, 2);
        EXPECT_TRUE(DeviceData.IsOpen);
        EXPECT_EQ(gen_version(_GetWinUsbHandle()), kNewVersion);
        std::vector<uint8_t> stored(dirov_sim_firmware_image(board, nullptr, 0));
        dirov_sim_firmware_image(board, stored.data(), uint32_t(stored.size()));
        EXPECT_EQ(stored, file_bytes(path));
    }
    std::string path;
};

// A failure gives -1 and says why; a board that never comes back is given up
// on after ten waits.
TEST_F(Upgrade, FailuresReturnMinusOne) {
    start(1);
    dirov_sim_dfu_status_at_block(board, 1, 7);
    Captured cap;
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), -1);
    EXPECT_EQ(cap.err.take(), "Downloading new firmware\nDevice firmware download failed (7)\n");
    EXPECT_EQ(CurrentConnState, 1);

    start(1);
    dirov_sim_never_return(board, 1);
    EXPECT_EQ((std::tuple{FirmwareUpgrade(path.c_str()), sim_events(DIROV_SIM_EV_SLEEP).size()}),
              std::tuple(-1, size_t{10}));

    start(2, 800);  // slower to come back from its reset than the pause: waited for
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), 0);

    start(1);  // unplugged and plugged in again during the download: the next call reopens
    static dirov_sim_board* replugged;
    replugged = board;
    dirov_set_dfu_progress(
        [](uint32_t block, uint32_t, void*) {
            if (block == 1) dirov_sim_set_face(replugged, DIROV_SIM_FACE_BOOTLOADER, 0);
        },
        nullptr);
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), -1);
    EXPECT_EQ(std::pair(CurrentConnState, dirov_get_last_error()), std::pair(0, 1167u));
    dirov_set_dfu_progress(nullptr, nullptr);
    EXPECT_EQ(FirmwareUpgrade(path.c_str()), 0);
}

// From each state the library can be in, a clean upgrade takes its own path
// (the run-time interface detaches with a 100 ms timeout; the main firmware
// is reset into the bootloader). Then one failed transport operation anywhere
// in that upgrade: it may fail (but not once the new firmware runs), the next
// one succeeds.
TEST_F(Upgrade, AnySingleFailureIsRecoveredByTheNextUpgrade) {
    const std::string tail = " a1.5.0 80.6.2100 21.a.0 c0.2.0 X F S500 F O";
    const std::string traces[] = {"F O a1.5.0 21.0.64 X S2000 F O" + tail, "a1.5.0" + tail,
                                  "c0.3.0 X S500 F O a1.5.0" + tail};
    for (int connState : {0, 1, 2}) {
        start(connState);
        int32_t clean = -1;
        Capturing([&] { clean = FirmwareUpgrade(path.c_str()); });
        ASSERT_EQ(clean, 0);
        EXPECT_EQ(trace(), traces[connState]);
        expect_new_firmware();
        // The calls of each operation, from the events they left (an upper
        // bound where two operations share one kind of event).
        std::vector<std::pair<dirov_sim_op, uint32_t>> calls;
        for (auto [op, kind] : kOps) calls.push_back({op, uint32_t(sim_events(kind).size())});
        for (auto [op, count] : calls) {
            for (uint32_t n = 1; n <= count; ++n) {
                for (uint32_t code : {31u, 121u}) {  // a stall, a timeout
                    SCOPED_TRACE(testing::Message()
                                 << connState << " " << op << " " << n << " " << code);
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
                    // A failure (-1) never leaves the new firmware running.
                    EXPECT_TRUE(first == 0 || (first == -1 && !newRuns)) << out.err;
                    ASSERT_EQ(second, 0) << out.err;
                    expect_new_firmware();
                }
            }
        }
    }
}

}  // namespace
