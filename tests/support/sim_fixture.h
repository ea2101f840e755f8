// A simulated board attached for the length of a test, on the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dirov410.h"
#include "dirov410_sim.h"

namespace dirov::test {

struct SimEvent {
    dirov_sim_event ev;
    std::vector<uint8_t> data;
    std::string text() const { return std::string(data.begin(), data.end()); }
};

// Events recorded since the last clear, optionally of one kind only.
std::vector<SimEvent> sim_events();
std::vector<SimEvent> sim_events(dirov_sim_event_kind kind);

class SimBoardTest : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;

    // Reattaches the board with `cfg`, replacing the default one.
    void reattach(const dirov_sim_config& cfg);
    static dirov_sim_config default_config();
    // Opens DeviceData on the main firmware's interface and returns its handle.
    WINUSB_INTERFACE_HANDLE open_main();

    dirov_sim_board* board = nullptr;
};

}  // namespace dirov::test
