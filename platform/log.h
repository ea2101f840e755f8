// The library's own diagnostic lines. Every line goes through log_print, which
// hands it to the application's handler (dirov_set_log_handler) or, without
// one, prints it on the stream the caller names (stderr, except the stream
// pipe's flush failure at interface open, which goes to stdout), filtered by
// the level set in DIROV410_LOG. Functions whose job is to print (print_struct, the
// Show* dumps) print directly and do not come here.
#pragma once

#include <cstdint>
#include <cstdio>

namespace dirov {

inline constexpr int32_t kLogError = 1;    // DIROV_LOG_ERROR
inline constexpr int32_t kLogWarning = 2;  // DIROV_LOG_WARNING
inline constexpr int32_t kLogInfo = 3;     // DIROV_LOG_INFO

// Formats one line. Without a handler the text goes to `stream` exactly as
// formatted; a handler gets it without trailing newlines. Thread-safe.
__attribute__((format(printf, 3, 4))) void log_print(int32_t level, std::FILE* stream,
                                                     const char* format, ...);

// "[PREFIX] file:line: text" lines of the packet store.
__attribute__((format(printf, 5, 6))) void log_tagged(int32_t level, std::FILE* stream,
                                                      const char* file, int line,
                                                      const char* format, ...);

// perror's line, "prefix: reason", at error level on stderr.
void log_errno(const char* prefix);

// While one lives on a thread, that thread's error lines are logged at info
// level: they come from an attempt that a retry loop may still make good.
// The loop logs its final failure after the scope has ended.
class RetryScope {
   public:
    RetryScope();
    ~RetryScope();
    RetryScope(const RetryScope&) = delete;
    RetryScope& operator=(const RetryScope&) = delete;
};

}  // namespace dirov

#define DIROV_LOG_E(...) ::dirov::log_print(::dirov::kLogError, stderr, __VA_ARGS__)
#define DIROV_LOG_W(...) ::dirov::log_print(::dirov::kLogWarning, stderr, __VA_ARGS__)
// Progress notes, on stderr.
#define DIROV_LOG_NOTE(...) ::dirov::log_print(::dirov::kLogInfo, stderr, __VA_ARGS__)
