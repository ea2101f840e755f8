// The simulated board's C API: attach and detach, the record of host
// actions, fault injection and the clock.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include "dirov410_sim.h"
#include "platform/platform.h"
#include "sim/board.h"

namespace dirov::sim {
namespace {

struct StoredEvent {
    dirov_sim_event ev;
    std::vector<uint8_t> data;
};

struct Fault {
    uint64_t at_call;
    uint32_t code;
};

struct State {
    std::mutex mu;
    std::vector<std::shared_ptr<Board>> boards;
    int next_index = 0;
    std::vector<StoredEvent> events;
    std::array<uint64_t, DIROV_SIM_OP_COUNT> calls{};
    std::array<std::vector<Fault>, DIROV_SIM_OP_COUNT> faults{};
};

State& state() {
    static State* s = new State;  // threads may still use it during static destruction
    return *s;
}

// The clock while boards are simulated: real, or virtual where Sleep
// advances time at once. Host sleeps are recorded either way.
class SimClock final : public Clock {
   public:
    uint64_t now_ms() override { return virtual_.load() ? now_.load() : real_clock().now_ms(); }
    void sleep_ms(uint32_t ms) override {
        dirov_sim_event ev{};
        ev.kind = DIROV_SIM_EV_SLEEP;
        ev.board = -1;
        ev.value = ms;
        record(ev, nullptr, 0);
        if (virtual_.load())
            now_.fetch_add(ms);
        else
            real_clock().sleep_ms(ms);
    }
    void advance(uint64_t ms) {
        if (virtual_.load())
            now_.fetch_add(ms);
        else
            real_clock().sleep_ms(static_cast<uint32_t>(ms));
    }
    bool is_virtual() { return virtual_.load(); }
    void set_virtual(bool on) {
        if (on && !virtual_.load()) now_.store(real_clock().now_ms());
        virtual_.store(on);
    }

   private:
    std::atomic<bool> virtual_{false};
    std::atomic<uint64_t> now_{0};
};

SimClock& sim_clock() {
    static SimClock* c = new SimClock;
    return *c;
}

}  // namespace

std::vector<std::shared_ptr<Board>> boards() {
    std::lock_guard lk(state().mu);
    return state().boards;
}

std::shared_ptr<Board> board_by_serial(const std::string& serial) {
    for (auto& b : boards())
        if (b->serial() == serial) return b;
    return nullptr;
}

void record(dirov_sim_event ev, const uint8_t* data, uint32_t len) {
    ev.time_ms = clock().now_ms();
    std::lock_guard lk(state().mu);
    StoredEvent se{ev,
                   data && len ? std::vector<uint8_t>(data, data + len) : std::vector<uint8_t>{}};
    se.ev.length = static_cast<uint32_t>(se.data.size());
    se.ev.data = nullptr;
    state().events.push_back(std::move(se));
}

uint32_t injected_fault(dirov_sim_op op) {
    std::lock_guard lk(state().mu);
    uint64_t call = ++state().calls[op];
    auto& list = state().faults[op];
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->at_call == call) {
            uint32_t code = it->code;
            list.erase(it);
            return code;
        }
    }
    return 0;
}

bool clock_is_virtual() {
    return sim_clock().is_virtual();
}
void advance_clock(uint64_t ms) {
    sim_clock().advance(ms);
}

}  // namespace dirov::sim

using namespace dirov;
using namespace dirov::sim;

struct dirov_sim_board {
    std::shared_ptr<Board> board;
};

