// The board's bootloader face: its vendor requests 0 to 4, a DFU 1.1 state
// machine that really stores the downloaded records, the leave-DFU request
// 0x0A and the start of the main firmware found in them. The vendor requests
// and the restarts are shared with the main firmware's face.
//
// The state machine keeps to DFU 1.1: a request that is not valid in the
// current state stalls and enters dfuERROR. With a poll timeout configured,
// the status query after a block (or after the final block) reports
// dfuDNBUSY (dfuMANIFEST) and the board stays busy for that long: it answers
// state and status queries (with the time left) and stalls anything else.
// The next status query then completes the block (the manifestation).
#include "sim/bootloader.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>

#include "dfu/dfu_protocol.h"
#include "dfu/dfu_record.h"
#include "platform/platform.h"
#include "sim/board.h"

namespace dirov::sim {
namespace {

constexpr uint32_t kStall = kErrorGenFailure;  // what WinUSB reports for a stall

using namespace dirov::dfu;

enum State : uint8_t {
    kDfuIdle = DFU_STATE_DFU_IDLE,
    kDnloadSync = DFU_STATE_DFU_DNLOAD_SYNC,
    kDnBusy = DFU_STATE_DFU_DNBUSY,
    kDnloadIdle = DFU_STATE_DFU_DNLOAD_IDLE,
    kManifestSync = DFU_STATE_DFU_MANIFEST_SYNC,
    kManifest = DFU_STATE_DFU_MANIFEST,
    kUploadIdle = DFU_STATE_DFU_UPLOAD_IDLE,
    kDfuError = DFU_STATE_DFU_ERROR,
};

enum Status : uint8_t { kOk = 0, kErrFile = 2, kErrNotDone = 9, kErrStalledPkt = 15 };

// Download, upload, manifestation tolerant: back in dfuIDLE after manifesting.
constexpr uint8_t kAttributes = 0x07;
constexpr uint8_t kVersionRecordId = 4;

struct ShortReply {
    uint8_t type;
    uint8_t request;
    uint32_t length;
};

struct BlockFault {
    uint16_t block;
    uint8_t status;
};

std::vector<uint8_t> le32(uint32_t v) {
    std::vector<uint8_t> bytes(4);
    store_le32(bytes.data(), v);
    return bytes;
}

// The version a firmware image announces: record id 4 starting "DRVF".
std::optional<uint32_t> image_version(const std::vector<uint8_t>& image) {
    for (size_t at = 0; at + kRecordHeader <= image.size(); at += dfu::record_size(&image[at])) {
        const uint8_t* r = &image[at];
        dfu::RecordHeader head = dfu::read_record_header(r);
        if (at + dfu::record_size(r) > image.size()) break;
        if (head.id != kVersionRecordId || head.length < 8 || std::memcmp(r + 8, "DRVF", 4) != 0)
            continue;
        return load_le32(r + 12);
    }
    return std::nullopt;
}

class Bootloader final : public FaceModel {
   public:
    explicit Bootloader(Board& b) : valid_(b.config().firmware_valid != 0) {}

    uint32_t on_control(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                        uint32_t* done) override {
        uint32_t e = model_control(b, s, data, len, done);
        ReplyScript script;
        {
            std::lock_guard lk(mu_);
            script = script_;
        }
        return script ? scripted(script, s, e, data, len, done) : e;
    }

    uint32_t model_control(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                           uint32_t* done) {
        if (s.bmRequestType == kVendorIn) return vendor(b, s, data, len, done, false);
        if (s.bmRequestType == kStandardIn) return standard(b, s, data, len, done);
        std::lock_guard lk(mu_);
        return dfu(b, s, data, len, done);
    }

    uint32_t vendor(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len, uint32_t* done,
                    bool on_main);
    uint32_t standard(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len, uint32_t* done);
    uint32_t reply(const SetupPacket& s, const std::vector<uint8_t>& bytes, uint8_t* data,
                   uint32_t len, uint32_t* done);
    void restart(Board& b, dirov_sim_face face, uint32_t delay_ms);
    void end_busy();

