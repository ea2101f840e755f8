#include "tools/stop.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
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

struct StopOnSignal::Saved {
    struct sigaction old_int, old_term, old_pipe, old_fsize;
};

struct SignalsHeld::Saved {
    sigset_t old;
};

StopOnSignal::StopOnSignal() : saved_(std::make_unique<Saved>()) {
    stops = 0;
    catch_signal(SIGINT, on_stop_signal, &saved_->old_int);
    catch_signal(SIGTERM, on_stop_signal, &saved_->old_term);
    catch_signal(SIGPIPE, SIG_IGN, &saved_->old_pipe);
    catch_signal(SIGXFSZ, SIG_IGN, &saved_->old_fsize);
}

StopOnSignal::~StopOnSignal() {
    sigaction(SIGINT, &saved_->old_int, nullptr);
    sigaction(SIGTERM, &saved_->old_term, nullptr);
    sigaction(SIGPIPE, &saved_->old_pipe, nullptr);
    sigaction(SIGXFSZ, &saved_->old_fsize, nullptr);
}

bool stop_requested() {
    return stops != 0;
}

SignalsHeld::SignalsHeld() : saved_(std::make_unique<Saved>()) {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, &saved_->old);
}

SignalsHeld::~SignalsHeld() {
    pthread_sigmask(SIG_SETMASK, &saved_->old, nullptr);
}

void remove_on_forced_stop(const char* path) {
    has_temporary = 0;
    if (!path || std::strlen(path) >= sizeof temporary) return;
    std::strcpy(temporary, path);
    has_temporary = 1;
}

bool wait_writable(int fd, std::chrono::milliseconds ms) {
    struct pollfd p {
        fd, POLLOUT, 0
    };
    // An error or a hang-up shows as ready: the write then reports it. A
    // signal is no readiness: the caller looks at it first.
    int r = poll(&p, 1, static_cast<int>(ms.count()));
    return r > 0 || (r < 0 && errno != EINTR);
}

// POSIX streams carry bytes as they are.
void make_stdout_binary() {}

}  // namespace dirovctl