extern "C" {

DIROV_API void dirov_sim_config_init(dirov_sim_config* cfg) {
    if (!cfg) return;
    *cfg = dirov_sim_config{};
    cfg->face = DIROV_SIM_FACE_MAIN;
    cfg->serial = "DRV410-0001";
    cfg->vendor_id = 0x1D50;
    cfg->product_id = 0x6410;
    cfg->firmware_version = 0x00010200;
    cfg->bootloader_version = 0x00010000;
    cfg->firmware_valid = 1;
    cfg->main_running = 0;
    cfg->runtime_dfu = 1;
    cfg->reenumerate_ms = 200;
    cfg->transfer_size = 2048;
    cfg->poll_timeout_ms = 0;
}

DIROV_API dirov_sim_board* dirov_sim_attach(const dirov_sim_config* cfg) {
    dirov_sim_config c;
    dirov_sim_config_init(&c);
    if (cfg) c = *cfg;
    set_clock(&sim_clock());
    dirov::transport_register(dirov::sim::transport_ops);
    std::lock_guard lk(state().mu);
    auto b = std::make_shared<Board>(state().next_index++, c);
    state().boards.push_back(b);
    return new dirov_sim_board{b};
}

DIROV_API void dirov_sim_detach(dirov_sim_board* board) {
    if (!board) return;
    board->board->detach();
    {
        std::lock_guard lk(state().mu);
        auto& v = state().boards;
        std::erase(v, board->board);
    }
    delete board;
}

DIROV_API void dirov_sim_reset(void) {
    std::vector<std::shared_ptr<Board>> old;
    {
        std::lock_guard lk(state().mu);
        old.swap(state().boards);
        state().events.clear();
        state().calls = {};
        for (auto& f : state().faults) f.clear();
        state().next_index = 0;
    }
    for (auto& b : old) b->detach();
}

DIROV_API void dirov_sim_set_face(dirov_sim_board* board, dirov_sim_face face, uint32_t delay_ms) {
    if (board) board->board->set_face(face, delay_ms);
}

DIROV_API dirov_sim_face dirov_sim_get_face(dirov_sim_board* board) {
    return board ? board->board->face() : DIROV_SIM_FACE_ABSENT;
}

DIROV_API void dirov_sim_use_virtual_clock(int enable) {
    sim_clock().set_virtual(enable != 0);
    set_clock(&sim_clock());
}

DIROV_API uint64_t dirov_sim_clock_ms(void) {
    return dirov::clock().now_ms();
}

DIROV_API void dirov_sim_advance_clock(uint64_t ms) {
    sim_clock().advance(ms);
}

DIROV_API void dirov_sim_set_firmware_replies(dirov_sim_board* board, int enable) {
    if (board) board->board->set_firmware_replies(enable != 0);
}

DIROV_API void dirov_sim_set_silent(dirov_sim_board* board, int enable) {
    if (board) board->board->set_silent(enable != 0);
}

DIROV_API int32_t dirov_sim_queue_in(dirov_sim_board* board, uint8_t ep, const void* data,
                                     uint32_t length) {
    if (!board || (!data && length)) return -1;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    board->board->push_in(ep, std::vector<uint8_t>(p, p + length));
    return 0;
}

DIROV_API uint32_t dirov_sim_pending_in(dirov_sim_board* board, uint8_t ep) {
    return board ? board->board->pending_in(ep) : 0;
}

DIROV_API void dirov_sim_stream_set_pattern(dirov_sim_board* board, dirov_sim_stream_pattern p) {
    using Pattern = StreamGenerator::Pattern;
    if (!board) return;
    Pattern pattern = p == DIROV_SIM_STREAM_COUNTER     ? Pattern::kCounter
                      : p == DIROV_SIM_STREAM_I2S_SINES ? Pattern::kI2sSines
                                                        : Pattern::kOff;
    board->board->stream().set_pattern(pattern);
}

DIROV_API void dirov_sim_stream_set_transfer_size(dirov_sim_board* board, uint32_t bytes) {
    if (board) board->board->stream().set_transfer_size(bytes);
}

DIROV_API void dirov_sim_stream_set_rate(dirov_sim_board* board, uint64_t bytes_per_s) {
    if (board) board->board->stream().set_rate(bytes_per_s);
}

DIROV_API void dirov_sim_stream_restart(dirov_sim_board* board) {
    if (board) board->board->stream().restart();
}

DIROV_API uint64_t dirov_sim_stream_produced(dirov_sim_board* board) {
    return board ? board->board->stream().produced() : 0;
}

DIROV_API uint8_t dirov_sim_stream_counter_byte(uint64_t offset) {
    return StreamGenerator::counter_byte(offset);
}

DIROV_API uint32_t dirov_sim_event_count(void) {
    std::lock_guard lk(state().mu);
    return static_cast<uint32_t>(state().events.size());
}

DIROV_API int32_t dirov_sim_event_get(uint32_t index, dirov_sim_event* out) {
    std::lock_guard lk(state().mu);
    if (!out || index >= state().events.size()) return -1;
    StoredEvent& se = state().events[index];
    *out = se.ev;
    out->data = se.data.empty() ? nullptr : se.data.data();
    return 0;
}

DIROV_API void dirov_sim_clear_events(void) {
    std::lock_guard lk(state().mu);
    state().events.clear();
}

DIROV_API void dirov_sim_fail_nth(dirov_sim_op op, uint32_t nth, uint32_t code) {
    if (op < 0 || op >= DIROV_SIM_OP_COUNT || nth == 0) return;
    std::lock_guard lk(state().mu);
    state().faults[op].push_back({state().calls[op] + nth, code});
}

DIROV_API void dirov_sim_clear_faults(void) {
    std::lock_guard lk(state().mu);
    for (auto& f : state().faults) f.clear();
}

}  // extern "C"

