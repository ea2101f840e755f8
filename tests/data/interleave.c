/* A 5000-byte section and a 100-byte one that starts where its second record does. */
#include <stdint.h>

__attribute__((section(".patch.lo"), used)) const uint8_t lo[5000] = {1, 2, 3, [4999] = 0xEE};
__attribute__((section(".patch.hi"), used)) const uint8_t hi[100] = {9, 8, 7, [99] = 0x77};
