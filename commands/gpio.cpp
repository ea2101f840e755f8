// General-purpose (GPIO, DIO, IO banks) and dedicated (BOOTEN, IRQN) I/O lines.
#include "commands/command.h"

using dirov::cmd::command;
using dirov::cmd::Take;

extern "C" {

DIROV_API int32_t gpio_init(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "GPIO:INIT\n");
}

DIROV_API int32_t gpio_set_dir(WINUSB_INTERFACE_HANDLE h, uint16_t dir) {
    return command(h, Take::kNothing, "GPIO:SETDIR %x\n", dir);
}

DIROV_API int32_t gpio_write(WINUSB_INTERFACE_HANDLE h, uint16_t value) {
    return command(h, Take::kNothing, "GPIO:WRITE %x\n", value);
}

DIROV_API int32_t gpio_read(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kValue, "GPIO:READ\n");
}

DIROV_API int32_t gpio_set_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins) {
    return command(h, Take::kNothing, "GPIO:SETPIN %x\n", pins);
}

DIROV_API int32_t gpio_clear_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins) {
    return command(h, Take::kNothing, "GPIO:CLEARPIN %x\n", pins);
}

DIROV_API int32_t dio_init(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "GPIO:DIOINIT\n");
}

DIROV_API int32_t dio_write(WINUSB_INTERFACE_HANDLE h, uint16_t value) {
    return command(h, Take::kNothing, "GPIO:DIOWRITE %x\n", value);
}

DIROV_API int32_t dio_set_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins) {
    return command(h, Take::kNothing, "GPIO:DIOSETPIN %x\n", pins);
}

DIROV_API int32_t dio_clear_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins) {
    return command(h, Take::kNothing, "GPIO:DIOCLEARPIN %x\n", pins);
}

DIROV_API int32_t io_init(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "GPIO:IOINIT\n");
}

DIROV_API int32_t io_set_dir(WINUSB_INTERFACE_HANDLE h, uint16_t dir) {
    return command(h, Take::kNothing, "GPIO:IOSETDIR %x\n", dir);
}

DIROV_API int32_t io_write(WINUSB_INTERFACE_HANDLE h, uint16_t value) {
    return command(h, Take::kNothing, "GPIO:IOWRITE %x\n", value);
}

DIROV_API int32_t io_read(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kValue, "GPIO:IOREAD\n");
}

DIROV_API int32_t io_set_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins) {
    return command(h, Take::kNothing, "GPIO:IOSETPIN %x\n", pins);
}

DIROV_API int32_t io_clear_pin(WINUSB_INTERFACE_HANDLE h, uint16_t pins) {
    return command(h, Take::kNothing, "GPIO:IOCLEARPIN %x\n", pins);
}

DIROV_API int32_t dedicated_io_init(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "GPIO:DEDICATEDIOINIT\n");
}

DIROV_API int32_t set_booten_1(WINUSB_INTERFACE_HANDLE h, uint8_t value) {
    return command(h, Take::kNothing, "GPIO:SETBOOTEN1 %x\n", value);
}

DIROV_API int32_t set_booten_2(WINUSB_INTERFACE_HANDLE h, uint8_t value) {
    return command(h, Take::kNothing, "GPIO:SETBOOTEN2 %x\n", value);
}

DIROV_API int32_t clear_booten_1(WINUSB_INTERFACE_HANDLE h, uint8_t value) {
    return command(h, Take::kNothing, "GPIO:CLEARBOOTEN1 %x\n", value);
}

DIROV_API int32_t clear_booten_2(WINUSB_INTERFACE_HANDLE h, uint8_t value) {
    return command(h, Take::kNothing, "GPIO:CLEARBOOTEN2 %x\n", value);
}

DIROV_API int32_t irqn_int_set(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "GPIO:IRQNINTSET\n");
}

DIROV_API int32_t irqn_enable(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "GPIO:IRQNENABLE\n");
}

DIROV_API int32_t irqn_disable(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "GPIO:IRQNDISABLE\n");
}

DIROV_API int32_t dedio_get_status(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kLow8, "GPIO:DEDIOGETSTATUS\n");
}

}  // extern "C"
