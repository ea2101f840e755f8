#include "tools/stop.h"

#include <unistd.h>

#include <climits>
#include <cstring>

namespace dirovctl {
namespace {

volatile sig_atomic_t stops = 0;
volatile sig_atomic_t has_temporary = 0;
char temporary[PATH_MAX];

constexpr char kForced[] = "\ndirovctl: stopped at once\n";
constexpr int kExitBySignal = 128;

// Only async-signal-safe calls here.
void on_stop_signal(int sig) {
    if (stops == 0) {
        stops = 1;
        return;
    }
    if (has_temporary) unlink(temporary);
    (void)!write(STDERR_FILENO, kForced, sizeof kForced - 1);
    _exit(kExitBySignal + sig);
}

void catch_signal(int sig, void (*fn)(int), struct sigaction* old) {
    struct sigaction sa {};
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, old);
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

StopOnSignal::StopOnSignal() {
    stops = 0;
    catch_signal(SIGINT, on_stop_signal, &old_int_);
    catch_signal(SIGTERM, on_stop_signal, &old_term_);
    catch_signal(SIGPIPE, SIG_IGN, &old_pipe_);
}

StopOnSignal::~StopOnSignal() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
    sigaction(SIGPIPE, &old_pipe_, nullptr);
}

bool stop_requested() {
    return stops != 0;
}

SignalsHeld::SignalsHeld() {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, &old_);
}

SignalsHeld::~SignalsHeld() {
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

void remove_on_forced_stop(const char* path) {
    has_temporary = 0;
    if (!path || std::strlen(path) >= sizeof temporary) return;
    std::strcpy(temporary, path);
    has_temporary = 1;
}

}  // namespace dirovctl
