#include "device/usb.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/byte_order.h"
#include "platform/log.h"
#include "platform/platform.h"

namespace dirov {
namespace {

// An opened backend device. Shared so that a transfer in flight on one
// thread keeps it alive while another thread closes the handle.
struct OpenDevice {
    OpenDevice(const TransportOps* o, BackendDevice d, std::string p = {})
        : ops(o), dev(d), path(std::move(p)) {}
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;
    ~OpenDevice() { ops->close(dev); }
    const TransportOps* ops;
    BackendDevice dev;
    std::string path;
};

// Handles are registry keys, never addresses: a stale handle kept by an
// application after close is refused instead of dereferenced.
class HandleRegistry {
   public:
    WINUSB_INTERFACE_HANDLE add(std::shared_ptr<OpenDevice> d) {
        std::lock_guard lk(mu_);
        uintptr_t key = kBase + (++next_);
        map_.emplace(key, std::move(d));
        return reinterpret_cast<WINUSB_INTERFACE_HANDLE>(key);
    }
    std::shared_ptr<OpenDevice> find(WINUSB_INTERFACE_HANDLE h) {
        std::lock_guard lk(mu_);
        auto it = map_.find(reinterpret_cast<uintptr_t>(h));
        return it == map_.end() ? nullptr : it->second;
    }
    std::shared_ptr<OpenDevice> find_path(const TransportOps* ops, const std::string& path) {
        std::lock_guard lk(mu_);
        for (auto& [key, d] : map_)
            if (d->ops == ops && d->path == path) return d;
        return nullptr;
    }
    std::shared_ptr<OpenDevice> remove(WINUSB_INTERFACE_HANDLE h) {
        std::lock_guard lk(mu_);
        auto it = map_.find(reinterpret_cast<uintptr_t>(h));
        if (it == map_.end()) return nullptr;
        auto d = std::move(it->second);
        map_.erase(it);
        return d;
    }

   private:
    static constexpr uintptr_t kBase = 0xD1000000;
    std::mutex mu_;
    uintptr_t next_ = 0;
    std::unordered_map<uintptr_t, std::shared_ptr<OpenDevice>> map_;
};

HandleRegistry& registry() {
    static HandleRegistry* r = new HandleRegistry;  // outlives every static destructor
    return *r;
}

bool finish(uint32_t code) {
    if (code == kErrorSuccess) return true;
    set_last_error(code);
    return false;
}

template <typename Fn>
bool with_device(WINUSB_INTERFACE_HANDLE h, Fn&& fn) {
    auto d = registry().find(h);
    if (!d) return finish(kErrorInvalidHandle);
    return finish(fn(*d));
}

uint32_t out_or_scratch(uint32_t* p, uint32_t*& out) {
    static thread_local uint32_t scratch;
    out = p ? p : &scratch;
    *out = 0;
    return 0;
}

// ---- Time-outs of the synchronous calls ----

// Milliseconds from DIROV410_TIMEOUT; a value that is no number is reported
// once and gives no time-out.
uint32_t environment_timeout() {
    const char* text = std::getenv("DIROV410_TIMEOUT");
    if (!text || !*text) return 0;
    char* end = nullptr;
    unsigned long long ms = std::strtoull(text, &end, 10);
    if (*end || text[0] == '-' || ms > kMaxTimeoutMs) {
        DIROV_LOG_W("DIROV410_TIMEOUT=%s is not a number of milliseconds up to %u: no time-out\n",
                    text, static_cast<unsigned>(kMaxTimeoutMs));
        return 0;
    }
    return static_cast<uint32_t>(ms);
}

std::atomic<uint32_t>& timeout_word() {
    static std::atomic<uint32_t>* ms = new std::atomic<uint32_t>(environment_timeout());
    return *ms;
}

#ifdef _WIN32
// On Windows the threads that run timed calls are kept for the process: a
// call starts no thread and ends none (under Wine a thread started while
// another ends can stay unstarted, its call timing out unsent). A thread
// held by a call given up on is not waited for: a job finding no idle thread
// starts one. Never destroyed, so that no thread ever waits on a destroyed
// member.
class CallRunner {
   public:
    static CallRunner& instance() {
        static CallRunner* runner = new CallRunner;
        return *runner;
    }
    // Throws std::system_error when a needed thread cannot be started.
    void run(std::function<void()> job) {
        std::lock_guard lk(mu_);
        if (jobs_.size() >= idle_) std::thread([this] { serve(); }).detach();
        jobs_.push_back(std::move(job));
        cv_.notify_one();
    }

