// File operations that need the operating system's own calls: opening only
// regular files for reading, making a temporary file beside its target and
// putting it in place, and writing or cutting the end of an open file. Each
// OS has its own implementation of this header (file_ops_<os>.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace dirov::files {

// A stream closed when it goes out of scope.
struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Opens `path` for binary reading when it names a regular file. A FIFO, a
// directory or a device gives nullptr at once, without blocking and without
// reading from it.
FILE* open_regular(const char* path);

// A new file beside `target` (same folder), created exclusively under a
// unique name, never through a symbolic link. The destructor closes it and
// removes it unless commit() put it in place.
class TempFile {
   public:
    explicit TempFile(std::string target);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Open for binary writing; nullptr when it could not be created.
    FILE* file() const { return file_; }
    // Its name while it is not yet in place.
    const std::string& path() const { return path_; }
    // Writes out and closes the file and renames it over the target in one
    // step. False (and the temporary file removed) when any of that fails.
    bool commit();

   private:
    void discard();

    std::string target_;
    std::string path_;
    FILE* file_ = nullptr;
};

// Writes `n` bytes at offset `at` of the open file in one write, past any
// buffered data of the stream. On failure the file is cut back to `at`
// bytes, so nothing of the write stays.
bool write_at_or_cut(FILE* f, uint64_t at, const uint8_t* data, size_t n);

// Opens `path` for appending raw bytes with write(), creating it if needed,
// not inherited by child processes. -1 on failure.
int open_for_append(const char* path);

// Cuts the open file to `length` bytes.
bool cut(FILE* f, uint64_t length);

// What each OS supplies for TempFile (file_ops.cpp builds it on these).
namespace os {
uint32_t process_id();
// Creates `path` for writing, exclusively and never through a symbolic link:
// a descriptor, or -1 with errno set (EEXIST when the name is taken).
int create_exclusive(const std::string& path);
// A binary write stream on the descriptor, or nullptr (the descriptor stays open).
FILE* stream_for(int fd);
void close_descriptor(int fd);
void remove_file(const std::string& path);
// Writes the stream's data through to the disk.
bool sync(FILE* f);
// Puts `from` in place of `to` in one step.
bool replace(const std::string& from, const std::string& to);
}  // namespace os

}  // namespace dirov::files
