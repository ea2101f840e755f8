/* The smallest dirov410 application: open a (simulated) board and ask it
 * for its firmware version. */
#include <dirov410.h>
#include <dirov410_sim.h>
#include <stdio.h>
#include <stdlib.h>

int main(void) {
    dirov_sim_board* board = dirov_sim_attach(NULL); /* drop this line on real hardware */
    BOOL noDevice = 0;
    if (OpenDevice(&DeviceData, &noDevice, NULL) < 0) {
        fprintf(stderr, noDevice ? "no board\n" : "cannot open the board\n");
        return 1;
    }
    CommandReply* reply = usb_comms(DeviceData.WinUsbHandle, "SYS:VERSION\n", 0, NULL);
    if (!reply) return 1;
    print_struct(reply);
    free(reply->Data);
    free(reply);
    CloseDevice(&DeviceData);
    dirov_sim_detach(board);
    return 0;
}
