// Captures what the library writes on stdout or stderr.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace dirov::test {

class OutputCapture {
   public:
    explicit OutputCapture(FILE* stream);  // stdout or stderr
    ~OutputCapture();
    // Everything written since construction (or the last take), and resets.
    std::string take();

   private:
    FILE* stream_;
    int fd_;
    int saved_;
    FILE* tmp_;
};

// Per OS (stdio_posix.cpp, stdio_windows.cpp): gives a redirected stream
// the mode a console stream has, and turns what was read back into "\n"
// line ends.
void prepare_redirect(int fd);
void normalize_line_ends(std::string& text);
// A scratch file of its own, removed when closed (msvcrt's tmpfile names
// collide between processes running at once).
FILE* scratch_file();
// Sets an environment variable of this process (setenv / _putenv_s).
void set_env(const char* name, const char* value);
// Bytes of this process's memory held in RAM now.
uint64_t resident_bytes();
// POSIX only: runs `fn` on a disk that fills up: writes of this process that
// would make a file longer than `bytes` fail (EFBIG, with SIGXFSZ ignored).
void on_full_disk(uint64_t bytes, const std::function<void()>& fn);

// Captures both streams for the life of the object.
struct Captured {
    OutputCapture out{stdout};
    OutputCapture err{stderr};
};

struct Output {
    std::string out, err;
};

// Runs `fn` with stdout and stderr captured; test failures inside would be
// captured too, so `fn` only acts.
template <typename Fn>
Output Capturing(Fn&& fn) {
    Captured c;
    fn();
    return {c.out.take(), c.err.take()};
}

}  // namespace dirov::test
