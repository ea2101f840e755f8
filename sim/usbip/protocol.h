// The USB/IP wire protocol (Linux's usbip, version 1.1.1), as a server
// speaks it: the operation requests a client opens with (device list,
// import) and, once a device is imported, the URB commands (submit, unlink)
// and their replies. Every field is big-endian. The parsers are pure: they
// take the bytes received so far and say whether a whole request is there,
// how long it is, or why it can never be one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dirov::usbip {

using Bytes = std::vector<uint8_t>;

inline constexpr uint16_t kVersion = 0x0111;
inline constexpr uint16_t kOpReqDevlist = 0x8005;
inline constexpr uint16_t kOpRepDevlist = 0x0005;
inline constexpr uint16_t kOpReqImport = 0x8003;
inline constexpr uint16_t kOpRepImport = 0x0003;
inline constexpr uint32_t kCmdSubmit = 1;
inline constexpr uint32_t kCmdUnlink = 2;
inline constexpr uint32_t kRetSubmit = 3;
inline constexpr uint32_t kRetUnlink = 4;
inline constexpr size_t kOpHeaderSize = 8;
inline constexpr size_t kBusIdSize = 32;
inline constexpr size_t kCommandSize = 48;
inline constexpr size_t kDeviceRecordSize = 312;
// The longest transfer a submit may carry or ask for.
inline constexpr uint32_t kMaxTransfer = 16u << 20;
inline constexpr uint32_t kDirOut = 0, kDirIn = 1;
// USB speeds as the kernel numbers them.
inline constexpr uint32_t kSpeedHigh = 3;

enum class Parsed {
    kMore,     // a request has begun; more bytes are needed
    kRequest,  // a whole request; `used` bytes
    kBad,      // not a request of this phase; `error` says why
};

struct Result {
    Parsed status = Parsed::kMore;
    size_t used = 0;
    std::string error;
};

struct OpRequest {
    uint16_t code = 0;
    std::string busid;  // of an import
};

struct Command {
    uint32_t command = 0;  // kCmdSubmit or kCmdUnlink
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    uint32_t direction = 0;
    uint32_t ep = 0;
    uint32_t flags = 0;   // submit: transfer flags
    uint32_t length = 0;  // submit: transfer buffer length
    uint32_t unlink = 0;  // unlink: the seqnum of the submit to cancel
    std::array<uint8_t, 8> setup{};
    Bytes out;  // submit OUT: the data
};

// The operation request at the start of `in`.
Result parse_op(const uint8_t* in, size_t n, OpRequest& out);
// The URB command at the start of `in`.
Result parse_command(const uint8_t* in, size_t n, Command& out);

// What a device list and an import tell of a device.
struct DeviceRecord {
    std::string path;   // sysfs-like path, shown by `usbip list`
    std::string busid;  // "1-1"
    uint32_t busnum = 1, devnum = 2, speed = kSpeedHigh;
    uint16_t vendor = 0, product = 0, bcd_device = 0;
    uint8_t device_class = 0, device_subclass = 0, device_protocol = 0;
    uint8_t configuration = 1, configurations = 1;
    std::vector<std::array<uint8_t, 3>> interfaces;  // class, subclass, protocol
};

// The record of a device with these device and configuration descriptors.
DeviceRecord device_record(const Bytes& device, const Bytes& config, std::string path,
                           std::string busid, uint32_t busnum, uint32_t devnum);

Bytes encode_devlist(const std::vector<DeviceRecord>& devices);
// status 0 with the record; otherwise the header alone.
Bytes encode_import(uint32_t status, const DeviceRecord& device);
// A RET_SUBMIT with `in` (IN data, actual length) or `actual` OUT bytes.
Bytes encode_ret_submit(uint32_t seqnum, int32_t status, uint32_t actual, const uint8_t* in);
Bytes encode_ret_unlink(uint32_t seqnum, int32_t status);

}  // namespace dirov::usbip
