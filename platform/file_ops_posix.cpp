// POSIX file operations (see file_ops.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <string>

#include "platform/file_ops.h"

namespace dirov::files {
namespace {

bool is_regular(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool fits_off_t(uint64_t v) {
    return v <= static_cast<uint64_t>(std::numeric_limits<off_t>::max());
}

}  // namespace

FILE* open_regular(const char* path) {
    if (!path || !is_regular(path)) return nullptr;
    // Non-blocking, so that a FIFO swapped in after the check cannot hang the
    // open; the descriptor is checked again and made blocking once it is
    // known to be a regular file.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    int flags = ::fcntl(fd, F_GETFL);
    FILE* f = nullptr;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags >= 0 &&
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0)
        f = ::fdopen(fd, "rb");
    if (!f) ::close(fd);
    return f;
}

bool write_at_or_cut(FILE* f, uint64_t at, const uint8_t* data, size_t n) {
    if (!fits_off_t(at + n)) return false;
    int fd = ::fileno(f);
    bool ok = std::fflush(f) == 0;
    for (size_t done = 0; ok && done < n;) {
        ssize_t r = ::pwrite(fd, data + done, n - done, static_cast<off_t>(at + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0)
            ok = false;
        else
            done += static_cast<size_t>(r);
    }
    if (!ok) (void)::ftruncate(fd, static_cast<off_t>(at));
    return ok;
}

int open_for_append(const char* path) {
    return ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

bool cut(FILE* f, uint64_t length) {
    return fits_off_t(length) && std::fflush(f) == 0 &&
           ::ftruncate(::fileno(f), static_cast<off_t>(length)) == 0;
}

namespace os {

uint32_t process_id() {
    return static_cast<uint32_t>(::getpid());
}

int create_exclusive(const std::string& path) {
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

FILE* stream_for(int fd) {
    return ::fdopen(fd, "wb");
}

void close_descriptor(int fd) {
    ::close(fd);
}

void remove_file(const std::string& path) {
    ::unlink(path.c_str());
}

bool sync(FILE* f) {
    return ::fsync(::fileno(f)) == 0;
}

bool replace(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace os

}  // namespace dirov::files
