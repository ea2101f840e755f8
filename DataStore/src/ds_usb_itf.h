// Internal face of the capture thread for the worker interface: a wait that
// wakes both on a new pending packet and on the capture thread's end, and the
// stop request that is safe from a packet callback.
#pragma once

#include <chrono>
#include <cstdint>

#include "dirov410.h"

namespace dirov {

// A process-wide event count, raised when a capture thread ends and by
// signal_capture_event. A waiter reads it, tests its condition, then waits
// until the count moves on from what it read.
int32_t capture_event_count();
void signal_capture_event();
void wait_capture_event(int32_t seen);
// The same up to `deadline`; false when it passed first.
bool wait_capture_event_for(int32_t seen, std::chrono::steady_clock::time_point deadline);

// The Windows error code the last capture thread ended with (the failed
// read's, 8 when no packet could be made), 0 when it was stopped or none ran.
uint32_t capture_end_error();

// The argument record of the capture thread this call runs on, or null when
// it runs on another thread.
CapThreadArgs* current_capture();

// Asks a capture thread to stop and cuts its read in flight short, without
// waiting for it to end: what a packet callback may do, since the thread
// cannot end while the callback runs.
void request_capture_thread_stop(CapThreadArgs* args);

}  // namespace dirov
