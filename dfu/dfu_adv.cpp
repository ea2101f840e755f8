// The DFU download: the board brought back to dfuIDLE from wherever an
// earlier transfer left it, one record per DFU_DNLOAD block with a status
// query and the board's poll wait after each, then the zero-length block that
// starts manifestation. Also the DFU status texts.
#include <cstdlib>
#include <mutex>

#include "dfu/dfu_record.h"
#include "dirov410.h"
#include "platform/platform.h"

using namespace dirov;

extern "C" {

const char* const error_msg[16] = {
    "No error condition is present.",
    "File is not targeted for use by this device.",
    "File is for this device but fails some vendor-specific verification test.",
    "Device is unable to write memory.",
    "Memory erase function failed.",
    "Memory erase check failed.",
    "Program memory function failed.",
    "Programmed memory failed verification.",
    "Cannot program memory due to received address that is out of range.",
    "Received DFU_DNLOAD with wLength = 0, but device does not think it has all of the data yet.",
    "Device\xE2\x80\x99s firmware is corrupt. It cannot return to run-time (non-DFU) operations.",
    "iString indicates a vendor-specific error.",
    "Device detected unexpected USB reset signaling.",
    "Device detected unexpected power on reset.",
    "Something went wrong, but the device does not know what it was.",
    "Device stalled an unexpected request.",
};

}  // extern "C"

namespace {

// bStatus of the last status record a download read.
int32_t lastStatus = 0;

struct Progress {
    std::mutex mu;
    dirov_dfu_progress_cb cb = nullptr;
    void* user = nullptr;
};

Progress& progress() {
    static Progress p;
    return p;
}

constexpr uint64_t kUnknownSize = UINT64_MAX;
// Block numbers are 16 bits wide.
constexpr uint32_t kMaxRecords = 0xFFFF;
constexpr int32_t kNotReady = -2;
constexpr int32_t kTooLarge = -3;
constexpr int32_t kMalformed = -4;
constexpr uint32_t kStallError = kErrorGenFailure;
// Steps that bring the board back to dfuIDLE: the longest path is a stalled
// query, then dfuDNBUSY waited out, an abort that stalls, and a clear.
constexpr uint32_t kMaxRecoverySteps = 8;
// Status queries while the board reports itself busy after one block.
constexpr uint32_t kMaxBusyPolls = 16;
constexpr int32_t kStepTaken = 1;

// This board sends bwPollTimeout with its first byte the most significant.
uint32_t poll_ms(const DfuStatus& s) {
    return s.bwPollTimeout[0] << 16 | s.bwPollTimeout[1] << 8 | s.bwPollTimeout[2];
}

void poll_wait(const DfuStatus& s) {
    if (uint32_t ms = poll_ms(s)) sleep_ms(ms);
}

// Checks made before anything is sent. With the image's size known, every
// record header and body must lie inside it.
int32_t check_shape(const uint8_t* image, uint64_t size, uint32_t count) {
    if (count > kMaxRecords || (!image && count)) return kMalformed;
    if (size == kUnknownSize) return 0;
    uint64_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - at < DIROV_DFU_RECORD_HEADER) return kMalformed;
        at += dfu::record_size(image + at);
        if (at > size) return kMalformed;
    }
    return 0;
}

int32_t check_sizes(const uint8_t* image, uint32_t count, uint16_t transfer_size) {
    const uint8_t* at = image;
    for (uint32_t i = 0; i < count; ++i) {
        if (dfu::record_size(at) > transfer_size) return kTooLarge;
        at += dfu::record_size(at);
    }
    return 0;
}

bool busy(uint8_t state) {
    return state == DFU_STATE_DFU_DNBUSY || state == DFU_STATE_DFU_MANIFEST;
}

// A request during recovery that the board stalled has still moved it (to
// dfuERROR), so the next step goes on from there.
int32_t step_result(int32_t r) {
    return r >= 0 || last_error() == kStallError ? kStepTaken : -1;
}

// The board is busy: wait the poll timeout its status names.
int32_t wait_busy(WINUSB_INTERFACE_HANDLE h) {
    DfuStatus status{};
    int32_t r = dfu_getstatus(h, &status);
    if (r == static_cast<int32_t>(sizeof status)) poll_wait(status);
    return step_result(r);
}

// One step towards dfuIDLE from `state`: 0 when there, kStepTaken after a
// request, -1 when a request failed, kNotReady for a state that no DFU
// request leaves (the run-time states, dfuMANIFEST-WAIT-RESET).
int32_t leave_state(WINUSB_INTERFACE_HANDLE h, uint8_t state) {
    switch (state) {
        case DFU_STATE_DFU_IDLE:
            return 0;
        case DFU_STATE_DFU_ERROR:
            return step_result(dfu_clrstatus(h));
        case DFU_STATE_DFU_DNLOAD_SYNC:
        case DFU_STATE_DFU_DNLOAD_IDLE:
        case DFU_STATE_DFU_MANIFEST_SYNC:
        case DFU_STATE_DFU_UPLOAD_IDLE:
            return step_result(dfu_abort(h));
        case DFU_STATE_DFU_DNBUSY:
        case DFU_STATE_DFU_MANIFEST:
            return wait_busy(h);
        default:
            return kNotReady;
    }
}

