// Windows file operations (see file_ops.h).
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/file_ops.h"

namespace dirov::files {
namespace {

// A FIFO or a device never gets opened: only names the file system lists as
// plain files (no directories, devices or reparse points such as links).
bool is_regular(const char* path) {
    DWORD attrs = GetFileAttributesA(path);
    constexpr DWORD kNotPlain =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & kNotPlain) == 0;
}

bool fits_int64(uint64_t v) {
    return v <= static_cast<uint64_t>(INT64_MAX);
}

}  // namespace

FILE* open_regular(const char* path) {
    if (!path || !is_regular(path)) return nullptr;
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    // The name may have changed between the check and the open.
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) != FILE_TYPE_DISK) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}

bool write_at_or_cut(FILE* f, uint64_t at, const uint8_t* data, size_t n) {
    if (!fits_int64(at + n) || std::fflush(f) != 0) return false;
    int fd = _fileno(f);
    // The stream's position stays where it was, as with pwrite.
    __int64 pos = _telli64(fd);
    bool ok = pos >= 0 && _lseeki64(fd, static_cast<__int64>(at), SEEK_SET) >= 0;
    for (size_t done = 0; ok && done < n;) {
        unsigned chunk = static_cast<unsigned>(std::min<size_t>(n - done, 1u << 30));
        int r = _write(fd, data + done, chunk);
        if (r <= 0)
            ok = false;
        else
            done += static_cast<size_t>(r);
    }
    if (!ok) (void)_chsize_s(fd, static_cast<__int64>(at));
    if (pos >= 0) (void)_lseeki64(fd, pos, SEEK_SET);
    return ok;
}

int open_for_append(const char* path) {
    int fd = -1;
    _sopen_s(&fd, path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
             _S_IREAD | _S_IWRITE);
    return fd;
}

bool cut(FILE* f, uint64_t length) {
    return fits_int64(length) && std::fflush(f) == 0 &&
           _chsize_s(_fileno(f), static_cast<__int64>(length)) == 0;
}

namespace os {

uint32_t process_id() {
    return static_cast<uint32_t>(GetCurrentProcessId());
}

int create_exclusive(const std::string& path) {
    int fd = -1;
    errno_t err =
        _sopen_s(&fd, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                 _SH_DENYNO, _S_IREAD | _S_IWRITE);
    if (err != 0) errno = err;
    return fd;
}

FILE* stream_for(int fd) {
    return _fdopen(fd, "wb");
}

void close_descriptor(int fd) {
    _close(fd);
}

void remove_file(const std::string& path) {
    DeleteFileA(path.c_str());
}

bool sync(FILE* f) {
    return _commit(_fileno(f)) == 0;
}

bool replace(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace os

}  // namespace dirov::files
