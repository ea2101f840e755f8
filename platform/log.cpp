#include "platform/log.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

#include "dirov410.h"
#include "platform/platform.h"

namespace dirov {
namespace {

// One installed handler and the calls of it still running: replacing it
// waits for those, so that once dirov_set_log_handler returns the old
// handler (and its `user`) is no longer used by any thread.
struct Handler {
    dirov_log_fn fn = nullptr;
    void* user = nullptr;
    int32_t running = 0;  // under Registry::mutex
};

struct Registry {
    std::mutex mutex;
    std::condition_variable idle;
    std::shared_ptr<Handler> current = std::make_shared<Handler>();
};

Registry& registry() {
    static Registry r;
    return r;
}

// Whether a handler is installed, read without the lock: a line nobody will
// see costs no formatting and no lock (the save thread logs every packet).
std::atomic<bool> handler_installed{false};

// The handler to call, counted as running; null when there is none.
std::shared_ptr<Handler> enter_handler() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.current->fn) return nullptr;
    ++r.current->running;
    return r.current;
}

void leave_handler(Handler& h) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (--h.running == 0) r.idle.notify_all();
}

struct EnvLevel {
    int32_t level = kLogInfo;
    std::string bad;  // a value that is none of the four
};

// DIROV410_LOG=off|error|warning|info, read once; anything else prints all.
const EnvLevel& env_setting() {
    static const EnvLevel setting = [] {
        EnvLevel e;
        const char* v = std::getenv("DIROV410_LOG");
        if (!v) return e;
        std::string_view s(v);
        if (s == "off")
            e.level = 0;
        else if (s == "error")
            e.level = kLogError;
        else if (s == "warning")
            e.level = kLogWarning;
        else if (s != "info")
            e.bad = s.empty() ? "(empty)" : std::string(s);
        return e;
    }();
    return setting;
}

int32_t env_level() {
    return env_setting().level;
}

void emit(int32_t level, std::FILE* stream, std::string text);

// A bad DIROV410_LOG is said once: when a handler is set or at the first
// line the library logs, whichever comes first.
void report_bad_env() {
    static std::atomic<bool> done{false};
    if (done.load(std::memory_order_relaxed) || done.exchange(true)) return;
    const std::string& bad = env_setting().bad;
    if (!bad.empty())
        emit(kLogWarning, stderr,
             "DIROV410_LOG=" + bad + " is none of off, error, warning, info: every line prints\n");
}

void emit(int32_t level, std::FILE* stream, std::string text) {
    if (std::shared_ptr<Handler> h = enter_handler()) {
        while (!text.empty() && text.back() == '\n') text.pop_back();
        h->fn(h->user, level, text.c_str());
        leave_handler(*h);
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

bool wanted(int32_t level) {
    return handler_installed.load(std::memory_order_relaxed) || level <= env_level();
}

thread_local int retry_depth = 0;

int32_t effective(int32_t level) {
    return level == kLogError && retry_depth > 0 ? kLogInfo : level;
}

}  // namespace

RetryScope::RetryScope() {
    ++retry_depth;
}
RetryScope::~RetryScope() {
    --retry_depth;
}

void log_print(int32_t level, std::FILE* stream, const char* format, ...) {
    level = effective(level);
    report_bad_env();
    if (!wanted(level)) return;
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    emit(level, stream, std::move(text));
}

void log_tagged(int32_t level, std::FILE* stream, const char* file, int line, const char* format,
                ...) {
    level = effective(level);
    report_bad_env();
    if (!wanted(level)) return;
    const char* tag = level == kLogError ? "ERROR" : level == kLogWarning ? "WARNING" : "INFO";
    std::string text = "[" + std::string(tag) + "] " + file + ":" + std::to_string(line) + ": ";
    va_list args;
    va_start(args, format);
    text += vformat(format, args);
    va_end(args);
    text += '\n';
    emit(level, stream, std::move(text));
}

void log_errno(const char* prefix) {
    std::string reason = std::generic_category().message(errno);
    if (prefix && *prefix)
        log_print(kLogError, stderr, "%s: %s\n", prefix, reason.c_str());
    else
        log_print(kLogError, stderr, "%s\n", reason.c_str());
}

}  // namespace dirov

extern "C" {

DIROV_API void dirov_set_log_handler(dirov_log_fn fn, void* user) {
    dirov::Registry& r = dirov::registry();
    std::unique_lock lock(r.mutex);
    std::shared_ptr<dirov::Handler> old = r.current;
    r.current = std::make_shared<dirov::Handler>(dirov::Handler{fn, user, 0});
    dirov::handler_installed.store(fn != nullptr);
    r.idle.wait(lock, [&] { return old->running == 0; });
    lock.unlock();
    dirov::report_bad_env();
}

}  // extern "C"
