#include "support/sim_fixture.h"

namespace dirov::test {

std::vector<SimEvent> sim_events() {
    std::vector<SimEvent> out;
    SimEvent e;
    for (uint32_t i = 0; dirov_sim_event_get(i, &e.ev) == 0; ++i) {
        e.data.assign(e.ev.data, e.ev.data ? e.ev.data + e.ev.length : nullptr);
        e.ev.data = nullptr;
        out.push_back(e);
    }
    return out;
}

std::vector<SimEvent> sim_events(dirov_sim_event_kind kind) {
    std::vector<SimEvent> out = sim_events();
    std::erase_if(out, [kind](const SimEvent& e) { return e.ev.kind != kind; });
    return out;
}

dirov_sim_config SimBoardTest::default_config() {
    dirov_sim_config cfg;
    dirov_sim_config_init(&cfg);
    return cfg;
}

void SimBoardTest::SetUp() {
    dirov_sim_reset();
    dirov_sim_use_virtual_clock(1);
    board = dirov_sim_attach(nullptr);
}

void SimBoardTest::TearDown() {
    CloseDevice(&DeviceData);
    if (board) dirov_sim_detach(board);
    board = nullptr;
    dirov_sim_reset();
}

void SimBoardTest::reattach(const dirov_sim_config& cfg) {
    if (board) dirov_sim_detach(board);
    dirov_sim_reset();
    board = dirov_sim_attach(&cfg);
}

WINUSB_INTERFACE_HANDLE SimBoardTest::open_main() {
    BOOL none = 0;
    EXPECT_EQ(OpenDevice(&DeviceData, &none, nullptr), 0);
    dirov_sim_clear_events();
    return DeviceData.WinUsbHandle;
}

}  // namespace dirov::test
