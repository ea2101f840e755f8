/* The public headers as a C99 program sees them: record layouts, and a call
 * through the shared library. */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dirov410.h"
#include "dirov410_sim.h"

#define CHECK(cond) \
    if (!(cond)) return fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond), 1

int main(void) {
    CHECK(sizeof(PayloadPart) == 4 + sizeof(void*));
    CHECK(offsetof(CommandReply, Type) == 128);
    CHECK(offsetof(CommandReply, Data) == 256);
    CHECK(offsetof(CommandReply, DataLength) == 256 + sizeof(void*));
    CHECK(sizeof(DfuStatus) == 6);
    CHECK(sizeof(DfuFunctionalDescriptor) == 9);
    CHECK(sizeof(DfuSuffix) == 16);
    CHECK(sizeof(BootloaderState) == 28);
    CHECK(sizeof(Elf32FileHeader) == 52);
    CHECK(sizeof(Elf32ProgramHeader) == 32);
    CHECK(sizeof(Elf32SectionHeader) == 40);
    CHECK(offsetof(DataPacket, data) == 16);
    CHECK(offsetof(struct DeviceData, DevicePath) == 8 + 2 * sizeof(void*));

    dirov_sim_use_virtual_clock(1);
    dirov_sim_board* board = dirov_sim_attach(NULL);
    CHECK(board != NULL);
    BOOL none = 1;
    CHECK(OpenDevice(&DeviceData, &none, NULL) == 0);
    CHECK(none == 0 && DeviceData.IsOpen == 1);
    CommandReply* r = usb_comms(DeviceData.WinUsbHandle, "SYS:VERSION\n", 0, NULL);
    CHECK(r != NULL && strcmp(r->Type, "DATA") == 0);
    free(r->Data);
    free(r);
    CloseDevice(&DeviceData);
    dirov_sim_detach(board);
    CHECK(OpenDevice(&DeviceData, &none, NULL) == (HRESULT)0x80070103);
    CHECK(none == 1);
    return 0;
}
