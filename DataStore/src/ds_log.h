// Information lines of the DataStore sources: "[INFO] file:line: ", the text,
// then "\n", as three writes on stdout. The stream stays locked across the
// three so that lines of two threads do not interleave.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "device/platform.h"

namespace dirov {

__attribute__((format(printf, 3, 4))) inline void DsReportInfo(const char* file, int line,
                                                               const char* format, ...) {
    lock_stream(stdout);
    std::fprintf(stdout, "[INFO] %s:%d: ", file, line);
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputs("\n", stdout);
    unlock_stream(stdout);
}

}  // namespace dirov

#define DS_INFO(...) ::dirov::DsReportInfo(__FILE__, __LINE__, __VA_ARGS__)
