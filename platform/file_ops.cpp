// The temporary file beside its target, on each OS's primitives (file_ops.h).
#include "platform/file_ops.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>

namespace dirov::files {
namespace {

constexpr int kTempAttempts = 16;

// "<target>.<8 hex digits>.tmp", different on every call in this process and
// unlikely to repeat across processes.
std::string temp_name(const std::string& target) {
    static std::atomic<uint32_t> counter{std::random_device{}()};
    uint32_t n = counter.fetch_add(0x9E3779B9u, std::memory_order_relaxed) ^ os::process_id();
    char tail[16];
    std::snprintf(tail, sizeof tail, ".%08x.tmp", n);
    return target + tail;
}

}  // namespace

TempFile::TempFile(std::string target) : target_(std::move(target)) {
    for (int i = 0; i < kTempAttempts; ++i) {
        std::string path = temp_name(target_);
        int fd = os::create_exclusive(path);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return;
        path_ = std::move(path);
        file_ = os::stream_for(fd);
        if (!file_) {
            os::close_descriptor(fd);
            discard();
        }
        return;
    }
}

TempFile::~TempFile() {
    discard();
}

void TempFile::discard() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!path_.empty()) os::remove_file(path_);
    path_.clear();
}

bool TempFile::commit() {
    if (!file_) return false;
    bool ok = std::fflush(file_) == 0 && os::sync(file_);
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok || !os::replace(path_, target_)) {
        discard();
        return false;
    }
    path_.clear();
    return true;
}

}  // namespace dirov::files