   private:
    [[noreturn]] void serve() {
        std::unique_lock lk(mu_);
        for (;;) {
            ++idle_;
            cv_.wait(lk, [&] { return !jobs_.empty(); });
            --idle_;
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lk.unlock();
            job();
            job = nullptr;  // the device it holds may close here, outside the lock
            lk.lock();
        }
    }
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    size_t idle_ = 0;  // threads waiting for a job
};

void start_call(std::function<void()> job) {
    CallRunner::instance().run(std::move(job));
}
#else
void start_call(std::function<void()> job) {
    std::thread(std::move(job)).detach();
}
#endif

// One synchronous call run on a thread of its own (start_call; throws
// std::system_error when no thread can be had), on a buffer of its own, so
// that the caller can stop waiting for it. The call keeps the device alive;
// a call given up on ends when the board answers at last, when the pipe
// abort reaches it, or when the device is closed, and its late result is
// dropped.
struct TimedCall {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    uint32_t code = kErrorSuccess;
    uint32_t count = 0;
    std::vector<uint8_t> buf;
};

using DeviceCall = uint32_t (*)(OpenDevice& d, const void* args, uint8_t* buf, uint32_t len,
                                uint32_t* count);

// Runs `call` on `d` with `args` (copied: `Args` is a plain record) and the
// caller's `len` bytes at `io` (copied in, and back out after a success when
// `copy_back`), waiting at most the time-out; 121 once it has passed, after
// an abort of `abort_pipe` (0: none).
template <class Args>
uint32_t timed(std::shared_ptr<OpenDevice> d, uint32_t ms, const Args& args, DeviceCall call,
               uint8_t* io, uint32_t len, bool copy_back, uint32_t* count, uint8_t abort_pipe) {
    auto state = std::make_shared<TimedCall>();
    if (io && len) state->buf.assign(io, io + len);
    state->buf.resize(std::max<uint32_t>(len, 1));
    try {
        start_call([state, d, args, call, len] {
            uint32_t got = 0;
            uint32_t code = call(*d, &args, state->buf.data(), len, &got);
            std::lock_guard lk(state->mu);
            state->code = code;
            state->count = got;
            state->done = true;
            state->cv.notify_all();
        });
    } catch (const std::system_error&) {
        return kErrorNotEnoughMemory;
    }
    std::unique_lock lk(state->mu);
    if (!state->cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return state->done; })) {
        lk.unlock();
        if (abort_pipe) d->ops->abort_pipe(d->dev, abort_pipe);
        return kErrorSemTimeout;
    }
    *count = state->count;
    if (state->code == kErrorSuccess && copy_back && io && state->count)
        std::memcpy(io, state->buf.data(), std::min(state->count, len));
    return state->code;
}

struct PipeArgs {
    uint8_t pipe;
};
struct ControlArgs {
    SetupPacket setup;
};

uint32_t call_write(OpenDevice& d, const void* a, uint8_t* buf, uint32_t len, uint32_t* n) {
    return d.ops->bulk_write(d.dev, static_cast<const PipeArgs*>(a)->pipe, buf, len, n);
}
uint32_t call_read(OpenDevice& d, const void* a, uint8_t* buf, uint32_t len, uint32_t* n) {
    return d.ops->bulk_read(d.dev, static_cast<const PipeArgs*>(a)->pipe, buf, len, n);
}
uint32_t call_control(OpenDevice& d, const void* a, uint8_t* buf, uint32_t len, uint32_t* n) {
    return d.ops->control_transfer(d.dev, static_cast<const ControlArgs*>(a)->setup,
                                   len ? buf : nullptr, len, n);
}

