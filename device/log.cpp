#include "device/log.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "dirov410.h"

namespace dirov {
namespace {

struct Handler {
    dirov_log_fn fn = nullptr;
    void* user = nullptr;
};

std::mutex& handler_mutex() {
    static std::mutex m;
    return m;
}

Handler& handler() {
    static Handler h;
    return h;
}

Handler current_handler() {
    std::lock_guard lock(handler_mutex());
    return handler();
}

// DIROV410_LOG=off|error|warning|info, read once; anything else prints all.
int32_t env_level() {
    static const int32_t level = [] {
        const char* v = std::getenv("DIROV410_LOG");
        if (!v) return kLogInfo;
        std::string_view s(v);
        if (s == "off") return 0;
        if (s == "error") return kLogError;
        if (s == "warning") return kLogWarning;
        return kLogInfo;
    }();
    return level;
}

void emit(int32_t level, std::FILE* stream, std::string text) {
    Handler h = current_handler();
    if (h.fn) {
        while (!text.empty() && text.back() == '\n') text.pop_back();
        h.fn(h.user, level, text.c_str());
        return;
    }
    if (level > env_level()) return;
    // One write per line, so lines of two threads never interleave.
    std::fwrite(text.data(), 1, text.size(), stream);
}

std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::string s(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(s.data(), s.size(), format, args);
    s.resize(static_cast<size_t>(n));
    return s;
}

}  // namespace

void log_print(int32_t level, std::FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    emit(level, stream, std::move(text));
}

void log_tagged(int32_t level, std::FILE* stream, const char* file, int line, const char* format,
                ...) {
    const char* tag = level == kLogError ? "ERROR" : level == kLogWarning ? "WARNING" : "INFO";
    std::string text = "[" + std::string(tag) + "] " + file + ":" + std::to_string(line) + ": ";
    va_list args;
    va_start(args, format);
    text += vformat(format, args);
    va_end(args);
    text += '\n';
    emit(level, stream, std::move(text));
}

}  // namespace dirov

extern "C" DIROV_API void dirov_set_log_handler(dirov_log_fn fn, void* user) {
    std::lock_guard lock(dirov::handler_mutex());
    dirov::handler() = {fn, user};
}