    std::mutex mu_;
    bool valid_;
    State state_ = kDfuIdle;
    uint8_t status_ = kOk;
    uint8_t after_block_ = kOk;  // status the next query reports for the block just taken
    std::vector<uint8_t> pending_;
    std::vector<uint8_t> image_;
    std::optional<uint32_t> new_version_;
    size_t upload_at_ = 0;
    uint64_t busy_until_ = 0;
    uint32_t busy_ms_ = 0;
    uint32_t extra_busy_ = 0;  // poll timeouts the board stays busy for past the first
    bool was_busy_ = false;    // the pending block or manifestation went through dfuDNBUSY/MANIFEST
    std::optional<ShortReply> short_;
    std::optional<BlockFault> stall_;
    std::optional<BlockFault> status_at_;
    bool never_return_ = false;
    ReplyScript script_;

   private:
    uint32_t dfu(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len, uint32_t* done);
    uint32_t dfu_request(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                         uint32_t* done);
    uint32_t dnload(const SetupPacket& s, const uint8_t* data, uint32_t len, uint32_t* done);
    uint32_t upload(const SetupPacket& s, uint8_t* data, uint32_t len, uint32_t* done);
    uint32_t get_status(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                        uint32_t* done);
    uint32_t accepted_bytes(const SetupPacket& s, uint32_t len);
    static uint32_t scripted(const ReplyScript& script, const SetupPacket& s, uint32_t e,
                             uint8_t* data, uint32_t len, uint32_t* done);
    // The status query that completes the block (or the manifestation) after
    // the board was busy, or enters the busy state first.
    void sync_on_status(Board& b, uint32_t* poll);
    void manifest();
    uint32_t only_in(std::initializer_list<State> valid) {
        return std::find(valid.begin(), valid.end(), state_) != valid.end() ? kErrorSuccess
                                                                            : stall();
    }
    // An unexpected request. In dfuERROR the status that got it there stays.
    uint32_t stall(uint8_t status = kErrStalledPkt) {
        if (state_ != kDfuError) status_ = status;
        state_ = kDfuError;
        return kStall;
    }
};

// Busy ends when the poll timeout the board reported has passed.
void Bootloader::end_busy() {
    if ((state_ != kDnBusy && state_ != kManifest) || clock().now_ms() < busy_until_) return;
    if (extra_busy_ > 0) {
        --extra_busy_;
        busy_until_ = clock().now_ms() + busy_ms_;
        return;
    }
    state_ = state_ == kDnBusy ? kDnloadSync : kManifestSync;
}

Bootloader& model(Board& b) {
    return static_cast<Bootloader&>(b.bootloader());
}

uint32_t Bootloader::accepted_bytes(const SetupPacket& s, uint32_t len) {
    uint32_t n = std::min<uint32_t>(len, s.wLength);
    if (short_ && short_->type == s.bmRequestType && short_->request == s.bRequest) {
        n = std::min(n, short_->length);
        short_.reset();
    }
    return n;
}

uint32_t Bootloader::scripted(const ReplyScript& script, const SetupPacket& s, uint32_t e,
                              uint8_t* data, uint32_t len, uint32_t* done) {
    std::vector<uint8_t> bytes;
    bool stalls = false;
    if (!(s.bmRequestType & 0x80) || !script(s, bytes, stalls)) return e;
    if (stalls) return kStall;
    uint32_t n = std::min<uint32_t>({len, s.wLength, static_cast<uint32_t>(bytes.size())});
    if (n) std::memcpy(data, bytes.data(), n);
    *done = n;
    return kErrorSuccess;
}

uint32_t Bootloader::reply(const SetupPacket& s, const std::vector<uint8_t>& bytes, uint8_t* data,
                           uint32_t len, uint32_t* done) {
    uint32_t n = std::min<uint32_t>(accepted_bytes(s, len), static_cast<uint32_t>(bytes.size()));
    if (n) std::memcpy(data, bytes.data(), n);
    *done = n;
    return kErrorSuccess;
}

void Bootloader::restart(Board& b, dirov_sim_face face, uint32_t delay_ms) {
    state_ = kDfuIdle;
    status_ = after_block_ = kOk;
    pending_.clear();
    b.set_face(never_return_ ? DIROV_SIM_FACE_ABSENT : face, delay_ms);
}

uint32_t Bootloader::vendor(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                            uint32_t* done, bool on_main) {
    std::lock_guard lk(mu_);
    const dirov_sim_config& cfg = b.config();
    switch (s.bRequest) {
        case kVersion:
            return reply(s, le32(cfg.bootloader_version), data, len, done);
        case kFirmwareValid:
            return reply(s, {uint8_t(valid_)}, data, len, done);
        case kStartMain: {
            bool starts = !on_main && valid_;
            uint32_t e = reply(s, {uint8_t(on_main || valid_)}, data, len, done);
            if (starts && new_version_) b.set_firmware_version(*new_version_);
            if (starts) restart(b, DIROV_SIM_FACE_MAIN, cfg.reenumerate_ms);
            return e;
        }
        case kReset: {
            uint32_t e = reply(s, {1}, data, len, done);
            restart(b, DIROV_SIM_FACE_BOOTLOADER, cfg.reenumerate_ms);
            return e;
        }
        case kState: {
            std::vector<uint8_t> record(DIROV_BOOTLOADER_STATE_SIZE);
            record[0] = uint8_t(on_main || cfg.main_running);
            end_busy();
            record[1] = on_main ? 0 : state_;
            record[2] = uint8_t(valid_);
            return reply(s, record, data, len, done);
        }
        default:
            return kStall;
    }
}

uint32_t Bootloader::standard(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                              uint32_t* done) {
    if (s.bRequest != kGetDescriptor || s.wValue != kFunctionalDescriptor) return kStall;
    uint16_t ts = b.config().transfer_size;
    std::vector<uint8_t> d = {9,    0x21, kAttributes, 0xFF, 0x00, uint8_t(ts), uint8_t(ts >> 8),
                              0x10, 0x01};
    std::lock_guard lk(mu_);
    return reply(s, d, data, len, done);
}

uint32_t Bootloader::dfu(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                         uint32_t* done) {
    end_busy();
    bool query = s.bRequest == kGetState || s.bRequest == kGetStatus;
    if ((state_ == kDnBusy || state_ == kManifest) && !query) return stall();
    return dfu_request(b, s, data, len, done);
}

uint32_t Bootloader::dfu_request(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                                 uint32_t* done) {
    switch (s.bRequest) {
        case kDnload:
            return dnload(s, data, len, done);
        case kUpload:
            return upload(s, data, len, done);
        case kGetStatus:
            return get_status(b, s, data, len, done);
        case kGetState:
            return reply(s, {state_}, data, len, done);
        case kClrStatus:
            if (uint32_t e = only_in({kDfuError})) return e;
            state_ = kDfuIdle;
            status_ = kOk;
            return kErrorSuccess;
        case kAbort:
            if (uint32_t e = only_in({kDfuIdle, kDnloadIdle, kUploadIdle})) return e;
            state_ = kDfuIdle;
            pending_.clear();
            return kErrorSuccess;
        case kLeaveDfu:
            return only_in({kDfuIdle});
        default:
            return stall();
    }
}

// Each block is one image record. A zero-length block ends the download;
// before any data it is a premature end (errNOTDONE).
uint32_t Bootloader::dnload(const SetupPacket& s, const uint8_t* data, uint32_t len,
                            uint32_t* done) {
    if (uint32_t e = only_in({kDfuIdle, kDnloadIdle})) return e;
    was_busy_ = false;
    if (s.wLength == 0) {
        if (state_ == kDfuIdle) return stall(kErrNotDone);
        state_ = kManifestSync;
        return kErrorSuccess;
    }
    if (stall_ && stall_->block == s.wValue) {
        state_ = kDfuError;
        status_ = stall_->status;
        stall_.reset();
        return kStall;
    }
    if (state_ == kDfuIdle) {
        pending_.clear();
        valid_ = false;  // the old firmware is being overwritten
    }
    uint32_t n = accepted_bytes(s, len);
    bool whole = n >= kRecordHeader && dfu::record_size(data) == n;
    pending_.insert(pending_.end(), data, data + n);
    after_block_ = whole ? kOk : kErrFile;
    if (status_at_ && status_at_->block == s.wValue) {
        after_block_ = status_at_->status;
        status_at_.reset();
    }
    state_ = kDnloadSync;
    *done = n;
    return kErrorSuccess;
}

uint32_t Bootloader::upload(const SetupPacket& s, uint8_t* data, uint32_t len, uint32_t* done) {
    if (state_ != kDfuIdle && state_ != kUploadIdle) return stall();
    if (state_ == kDfuIdle) upload_at_ = 0;
    size_t at = std::min(upload_at_, image_.size());
    std::vector<uint8_t> chunk(image_.begin() + at,
                               image_.begin() + std::min(image_.size(), at + s.wLength));
    uint32_t e = reply(s, chunk, data, len, done);
    upload_at_ = at + *done;
    state_ = *done < s.wLength ? kDfuIdle : kUploadIdle;
    return e;
}

void Bootloader::manifest() {
    image_ = std::move(pending_);
    pending_.clear();
    new_version_ = image_version(image_);
    valid_ = true;
    state_ = kDfuIdle;
}

void Bootloader::sync_on_status(Board& b, uint32_t* poll) {
    uint32_t busy_ms = b.config().poll_timeout_ms;
    if (busy_ms && !was_busy_) {
        was_busy_ = true;
        busy_ms_ = busy_ms;
        busy_until_ = clock().now_ms() + busy_ms;
        state_ = state_ == kDnloadSync ? kDnBusy : kManifest;
        *poll = busy_ms;
    } else if (state_ == kDnloadSync) {
        status_ = after_block_;
        state_ = status_ == kOk ? kDnloadIdle : kDfuError;
    } else {
        manifest();
    }
}

uint32_t Bootloader::get_status(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                                uint32_t* done) {
    uint32_t poll = 0;
    if (state_ == kDnloadSync || state_ == kManifestSync)
        sync_on_status(b, &poll);
    else if (state_ == kDnBusy || state_ == kManifest)
        poll = uint32_t(busy_until_ - clock().now_ms());
    // This board sends the poll timeout most significant byte first.
    std::vector<uint8_t> record = {
        status_, uint8_t(poll >> 16), uint8_t(poll >> 8), uint8_t(poll), state_, 0};
    return reply(s, record, data, len, done);
}

}  // namespace

std::unique_ptr<FaceModel> make_bootloader(Board& board) {
    return std::make_unique<Bootloader>(board);
}

uint32_t bootloader_vendor_request(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                                   uint32_t* done) {
    return model(b).vendor(b, s, data, len, done, true);
}

uint32_t bootloader_reply(Board& b, const SetupPacket& s, const std::vector<uint8_t>& bytes,
                          uint8_t* data, uint32_t len, uint32_t* done) {
    Bootloader& m = model(b);
    std::lock_guard lk(m.mu_);
    return m.reply(s, bytes, data, len, done);
}

uint32_t bootloader_descriptor(Board& b, const SetupPacket& s, uint8_t* data, uint32_t len,
                               uint32_t* done) {
    return model(b).standard(b, s, data, len, done);
}

void bootloader_restart(Board& b, dirov_sim_face face, uint32_t delay_ms) {
    Bootloader& m = model(b);
    std::lock_guard lk(m.mu_);
    m.restart(b, face, delay_ms);
}

void bootloader_stall_block(Board& b, uint16_t block, uint8_t status) {
    std::lock_guard lk(model(b).mu_);
    model(b).stall_ = BlockFault{block, status};
}

void bootloader_stay_busy(Board& b, uint32_t times) {
    std::lock_guard lk(model(b).mu_);
    model(b).extra_busy_ = times;
}

void bootloader_status_at_block(Board& b, uint16_t block, uint8_t status) {
    std::lock_guard lk(model(b).mu_);
    model(b).status_at_ = BlockFault{block, status};
}

void bootloader_short_reply(Board& b, uint8_t type, uint8_t request, uint32_t length) {
    std::lock_guard lk(model(b).mu_);
    model(b).short_ = ShortReply{type, request, length};
}

void bootloader_script_replies(Board& b, ReplyScript script) {
    std::lock_guard lk(model(b).mu_);
    model(b).script_ = std::move(script);
}

void bootloader_never_return(Board& b, bool on) {
    std::lock_guard lk(model(b).mu_);
    model(b).never_return_ = on;
}

int32_t bootloader_dfu_state(Board& b) {
    std::lock_guard lk(model(b).mu_);
    model(b).end_busy();
    return model(b).state_;
}

bool bootloader_firmware_valid(Board& b) {
    std::lock_guard lk(model(b).mu_);
    return model(b).valid_;
}

std::vector<uint8_t> bootloader_image(Board& b) {
    std::lock_guard lk(model(b).mu_);
    return model(b).image_;
}

}  // namespace dirov::sim
