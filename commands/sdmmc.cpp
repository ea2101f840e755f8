// The SD card test.
#include "commands/command.h"

extern "C" {

DIROV_API int32_t sd_test(WINUSB_INTERFACE_HANDLE h) {
    return dirov::cmd::command(h, dirov::cmd::Take::kLow8, "SDMMC:TEST\n");
}

}  // extern "C"