// `call` on the handle's device, with the time-out when one is set.
template <class Args>
bool with_timeout(WINUSB_INTERFACE_HANDLE h, const Args& args, DeviceCall call, uint8_t* io,
                  uint32_t len, bool copy_back, uint32_t* count, uint8_t abort_pipe) {
    auto d = registry().find(h);
    if (!d) return finish(kErrorInvalidHandle);
    uint32_t ms = usb_timeout();
    if (ms == 0) return finish(call(*d, &args, io, len, count));
    return finish(timed(std::move(d), ms, args, call, io, len, copy_back, count, abort_pipe));
}

}  // namespace

uint32_t usb_timeout() {
    return timeout_word().load(std::memory_order_relaxed);
}

bool usb_set_timeout(uint32_t ms) {
    if (ms > kMaxTimeoutMs) return false;
    timeout_word().store(ms, std::memory_order_relaxed);
    return true;
}

uint32_t usb_find_path(const GUID& guid, std::string& path, uint32_t index) {
    return transport_for_discovery().find_path(guid, index, path);
}

uint32_t usb_open(const char* path, WINUSB_INTERFACE_HANDLE* handle, OpenStage* stage) {
    const TransportOps& ops = transport_for_discovery();
    BackendDevice dev = nullptr;
    *stage = OpenStage::kFile;
    uint32_t e = ops.open(path, &dev, stage);
    if (e != kErrorSuccess) return e;
    *handle = registry().add(std::make_shared<OpenDevice>(&ops, dev, path));
    return kErrorSuccess;
}

void usb_close(WINUSB_INTERFACE_HANDLE handle) {
    if (auto d = registry().remove(handle)) d->ops->cancel(d->dev, 0);
}

namespace {

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kSerialIndex = 3;
constexpr uint16_t kLangEnglishUs = 0x0409;
constexpr uint32_t kDeviceDescriptorSize = 18;
constexpr uint32_t kMaxDescriptorSize = 255;

void append_utf8(std::string& s, uint32_t c) {
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | c >> 6);
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | c >> 12);
        s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | c >> 18);
        s += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool is_high_surrogate(uint32_t c) {
    return c >= 0xD800 && c < 0xDC00;
}
bool is_low_surrogate(uint32_t c) {
    return c >= 0xDC00 && c < 0xE000;
}

// UTF-16LE characters as UTF-8; an unpaired surrogate becomes '?'.
std::string utf8_from_utf16le(const uint8_t* p, size_t bytes) {
    std::string s;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        uint32_t c = load_le16(p + i);
        uint32_t next = i + 3 < bytes ? load_le16(p + i + 2) : 0;
        if (is_high_surrogate(c) && is_low_surrogate(next)) {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            i += 2;
        } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
            c = '?';
        }
        append_utf8(s, c);
    }
    return s;
}

// False when the device descriptor cannot be read: the handle went stale.
bool read_identity(OpenDevice& d, BoardIdentity& id) {
    uint8_t buf[kMaxDescriptorSize];
    uint32_t got = 0;
    if (d.ops->get_descriptor(d.dev, kDescriptorDevice, 0, 0, buf, kDeviceDescriptorSize, &got) !=
            kErrorSuccess ||
        got < kDeviceDescriptorSize)
        return false;
    id.vendor_id = load_le16(buf + 8);
    id.product_id = load_le16(buf + 10);
    got = 0;
    if (d.ops->get_descriptor(d.dev, kDescriptorString, kSerialIndex, kLangEnglishUs, buf,
                              sizeof buf, &got) != kErrorSuccess)
        return true;
    uint32_t length = std::min<uint32_t>(got, buf[0]);  // bLength, when it came
    if (length >= 2 && buf[1] == kDescriptorString)
        id.serial = utf8_from_utf16le(buf + 2, length - 2);
    return true;
}

std::string environment_serial() {
    const char* text = std::getenv("DIROV410_DEVICE");
    return text ? text : "";
}

class Selection {
   public:
    std::string get() {
        std::lock_guard lk(mu_);
        return serial_;
    }
    void set(const std::string& serial) {
        std::lock_guard lk(mu_);
        serial_ = serial;
    }

