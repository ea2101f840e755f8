// Internal face of the capture thread for the worker interface: a wait that
// wakes both on a new pending packet and on the capture thread's end.
#pragma once

#include <cstdint>

namespace dirov {

// A process-wide event count, raised when a capture thread ends and by
// SignalCaptureEvent. A waiter reads it, tests its condition, then waits
// until the count moves on from what it read.
int32_t CaptureEventCount();
void SignalCaptureEvent();
void WaitCaptureEvent(int32_t seen);

}  // namespace dirov