// Brings the board to dfuIDLE from any state a failed download or upload
// can leave it in, reading the state again after every step.
int32_t recover_idle(WINUSB_INTERFACE_HANDLE h) {
    for (uint32_t step = 0; step < kMaxRecoverySteps; ++step) {
        uint8_t state = 0xFF;  // a reply without the byte is no state the board can be in
        int32_t r = dfu_getstate(h, &state);
        r = r < 0 ? step_result(r) : leave_state(h, state);
        if (r != kStepTaken) return r;
    }
    return kNotReady;
}

// dfuIDLE reached; then wTransferSize from the descriptor.
int32_t get_ready(WINUSB_INTERFACE_HANDLE h, uint16_t* transfer_size) {
    if (int32_t r = recover_idle(h)) return r;
    DfuFunctionalDescriptor desc{};
    if (dfu_getdescriptor(h, &desc) < 0) return -1;
    *transfer_size = desc.wTransferSize;
    return 0;
}

// A status record shorter than six bytes carries no usable status or wait.
int32_t read_status(WINUSB_INTERFACE_HANDLE h, DfuStatus* status) {
    *status = DfuStatus{};
    if (dfu_getstatus(h, status) != static_cast<int32_t>(sizeof *status)) return -1;
    lastStatus = status->bStatus;
    return status->bStatus;
}

// The status after a stalled block. A stall is never a success, even when
// the board then reports status 0.
int32_t stalled(WINUSB_INTERFACE_HANDLE h) {
    DfuStatus status;
    int32_t s = read_status(h, &status);
    set_last_error(kStallError);
    return s == 0 ? -1 : s;
}

// The status after a block or the final block, each report's wait kept. A
// board still busy (dfuDNBUSY, dfuMANIFEST) is asked again after its wait.
int32_t settled_status(WINUSB_INTERFACE_HANDLE h) {
    for (uint32_t i = 0; i < kMaxBusyPolls; ++i) {
        DfuStatus status;
        if (int32_t s = read_status(h, &status)) return s;
        poll_wait(status);
        if (!busy(status.bState)) return 0;
    }
    return -1;
}

// DFU_DNLOAD of `len` bytes as block `n`, then its status: 0, or the
// download's result. The whole block must go out.
int32_t send_and_settle(WINUSB_INTERFACE_HANDLE h, const uint8_t* data, uint32_t len, uint16_t n) {
    int32_t r = dfu_dnload(h, data, len, n);
    uint32_t error = last_error();
    if (r < 0) return error == kStallError ? stalled(h) : -1;
    if (static_cast<uint32_t>(r) != len) return -1;
    return settled_status(h);
}

int32_t send_records(WINUSB_INTERFACE_HANDLE h, const uint8_t* image, uint32_t count) {
    dirov_dfu_progress_cb cb;
    void* user;
    {
        std::lock_guard lk(progress().mu);
        cb = progress().cb;
        user = progress().user;
    }
    const uint8_t* at = image;
    for (uint32_t n = 0; n < count; ++n) {
        if (int32_t r = send_and_settle(h, at, dfu::record_size(at), static_cast<uint16_t>(n)))
            return r;
        at += dfu::record_size(at);
        if (cb) cb(n + 1, count, user);
    }
    return 0;
}

int32_t download(WINUSB_INTERFACE_HANDLE h, const uint8_t* image, uint64_t size, uint32_t count) {
    if (int32_t r = check_shape(image, size, count)) return r;
    uint16_t transfer_size = 0;
    if (int32_t r = get_ready(h, &transfer_size)) return r;
    if (int32_t r = check_sizes(image, count, transfer_size)) return r;
    if (int32_t r = send_records(h, image, count)) return r;
    // The zero-length block that ends the download is numbered count + 1.
    return send_and_settle(h, nullptr, 0, static_cast<uint16_t>(count + 1));
}

}  // namespace

extern "C" {

DIROV_API int32_t dfu_get_last_error(void) {
    return lastStatus;
}

DIROV_API const char* dfu_get_error_str(int32_t code) {
    return code >= 0 && code < 16 ? error_msg[code] : nullptr;
}

DIROV_API const char* dfu_get_last_error_str(void) {
    return dfu_get_error_str(lastStatus);
}

DIROV_API int32_t dfu_dnload_firmware(WINUSB_INTERFACE_HANDLE h, const uint8_t* image,
                                      uint32_t count) {
    return download(h, image, kUnknownSize, count);
}

DIROV_API int32_t dirov_dfu_dnload_image(WINUSB_INTERFACE_HANDLE h, const uint8_t* image,
                                         uint32_t size, uint32_t count) {
    return download(h, image, size, count);
}

DIROV_API int32_t dfu_upload_firmware(WINUSB_INTERFACE_HANDLE h, uint8_t** image, uint32_t* size) {
    if (!image || !size) return -1;
    *size = 0;
    uint16_t transfer_size = 0;
    if (int32_t r = get_ready(h, &transfer_size)) return r;
    *image = static_cast<uint8_t*>(std::malloc(0));
    return 0;
}

DIROV_API void dirov_set_dfu_progress(dirov_dfu_progress_cb cb, void* user) {
    std::lock_guard lk(progress().mu);
    progress().cb = cb;
    progress().user = user;
}

}  // extern "C"
