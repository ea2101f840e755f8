// Standard streams of the test programs on Windows.
// <windows.h> first: <psapi.h> builds on its types.
// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/capture.h"

namespace dirov::test {
namespace {

// The programs write "\n", not "\r\n": CTest reads their test lists and
// output line by line.
const bool binary_stdio = [] {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    return true;
}();

}  // namespace

// Text mode, as a console stream has: wide output then arrives as bytes.
void prepare_redirect(int fd) {
    _setmode(fd, _O_TEXT);
}

void normalize_line_ends(std::string& text) {
    size_t to = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') text[to++] = text[i];
    text.resize(to);
}

// "D": deleted when closed.
FILE* scratch_file() {
    char dir[MAX_PATH], name[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, dir) || !GetTempFileNameA(dir, "drv", 0, name)) return nullptr;
    return std::fopen(name, "w+bD");
}

uint64_t resident_bytes() {
    PROCESS_MEMORY_COUNTERS c{};
    c.cb = sizeof c;
    return GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof c) ? c.WorkingSetSize : 0;
}

void set_env(const char* name, const char* value) {
    _putenv_s(name, value);
}

}  // namespace dirov::test
