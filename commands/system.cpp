// System commands: reset, version, the LOADFI commands and the board-side timer sleep.
#include "commands/command.h"

using dirov::cmd::command;
using dirov::cmd::Take;

extern "C" {

DIROV_API int32_t gen_reset(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "SYS:RESET\n");
}

DIROV_API int32_t gen_version(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kValue, "SYS:VERSION\n");
}

DIROV_API int32_t load_fi_QDR5X3X(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint32_t b, uint16_t c,
                                  uint16_t d) {
    return command(h, Take::kNothing, "SYS:LOADFI_QDR5X3X %x,%x,%x,%x\n", a, b, c, d);
}

DIROV_API int32_t load_fi_QDR504X_QDR514X(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint32_t b,
                                          uint16_t c, uint16_t d) {
    return command(h, Take::kNothing, "SYS:LOADFI_QDR504X_QDR514X %x,%x,%x,%x\n", a, b, c, d);
}

DIROV_API int32_t load_fi_QDR524X_QDR534X(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint32_t b,
                                          uint16_t c, uint16_t d) {
    return command(h, Take::kNothing, "SYS:LOADFI_QDR524X_QDR534X %x,%x,%x,%x\n", a, b, c, d);
}

DIROV_API int32_t load_fi_QDR5X6X(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint16_t b, uint16_t c) {
    return command(h, Take::kNothing, "SYS:LOADFI_QDR5X6X %x,%x,%x\n", a, b, c);
}

// The board sleeps before it replies; the host waits only for the reply.
DIROV_API int32_t timer_sleep(WINUSB_INTERFACE_HANDLE h, uint32_t duration) {
    return command(h, Take::kNothing, "SYS:TIMERSLEEP %x\n", duration);
}

}  // extern "C"
