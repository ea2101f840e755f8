#include "sim/board.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/platform.h"
#include "sim/usb_descriptors.h"

namespace dirov::sim {
namespace {

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kSerialIndex = 3;

std::vector<uint8_t> string_descriptor(const std::string& text) {
    std::u16string units = utf16_from_utf8(text);
    size_t chars = std::min<size_t>(units.size(), 126);
    std::vector<uint8_t> d(2 + 2 * chars);
    d[0] = static_cast<uint8_t>(d.size());
    d[1] = kDescriptorString;
    for (size_t i = 0; i < chars; ++i) store_le16(&d[2 + 2 * i], units[i]);
    return d;
}

}  // namespace

Board::Board(int index, const dirov_sim_config& cfg)
    : index_(index),
      cfg_(cfg),
      serial_(cfg.serial ? cfg.serial : "DRV410-0001"),
      firmware_version_(cfg.firmware_version),
      face_(cfg.face) {
    cfg_.serial = nullptr;  // the caller's string may not outlive the board
    stream_gen_.attach(this);
    main_ = make_main_firmware(*this);
    boot_ = make_bootloader(*this);
}

Board::~Board() = default;

void Board::update_face_locked() {
    if (switching_ && clock().now_ms() >= shown_at_ms_) {
        face_ = next_face_;
        switching_ = false;
    }
}

dirov_sim_face Board::face() {
    std::lock_guard lk(mu_);
    update_face_locked();
    return detached_ ? DIROV_SIM_FACE_ABSENT : face_;
}

bool Board::presents(const GUID& guid) {
    switch (face()) {
        case DIROV_SIM_FACE_BOOTLOADER:
            return guid_equal(guid, GUID_DFU_MAIN_INTERFACE);
        case DIROV_SIM_FACE_MAIN:
            return guid_equal(guid, GUID_DEVINTERFACE_HX4104) ||
                   (cfg_.runtime_dfu && guid_equal(guid, GUID_DFU_MAIN_INTERFACE));
        default:
            return false;
    }
}

int Board::interface_for(const GUID& guid) {
    if (!presents(guid)) return -1;
    // The main firmware's run-time DFU interface follows its vendor one.
    bool second = face() == DIROV_SIM_FACE_MAIN && guid_equal(guid, GUID_DFU_MAIN_INTERFACE);
    return second ? 1 : 0;
}

std::string Board::path_for(const GUID& guid) const {
    char head[64];
    std::snprintf(head, sizeof head, "\\\\?\\usb#vid_%04x&pid_%04x#", cfg_.vendor_id,
                  cfg_.product_id);
    return head + serial_ + "#" + guid_text(guid);
}

uint32_t Board::generation() {
    std::lock_guard lk(mu_);
    update_face_locked();
    return generation_;
}

void Board::reset_endpoints_locked() {
    in_.clear();
    for (auto& [ep, st] : stream_) st = StreamRead{};
    ++wake_seq_;
    cv_.notify_all();
}

void Board::set_face(dirov_sim_face face, uint32_t delay_ms) {
    std::lock_guard lk(mu_);
    ++generation_;
    reset_endpoints_locked();
    face_ = DIROV_SIM_FACE_ABSENT;
    next_face_ = face;
    shown_at_ms_ = clock().now_ms() + delay_ms;
    switching_ = true;
    update_face_locked();
}

void Board::detach() {
    std::lock_guard lk(mu_);
    detached_ = true;
    ++generation_;
    reset_endpoints_locked();
}

bool Board::detached() {
    std::lock_guard lk(mu_);
    return detached_;
}

bool Board::stale_locked(uint32_t gen) {
    update_face_locked();
    return detached_ || gen != generation_ || face_ == DIROV_SIM_FACE_ABSENT;
}

FaceModel* Board::model_locked() {
    return face_ == DIROV_SIM_FACE_BOOTLOADER ? boot_.get() : main_.get();
}

uint32_t Board::bulk_out(uint32_t gen, uint8_t ep, const uint8_t* data, uint32_t len) {
    FaceModel* model;
    {
        std::lock_guard lk(mu_);
        if (stale_locked(gen)) return kErrorDeviceNotConnected;
        if (!firmware_replies_) return kErrorSuccess;
        model = model_locked();
    }
    model->on_bulk_out(*this, ep, data, len);
    return kErrorSuccess;
}

uint64_t Board::open_session() {
    std::lock_guard lk(mu_);
    sessions_.insert(++next_session_);
    return next_session_;
}

void Board::cancel(uint64_t session, uint8_t ep) {
    std::lock_guard lk(mu_);
    if (ep == 0) sessions_.erase(session);
    for (auto& [e, st] : stream_)
        if ((ep == 0 || e == ep) && st.pending && st.owner == session) st.aborted = true;
    ++wake_seq_;
    cv_.notify_all();
}

uint32_t Board::stream_owner_check_locked(uint64_t session, const StreamRead& st) {
    bool open = sessions_.count(session) != 0;
    if (st.pending && st.owner == session) return kErrorSuccess;
    return open ? kErrorInvalidParameter : kErrorOperationAborted;
}

uint32_t Board::bulk_in(uint32_t gen, uint64_t session, uint8_t ep, uint8_t* buf, uint32_t cap,
                        uint32_t* got) {
    std::unique_lock lk(mu_);
    const uint64_t aborts = aborts_[ep];
    for (;;) {
        if (stale_locked(gen)) return kErrorDeviceNotConnected;
        if (!sessions_.count(session) || aborts_[ep] != aborts) return kErrorOperationAborted;
        auto& q = in_[ep];
        if (!q.empty() && !silent_) {
            std::vector<uint8_t> t = std::move(q.front());
            q.pop_front();
            *got = static_cast<uint32_t>(std::min<size_t>(cap, t.size()));
            if (*got) std::memcpy(buf, t.data(), *got);
            return kErrorSuccess;
        }
        uint64_t seen = wake_seq_;
        cv_.wait(lk, [&] { return wake_seq_ != seen; });
    }
}

uint32_t Board::stream_submit(uint32_t gen, uint64_t session, uint8_t ep, uint8_t* buf,
                              uint32_t len) {
    std::lock_guard lk(mu_);
    if (stale_locked(gen)) return kErrorDeviceNotConnected;
    if (!sessions_.count(session)) return kErrorInvalidHandle;
    StreamRead& st = stream_[ep];
    // A closed session's cancelled read not yet collected gives way.
    bool orphan = st.pending && st.aborted && !sessions_.count(st.owner);
    if (st.pending && !orphan) return kErrorInvalidParameter;
    st = StreamRead{buf, len, true, false, session};
    return kErrorIoPending;
}

uint32_t Board::stream_wait(uint32_t gen, uint64_t session, uint8_t ep, bool wait, uint32_t* got) {
    std::unique_lock lk(mu_);
    StreamRead& st = stream_[ep];
    for (;;) {
        if (stale_locked(gen)) {
            if (st.owner == session) st = StreamRead{};
            return kErrorDeviceNotConnected;
        }
        if (uint32_t e = stream_owner_check_locked(session, st)) return e;
        if (st.aborted) {
            st = StreamRead{};
            return kErrorOperationAborted;
        }
        auto& q = in_[ep];
        if (!q.empty()) {
            std::vector<uint8_t> t = std::move(q.front());
            q.pop_front();
            *got = static_cast<uint32_t>(std::min<size_t>(st.len, t.size()));
            if (*got) std::memcpy(st.buf, t.data(), *got);
            st = StreamRead{};
            stream_spare_ = std::move(t);
            return kErrorSuccess;
        }
        if (!wait) return kErrorIoIncomplete;
        uint64_t seen = wake_seq_;
        FaceModel* model = model_locked();
        std::vector<uint8_t> produced = std::move(stream_spare_);
        lk.unlock();
        bool have = model->next_stream_transfer(*this, ep, produced);
        lk.lock();
        if (have) {
            in_[ep].push_back(std::move(produced));
            continue;
        }
        cv_.wait(lk, [&] { return wake_seq_ != seen; });
    }
}

uint32_t Board::abort_pipe(uint32_t gen, uint64_t session, uint8_t ep) {
    std::lock_guard lk(mu_);
    if (stale_locked(gen)) return kErrorDeviceNotConnected;
    StreamRead& st = stream_[ep];
    if (st.pending && st.owner == session) st.aborted = true;
    ++aborts_[ep];
    ++wake_seq_;
    cv_.notify_all();
    return kErrorSuccess;
}

uint32_t Board::flush_pipe(uint32_t gen, uint8_t ep) {
    std::lock_guard lk(mu_);
    if (stale_locked(gen)) return kErrorDeviceNotConnected;
    in_[ep].clear();
    return kErrorSuccess;
}

uint32_t Board::control(uint32_t gen, const SetupPacket& s, uint8_t* data, uint32_t len,
                        uint32_t* done) {
    FaceModel* model;
    int dfu_interface;
    {
        std::unique_lock lk(mu_);
        cv_.wait(lk, [&] { return !silent_ || stale_locked(gen); });
        if (stale_locked(gen)) return kErrorDeviceNotConnected;
        model = model_locked();
        dfu_interface = face_ == DIROV_SIM_FACE_BOOTLOADER ? 0 : cfg_.runtime_dfu ? 1 : -1;
    }
    *done = 0;
    // Class requests are the DFU interface's: wIndex names it, and the
    // vendor interface has none.
    bool to_interface = (s.bmRequestType & 0x7F) == 0x21;
    if (to_interface && (s.wIndex & 0xFF) != dfu_interface) return kErrorGenFailure;
    return model->on_control(*this, s, data, len, done);
}

uint32_t Board::get_descriptor(uint32_t gen, uint8_t type, uint8_t index, uint16_t /*lang*/,
                               uint8_t* buf, uint32_t len, uint32_t* done) {
    std::vector<uint8_t> d;
    {
        std::lock_guard lk(mu_);
        if (stale_locked(gen)) return kErrorDeviceNotConnected;
        if (type == kDescriptorDevice && index == 0) d = usb_descriptors(cfg_, face_).device;
    }
    if (type == kDescriptorString && index == 0) d = {4, kDescriptorString, 0x09, 0x04};
    if (type == kDescriptorString && index == kSerialIndex) d = string_descriptor(serial_);
    if (d.empty()) return kErrorGenFailure;
    *done = static_cast<uint32_t>(std::min<size_t>(len, d.size()));
    if (*done) std::memcpy(buf, d.data(), *done);
    return kErrorSuccess;
}

bool Board::try_take_in(uint8_t ep, std::vector<uint8_t>& out) {
    std::lock_guard lk(mu_);
    auto& q = in_[ep];
    if (q.empty()) return false;
    out = std::move(q.front());
    q.pop_front();
    return true;
}

void Board::push_in(uint8_t ep, std::vector<uint8_t> transfer) {
    std::lock_guard lk(mu_);
    in_[ep].push_back(std::move(transfer));
    ++wake_seq_;
    cv_.notify_all();
}

uint32_t Board::pending_in(uint8_t ep) {
    std::lock_guard lk(mu_);
    return static_cast<uint32_t>(in_[ep].size());
}

void Board::set_silent(bool on) {
    std::lock_guard lk(mu_);
    silent_ = on;
    ++wake_seq_;
    cv_.notify_all();
}

void Board::set_firmware_replies(bool on) {
    std::lock_guard lk(mu_);
    firmware_replies_ = on;
}

void Board::kick_stream() {
    std::lock_guard lk(mu_);
    ++wake_seq_;
    cv_.notify_all();
}

bool Board::wait_stream(uint8_t ep, uint64_t us) {
    std::unique_lock lk(mu_);
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    auto cut_short = [&] {
        const StreamRead& st = stream_[ep];
        return detached_ || st.aborted || !st.pending;
    };
    return !cv_.wait_until(lk, until, cut_short);
}

}  // namespace dirov::sim
