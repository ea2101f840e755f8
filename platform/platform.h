// Platform services of the library: the Windows last-error code, Sleep,
// GUID text and the HRESULT rule, plus the few stream, thread and console
// calls that differ per OS (platform_posix.cpp, platform_windows.cpp).
// Everything here is internal.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "dirov410.h"
#include "platform/windows_errors.h"

namespace dirov {

// "NAME: sentence" of a code in the table, nullptr for another code.
const char* error_text(uint32_t code);

inline constexpr HRESULT kSOk = 0;
inline constexpr HRESULT kEOutOfMemory = static_cast<HRESULT>(0x8007000EU);
inline constexpr HRESULT kEInvalidArg = static_cast<HRESULT>(0x80070057U);
inline constexpr HRESULT kEInsufficientBuffer = static_cast<HRESULT>(0x8007007AU);

// The calling thread's last-error code (GetLastError / SetLastError on
// Windows, a thread-local value elsewhere).
uint32_t last_error();
void set_last_error(uint32_t code);

// HRESULT_FROM_WIN32.
constexpr HRESULT hresult_from_win32(uint32_t e) {
    return static_cast<int32_t>(e) <= 0 ? static_cast<HRESULT>(e)
                                        : static_cast<HRESULT>(0x80070000U | (e & 0xFFFFU));
}

// Braced upper-case form, 38 characters, as StringFromGUID2 makes it.
std::string guid_text(const GUID& g);
bool guid_equal(const GUID& a, const GUID& b);

// Time as the library sees it. Tests replace the real clock with a virtual
// one so that retry loops of several seconds take no wall time.
struct Clock {
    virtual ~Clock() = default;
    virtual uint64_t now_ms() = 0;
    virtual void sleep_ms(uint32_t ms) = 0;
};
Clock& clock();
Clock& real_clock();
// nullptr restores the real clock.
void set_clock(Clock* c);

// Lifts the calling thread's scheduling priority where the thread attributes
// could not (the nice value of a Linux thread). Failure is ignored.
void raise_own_priority(int nice);

// Sleep(ms) on the library's clock.
inline void sleep_ms(uint32_t ms) {
    clock().sleep_ms(ms);
}

// Blocking waits on a word of memory (1, 4 or 8 bytes), one implementation
// per OS: std::atomic wait (a futex on Linux); WaitOnAddress on Windows,
// where libstdc++ 12's std::atomic wait tests the value outside the lock its
// sleep takes and so can miss the wake-up that follows. wait_on_word returns
// once the word may differ from `seen` (possibly early); wake_word_all wakes
// every waiter on the word.
void wait_on_word(const void* word, const void* seen, size_t size);
void wake_word_all(const void* word, size_t size);
template <class T>
inline constexpr bool kWaitableWord = sizeof(T) == 1 || sizeof(T) == 4 || sizeof(T) == 8;

// Blocks while `word` holds `seen`. Wakes come from wake_all on the same word.
template <class T>
void wait_while_equal(const std::atomic<T>& word, T seen) {
    static_assert(kWaitableWord<T> && sizeof(std::atomic<T>) == sizeof(T));
    while (word.load() == seen) wait_on_word(&word, &seen, sizeof(T));
}
template <class T>
void wake_all(std::atomic<T>& word) {
    wake_word_all(&word, sizeof(T));
}
// The same for a plain word that every thread accesses through std::atomic_ref.
template <class T>
void wait_while_equal(T& word, T seen) {
    static_assert(kWaitableWord<T>);
    while (std::atomic_ref(word).load() == seen) wait_on_word(&word, &seen, sizeof(T));
}
template <class T>
void wake_all(T& word) {
    wake_word_all(&word, sizeof(T));
}

// Memory services, one implementation per OS (platform_<os>.cpp).
// Bytes of physical memory, 0 when the system does not say.
uint64_t physical_memory_bytes();
// Hands heap pages left unused by free() back to the system, where the
// allocator can; blocks stay malloc'd memory that callers may free().
void return_free_heap();

}  // namespace dirov
