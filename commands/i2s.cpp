// The I2S host port: DMA in both directions and the board's two sine generators.
#include "commands/command.h"

using dirov::cmd::command;
using dirov::cmd::Take;

extern "C" {

DIROV_API int32_t host_port_i2s_init(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "I2S:INIT\n");
}

DIROV_API int32_t host_port_tx_i2s_dma_enable(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "I2S:DMATXENABLE\n");
}

DIROV_API int32_t host_port_rx_i2s_dma_enable(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "I2S:DMARXENABLE\n");
}

DIROV_API int32_t host_port_i2s_dma_disable(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kNothing, "I2S:DMADISABLE\n");
}

DIROV_API int32_t host_port_i2s_dma_set_left_sine(WINUSB_INTERFACE_HANDLE h, float frequency,
                                                  float amplitude) {
    return command(h, Take::kNothing, "I2S:SETLSINE %f,%f\n", static_cast<double>(frequency),
                   static_cast<double>(amplitude));
}

DIROV_API int32_t host_port_i2s_dma_set_right_sine(WINUSB_INTERFACE_HANDLE h, float frequency,
                                                   float amplitude) {
    return command(h, Take::kNothing, "I2S:SETRSINE %f,%f\n", static_cast<double>(frequency),
                   static_cast<double>(amplitude));
}

DIROV_API int32_t host_port_i2s_rx_status(WINUSB_INTERFACE_HANDLE h) {
    return command(h, Take::kLow8, "I2S:DMARXSTATUS\n");
}

}  // extern "C"