   private:
    std::mutex mu_;
    std::string serial_ = environment_serial();
};

Selection& selection() {
    static Selection* s = new Selection;  // outlives every static destructor
    return *s;
}

}  // namespace

BoardIdentity usb_identify(const std::string& path) {
    const TransportOps& ops = transport_for_discovery();
    BoardIdentity id;
    auto open = registry().find_path(&ops, path);
    if (open && read_identity(*open, id)) return id;
    BackendDevice dev = nullptr;
    OpenStage stage;
    if (ops.open(path.c_str(), &dev, &stage) != kErrorSuccess) return id;
    OpenDevice fresh(&ops, dev);
    read_identity(fresh, id);
    return id;
}

std::string usb_selected_serial() {
    return selection().get();
}

void usb_select_serial(const std::string& serial) {
    selection().set(serial);
}

uint32_t usb_find_selected_path(const GUID& guid, std::string& path) {
    std::string wanted = usb_selected_serial();
    if (wanted.empty()) return usb_find_path(guid, path);
    for (uint32_t index = 0;; ++index) {
        std::string candidate;
        uint32_t e = usb_find_path(guid, candidate, index);
        if (e != kErrorSuccess) return e;
        if (usb_identify(candidate).serial == wanted) {
            path = candidate;
            return kErrorSuccess;
        }
    }
}

bool usb_write_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, const void* buf, uint32_t len,
                    uint32_t* written) {
    uint32_t* out;
    out_or_scratch(written, out);
    // The time-out path copies the bytes; the direct call only reads them.
    auto* bytes = const_cast<uint8_t*>(static_cast<const uint8_t*>(buf));
    return with_timeout(h, PipeArgs{pipe}, call_write, bytes, len, false, out, pipe);
}

bool usb_read_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, void* buf, uint32_t len,
                   uint32_t* read) {
    uint32_t* out;
    out_or_scratch(read, out);
    return with_timeout(h, PipeArgs{pipe}, call_read, static_cast<uint8_t*>(buf), len, true, out,
                        pipe);
}

bool usb_read_pipe_overlapped(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, void* buf, uint32_t len,
                              uint32_t* read) {
    uint32_t* out;
    out_or_scratch(read, out);
    return with_device(h, [&](OpenDevice& d) {
        return d.ops->stream_submit(d.dev, pipe, static_cast<uint8_t*>(buf), len, out);
    });
}

bool usb_get_overlapped_result(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, uint32_t* read, bool wait) {
    uint32_t* out;
    out_or_scratch(read, out);
    return with_device(h,
                       [&](OpenDevice& d) { return d.ops->stream_wait(d.dev, pipe, wait, out); });
}

bool usb_abort_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe) {
    return with_device(h, [&](OpenDevice& d) { return d.ops->abort_pipe(d.dev, pipe); });
}

bool usb_cancel_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe) {
    return with_device(h, [&](OpenDevice& d) {
        d.ops->cancel(d.dev, pipe);
        return kErrorSuccess;
    });
}

bool usb_flush_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe) {
    return with_device(h, [&](OpenDevice& d) { return d.ops->flush_pipe(d.dev, pipe); });
}

bool usb_control_transfer(WINUSB_INTERFACE_HANDLE h, const SetupPacket& setup, void* buf,
                          uint32_t len, uint32_t* transferred) {
    uint32_t* out;
    out_or_scratch(transferred, out);
    if (!buf && len != 0) return finish(kErrorInvalidParameter);
    return with_timeout(h, ControlArgs{setup}, call_control, static_cast<uint8_t*>(buf), len, true,
                        out, 0);
}

bool usb_get_descriptor(WINUSB_INTERFACE_HANDLE h, uint8_t type, uint8_t index, uint16_t lang,
                        void* buf, uint32_t len, uint32_t* received) {
    uint32_t* out;
    out_or_scratch(received, out);
    if (!buf && len != 0) return finish(kErrorInvalidParameter);
    return with_device(h, [&](OpenDevice& d) {
        return d.ops->get_descriptor(d.dev, type, index, lang, static_cast<uint8_t*>(buf), len,
                                     out);
    });
}

}  // namespace dirov
