// The library's top: the interface open and identity, the capture and save
// workers, and the firmware upgrade.
#include "dirov410.h"

// Interface open, close and identity.

// Capture and save workers.

// Firmware upgrade.