// Bootloader and DFU behaviour; the state lives with the bootloader model.
namespace dirov::sim {
void bootloader_stall_block(Board& b, uint16_t block, uint8_t status);
void bootloader_status_at_block(Board& b, uint16_t block, uint8_t status);
void bootloader_stay_busy(Board& b, uint32_t times);
void bootloader_short_reply(Board& b, uint8_t type, uint8_t request, uint32_t length);
void bootloader_never_return(Board& b, bool on);
int32_t bootloader_dfu_state(Board& b);
bool bootloader_firmware_valid(Board& b);
std::vector<uint8_t> bootloader_image(Board& b);
}  // namespace dirov::sim

extern "C" {

DIROV_API void dirov_sim_dfu_stall_block(dirov_sim_board* board, uint16_t block, uint8_t status) {
    if (board) bootloader_stall_block(*board->board, block, status);
}

DIROV_API void dirov_sim_dfu_status_at_block(dirov_sim_board* board, uint16_t block,
                                             uint8_t status) {
    if (board) bootloader_status_at_block(*board->board, block, status);
}

DIROV_API void dirov_sim_dfu_stay_busy(dirov_sim_board* board, uint32_t times) {
    if (board) bootloader_stay_busy(*board->board, times);
}

DIROV_API void dirov_sim_short_reply(dirov_sim_board* board, uint8_t bmRequestType,
                                     uint8_t bRequest, uint32_t length) {
    if (board) bootloader_short_reply(*board->board, bmRequestType, bRequest, length);
}

DIROV_API void dirov_sim_never_return(dirov_sim_board* board, int enable) {
    if (board) bootloader_never_return(*board->board, enable != 0);
}

DIROV_API int32_t dirov_sim_dfu_state(dirov_sim_board* board) {
    return board ? bootloader_dfu_state(*board->board) : -1;
}

DIROV_API int32_t dirov_sim_firmware_valid(dirov_sim_board* board) {
    return board ? int32_t(bootloader_firmware_valid(*board->board)) : -1;
}

DIROV_API uint32_t dirov_sim_firmware_image(dirov_sim_board* board, void* buf, uint32_t cap) {
    if (!board) return 0;
    std::vector<uint8_t> image = bootloader_image(*board->board);
    if (buf && !image.empty()) std::memcpy(buf, image.data(), std::min<size_t>(cap, image.size()));
    return static_cast<uint32_t>(image.size());
}

DIROV_API uint32_t dirov_sim_firmware_version(dirov_sim_board* board) {
    return board ? board->board->firmware_version() : 0;
}

}  // extern "C"
