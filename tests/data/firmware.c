/* Patch sections of a small Cortex-M firmware image, for the DFU file tests. */
#include <stdint.h>

#ifndef FW_VERSION
#define FW_VERSION 0x00020300u
#endif

#define PATCH(name) __attribute__((section(name), used))

void reset_handler(void);
void usb_handler(void);

PATCH(".patch.isrvect") const uint32_t isr_vectors[16] = {
    0x20008000u, (uint32_t)&reset_handler, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, (uint32_t)&usb_handler,
};

PATCH(".patch.ldvect") const uint32_t loader_vectors[6] = {
    0x4C444556u, 1, 2, 3, 0xA5A5A5A5u, 0x5A5A5A5Au,
};

PATCH(".patch.usbdesc") uint8_t usb_descriptor[18] = {
    18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x83, 0x04, 0x10, 0x41, 0x00, 0x01, 1, 2, 3, 1,
};

#ifndef NO_USBCB
PATCH(".patch.usbcb") void (*usb_callbacks[3])(void) = {usb_handler, reset_handler, usb_handler};
#endif

/* 5000 bytes: the version header, then a counting pattern. */
struct firmware_block {
    char magic[4];
    uint32_t version;
    uint8_t body[4992];
};

#define B4(n) (uint8_t)(n), (uint8_t)((n) + 1), (uint8_t)((n) + 2), (uint8_t)((n) + 3)
#define B16(n) B4(n), B4((n) + 4), B4((n) + 8), B4((n) + 12)
#define B64(n) B16(n), B16((n) + 16), B16((n) + 32), B16((n) + 48)
#define B256(n) B64(n), B64((n) + 64), B64((n) + 128), B64((n) + 192)

PATCH(".patch.firmware") const struct firmware_block firmware = {
    {'D', 'R', 'V', 'F'},
    FW_VERSION,
    {B256(0), B256(7), B256(13), B256(29), B256(31), B256(37), B256(41), B256(43), B256(47),
     B256(53), B256(59), B256(61), B256(67), B256(71), B256(73), B256(79), B256(83), B256(89),
     B256(97), B64(101), B64(103)},
};

static volatile uint32_t counter;

PATCH(".patch.main") void reset_handler(void) {
    for (;;) counter += firmware.body[counter & 0xFF];
}

PATCH(".patch.main") void usb_handler(void) { counter = usb_descriptor[7]; }
