// Any bytes as a DFU image, downloaded to the simulated bootloader: the
// record walk must stay inside the image, and what the board stores is
// exactly the records walked.
//
// Input: record count (16 bits, little-endian), a byte choosing the board's
// wTransferSize ((b + 1) * 8), then the image.
#include <vector>

#include "dirov410_sim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    uint32_t count = data[0] | data[1] << 8;
    dirov_sim_reset();
    dirov_sim_use_virtual_clock(1);
    dirov_sim_config cfg;
    dirov_sim_config_init(&cfg);
    cfg.face = DIROV_SIM_FACE_BOOTLOADER;
    cfg.transfer_size = static_cast<uint16_t>((data[2] + 1) * 8);
    dirov_sim_board* board = dirov_sim_attach(&cfg);
    BOOL none = 0;
    if (OpenDevice(&DeviceData, &none, &GUID_DFU_MAIN_INTERFACE) < 0) __builtin_trap();
    // Its own copy, so reading past the image trips the sanitizer.
    std::vector<uint8_t> image(data + 3, data + size);
    int32_t r = dirov_dfu_dnload_image(DeviceData.WinUsbHandle, image.data(),
                                       static_cast<uint32_t>(image.size()), count);
    CloseDevice(&DeviceData);
    std::vector<uint8_t> stored(dirov_sim_firmware_image(board, nullptr, 0));
    dirov_sim_firmware_image(board, stored.data(), static_cast<uint32_t>(stored.size()));
    dirov_sim_detach(board);
    if (r != 0 || count == 0) return 0;
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) at += 8 + (image[at + 2] | image[at + 3] << 8);
    if (stored != std::vector<uint8_t>(image.begin(), image.begin() + at)) __builtin_trap();
    return 0;
}
