#include "device/usb.h"

#include <memory>
#include <mutex>
#include <unordered_map>

#include "device/platform.h"

namespace dirov {
namespace {

// An opened backend device. Shared so that a transfer in flight on one
// thread keeps it alive while another thread closes the handle.
struct OpenDevice {
    OpenDevice(const TransportOps* o, BackendDevice d) : ops(o), dev(d) {}
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;
    ~OpenDevice() { ops->close(dev); }
    const TransportOps* ops;
    BackendDevice dev;
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

}  // namespace

uint32_t usb_find_path(const GUID& guid, std::string& path, uint32_t index) {
    return transport_for_discovery().find_path(guid, index, path);
}

uint32_t usb_open(const char* path, WINUSB_INTERFACE_HANDLE* handle, OpenStage* stage) {
    const TransportOps& ops = transport_for_discovery();
    BackendDevice dev = nullptr;
    *stage = OpenStage::File;
    uint32_t e = ops.open(path, &dev, stage);
    if (e != kErrorSuccess) return e;
    *handle = registry().add(std::make_shared<OpenDevice>(&ops, dev));
    return kErrorSuccess;
}

void usb_close(WINUSB_INTERFACE_HANDLE handle) {
    if (auto d = registry().remove(handle)) d->ops->cancel(d->dev, 0);
}

bool usb_write_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, const void* buf, uint32_t len,
                    uint32_t* written) {
    uint32_t* out;
    out_or_scratch(written, out);
    return with_device(h, [&](OpenDevice& d) {
        return d.ops->bulk_write(d.dev, pipe, static_cast<const uint8_t*>(buf), len, out);
    });
}

bool usb_read_pipe(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, void* buf, uint32_t len,
                   uint32_t* read) {
    uint32_t* out;
    out_or_scratch(read, out);
    return with_device(h, [&](OpenDevice& d) {
        return d.ops->bulk_read(d.dev, pipe, static_cast<uint8_t*>(buf), len, out);
    });
}

bool usb_read_pipe_overlapped(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, void* buf, uint32_t len,
                              uint32_t* read) {
    uint32_t* out;
    out_or_scratch(read, out);
    return with_device(h, [&](OpenDevice& d) {
        return d.ops->stream_submit(d.dev, pipe, static_cast<uint8_t*>(buf), len, out);
    });
}

bool usb_get_overlapped_result(WINUSB_INTERFACE_HANDLE h, uint8_t pipe, uint32_t* read,
                               bool wait) {
    uint32_t* out;
    out_or_scratch(read, out);
    return with_device(h, [&](OpenDevice& d) { return d.ops->stream_wait(d.dev, pipe, wait, out); });
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
    return with_device(h, [&](OpenDevice& d) {
        return d.ops->control_transfer(d.dev, setup, static_cast<uint8_t*>(buf), len, out);
    });
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
