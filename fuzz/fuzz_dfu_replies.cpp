// Any bytes as the bootloader's replies: DFU status records, state bytes,
// the functional descriptor, the bootloader state record, version and
// validity, through the interface open, the download and the upload.
//
// The input is a script, one entry per IN control request in turn: a length
// byte, then that many reply bytes; 0xFF stalls the request, 0xFE leaves the
// board's own reply. Once the script ends the board answers for itself.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "dirov410_sim.h"
#include "sim/board.h"
#include "sim/bootloader.h"

namespace {

constexpr uint8_t kStall = 0xFF;
constexpr uint8_t kOwnReply = 0xFE;

struct Script {
    const uint8_t* at;
    const uint8_t* end;
    bool next(std::vector<uint8_t>& bytes, bool& stall) {
        if (at == end) return false;
        uint8_t n = *at++;
        if (n == kOwnReply) return false;
        stall = n == kStall;
        if (stall) return true;
        size_t take = std::min<size_t>(n, static_cast<size_t>(end - at));
        bytes.assign(at, at + take);
        at += take;
        return true;
    }
};

// Three 20-byte records.
std::vector<uint8_t> small_image() {
    std::vector<uint8_t> image;
    for (uint8_t r = 0; r < 3; ++r) {
        uint8_t head[8] = {5, 0, 20, 0, uint8_t(r * 20), 0x40, 0, 0x08};
        image.insert(image.end(), head, head + 8);
        image.insert(image.end(), 20, uint8_t(r + 1));
    }
    return image;
}

}  // namespace

// The board, and with it the script that points into this input, goes at the
// end of each run.
struct SimRun {
    dirov_sim_board* board = nullptr;
    ~SimRun() {
        CloseDevice(&DeviceData);
        dirov_sim_detach(board);
        dirov_sim_reset();
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SimRun run;
    dirov_sim_reset();
    dirov_sim_use_virtual_clock(1);  // fuzzed poll timeouts cost no time
    dirov_sim_config cfg;
    dirov_sim_config_init(&cfg);
    cfg.face = DIROV_SIM_FACE_BOOTLOADER;
    cfg.transfer_size = 64;
    cfg.firmware_valid = 0;  // the open stays with the bootloader unless a reply says otherwise
    run.board = dirov_sim_attach(&cfg);
    Script script{data, data + size};
    dirov::sim::bootloader_script_replies(
        *dirov::sim::boards().front(), [&](const dirov::SetupPacket&, std::vector<uint8_t>& bytes,
                                           bool& stall) { return script.next(bytes, stall); });

    ItfOpenResult r = Hx410DItfOpen();
    if (r.ConnState < 0 || r.ConnState > 2) __builtin_trap();
    BOOL none = 0;
    if (r.ConnState != 1) {
        CloseDevice(&DeviceData);
        if (OpenDevice(&DeviceData, &none, &GUID_DFU_MAIN_INTERFACE) < 0) return 0;
    }
    std::vector<uint8_t> image = small_image();
    int32_t d = dirov_dfu_dnload_image(DeviceData.WinUsbHandle, image.data(),
                                       static_cast<uint32_t>(image.size()), 3);
    if (d < -4 || d > 255) __builtin_trap();
    uint8_t* up = nullptr;
    uint32_t upSize = 7;
    if (dfu_upload_firmware(DeviceData.WinUsbHandle, &up, &upSize) == 0 && upSize != 0)
        __builtin_trap();
    std::free(up);
    BootloaderState bl;
    if (bootloader_state(DeviceData.WinUsbHandle, &bl) > DIROV_BOOTLOADER_STATE_SIZE)
        __builtin_trap();
    return 0;
}
