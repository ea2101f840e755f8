// A disk that fills up: writes of this process that would make a file longer
// than `bytes` fail (EFBIG, with SIGXFSZ ignored) while the object lives.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace dirov::test {

class FullDiskAt {
   public:
    explicit FullDiskAt(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower{bytes, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FullDiskAt() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }
    FullDiskAt(const FullDiskAt&) = delete;
    FullDiskAt& operator=(const FullDiskAt&) = delete;

   private:
    rlimit saved_{};
    void (*old_handler_)(int) = nullptr;
};

}  // namespace dirov::test
