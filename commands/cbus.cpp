// Bus register access: word, byte and counted-stream reads and writes.
#include "commands/command.h"

using dirov::cmd::bits;
using dirov::cmd::command;
using dirov::cmd::Take;

extern "C" {

DIROV_API int32_t cbus_read_word(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint8_t b) {
    return command(h, Take::kLow16, "CBUS:READWORD %x,%x\n", a, b);
}

DIROV_API int32_t cbus_read_byte(WINUSB_INTERFACE_HANDLE h, uint8_t a, int32_t b) {
    return command(h, Take::kLow8, "CBUS:READBYTE %x,%x\n", a, bits(b));
}

DIROV_API int32_t cbus_read_word_stream(WINUSB_INTERFACE_HANDLE h, uint8_t a, int32_t b, uint8_t n,
                                        uint8_t* buffer) {
    return dirov::cmd::read_stream(h, buffer, n, "CBUS:READWORDSTREAM %x,%x,%x\n", a, bits(b), n);
}

DIROV_API int32_t cbus_read_byte_stream(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint8_t b, int32_t n,
                                        uint8_t* buffer) {
    return dirov::cmd::read_stream(h, buffer, n, "CBUS:READBYTESTREAM %x,%x,%x\n", a, b, bits(n));
}

DIROV_API int32_t cbus_write_word(WINUSB_INTERFACE_HANDLE h, uint8_t a, int32_t b, int32_t value) {
    return command(h, Take::kNothing, "CBUS:WRITEWORD %x,%x,%x\n", a, bits(b), bits(value));
}

DIROV_API int32_t cbus_write_byte(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint8_t b, uint8_t value) {
    return command(h, Take::kNothing, "CBUS:WRITEBYTE %x,%x,%x\n", a, b, value);
}

DIROV_API int32_t cbus_write_word_stream(WINUSB_INTERFACE_HANDLE h, uint8_t a, int32_t b,
                                         const uint8_t* payload, uint8_t count) {
    return dirov::cmd::write_stream(h, payload, count, "CBUS:WRITEWORDSTREAM %x,%x,#%x\n", a,
                                    bits(b), count);
}

DIROV_API int32_t cbus_write_byte_stream(WINUSB_INTERFACE_HANDLE h, uint8_t a, uint8_t b,
                                         int32_t count, const uint8_t* payload) {
    return dirov::cmd::write_stream(h, payload, count, "CBUS:WRITEBYTESTREAM %x,%x,#%x\n", a, b,
                                    bits(count));
}

DIROV_API int32_t cbus_set_spi(WINUSB_INTERFACE_HANDLE h, int32_t mode) {
    return command(h, Take::kNothing, "CBUS:SETSPIMODE %x\n", bits(mode));
}

DIROV_API int32_t cbus_set_baud_rate(WINUSB_INTERFACE_HANDLE h, int32_t rate) {
    return command(h, Take::kNothing, "CBUS:SETBAUDRATE %x\n", bits(rate));
}

}  // extern "C"
