// Stopping a capture from the keyboard or a service manager: the first
// SIGINT or SIGTERM (Ctrl+C or a console close on Windows) asks for a clean stop, which the capture
// polls; a second one ends the process at once, removing the temporary file registered here.
// Standard output made fit for a raw stream, the tool's other per-OS service,
// sits here too.
#pragma once

#include <chrono>
#include <memory>

namespace dirovctl {

// Catches SIGINT and SIGTERM (and ignores SIGPIPE and SIGXFSZ, so a closed
// output or a file size limit is a write error) for its life.
class StopOnSignal {
   public:
    StopOnSignal();
    ~StopOnSignal();
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;

   private:
    struct Saved;  // the handlers it replaced
    std::unique_ptr<Saved> saved_;
};

// A first signal has come.
bool stop_requested();

// Holds SIGINT and SIGTERM back from this thread for its life, so that a
// temporary file and its registration come into being together.
class SignalsHeld {
   public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

   private:
    struct Saved;  // the mask it replaced
    std::unique_ptr<Saved> saved_;
};

// The temporary file a forced stop removes (nullptr: none). Call with the
// signals held.
void remove_on_forced_stop(const char* path);

// Waits up to `ms` for `fd` to take a write without blocking for long: true
// when it will (always, where the OS has no such wait).
bool wait_writable(int fd, std::chrono::milliseconds ms);

// Makes standard output carry bytes unchanged, for a raw stream written to it
// (Windows' C library writes each "\n" as "\r\n" in its default text mode).
void make_stdout_binary();

}  // namespace dirovctl
