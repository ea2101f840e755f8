// The board's UARTs; every command names its port first.
#include "commands/command.h"

using dirov::cmd::command;
using dirov::cmd::Take;

extern "C" {

DIROV_API int32_t uart_init(WINUSB_INTERFACE_HANDLE h, uint8_t port) {
    return command(h, Take::kNothing, "UART:INIT %x\n", port);
}

DIROV_API int32_t uart_set_baud_rate(WINUSB_INTERFACE_HANDLE h, uint8_t port, uint32_t baud) {
    return command(h, Take::kNothing, "UART:SETBAUD %x,%x\n", port, baud);
}

DIROV_API int32_t uart_set_config(WINUSB_INTERFACE_HANDLE h, uint8_t port, uint32_t baud,
                                  uint8_t dataBits, uint8_t parity, uint8_t stopBits) {
    return command(h, Take::kNothing, "UART:SETCONFIG %x,%x,%x,%x,%x\n", port, baud, dataBits,
                   parity, stopBits);
}

DIROV_API int32_t uart_write_byte(WINUSB_INTERFACE_HANDLE h, uint8_t port, uint8_t value) {
    return command(h, Take::kNothing, "UART:WRITEBYTE %x,%x\n", port, value);
}

}  // extern "C"
