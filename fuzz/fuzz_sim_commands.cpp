// Any bytes the host may send on the command pipe, through the simulated
// main firmware: every transfer gets "ISTAT OK" and exactly one reply, and
// the library's reply parser reads that reply as data or as a status.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/reply.h"
#include "dirov410_sim.h"
#include "sim/board.h"

namespace {

constexpr uint8_t kCommandOut = 0x01;
constexpr uint8_t kReplyIn = 0x81;

void check_reply(std::vector<uint8_t> bytes) {
    size_t len = bytes.size();
    bytes.push_back(0);
    CommandReply r;
    dirov::parse_reply_bytes(reinterpret_cast<char*>(bytes.data()), len, &r);
    bool data = std::strcmp(r.Type, "DATA") == 0 && r.Data;
    bool status = std::strcmp(r.Type, "CSTAT") == 0;
    std::free(r.Data);
    if (!data && !status) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dirov_sim_use_virtual_clock(1);  // SYS:TIMERSLEEP waits on the board's clock
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    dirov_sim_config cfg;
    dirov_sim_config_init(&cfg);
    dirov::sim::Board board(0, cfg);
    board.main_firmware().on_bulk_out(board, kCommandOut, data, static_cast<uint32_t>(size));
    std::vector<uint8_t> ack, reply, extra;
    if (!board.try_take_in(kReplyIn, ack) || !board.try_take_in(kReplyIn, reply) ||
        board.try_take_in(kReplyIn, extra) || std::string(ack.begin(), ack.end()) != "ISTAT OK\n")
        __builtin_trap();
    check_reply(std::move(reply));
    return 0;
}
