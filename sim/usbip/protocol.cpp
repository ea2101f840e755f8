#include "sim/usbip/protocol.h"

#include <algorithm>
#include <cstring>

namespace dirov::usbip {
namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
void put32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}
void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void put_text(Bytes& b, const std::string& s, size_t size) {
    size_t n = std::min(s.size(), size - 1);  // always NUL-terminated
    b.insert(b.end(), s.begin(), s.begin() + static_cast<ptrdiff_t>(n));
    b.insert(b.end(), size - n, 0);
}

Result bad(std::string why) {
    return {Parsed::kBad, 0, std::move(why)};
}

std::string hex(uint32_t v) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%X", v);
    return s;
}

void put_record(Bytes& b, const DeviceRecord& d) {
    put_text(b, d.path, 256);
    put_text(b, d.busid, kBusIdSize);
    put32(b, d.busnum);
    put32(b, d.devnum);
    put32(b, d.speed);
    put16(b, d.vendor);
    put16(b, d.product);
    put16(b, d.bcd_device);
    b.insert(b.end(), {d.device_class, d.device_subclass, d.device_protocol, d.configuration,
                       d.configurations, static_cast<uint8_t>(d.interfaces.size())});
}

Bytes op_header(uint16_t code, uint32_t status) {
    Bytes b;
    put16(b, kVersion);
    put16(b, code);
    put32(b, status);
    return b;
}

}  // namespace

Result parse_op(const uint8_t* in, size_t n, OpRequest& out) {
    if (n < kOpHeaderSize) return {};
    uint16_t version = be16(in), code = be16(in + 2);
    if (version >> 8 != kVersion >> 8)
        return bad("not a USB/IP request (version " + hex(version) + ")");
    out = OpRequest{code, {}};
    if (code == kOpReqDevlist) return {Parsed::kRequest, kOpHeaderSize, {}};
    if (code != kOpReqImport) return bad("unknown USB/IP operation " + hex(code));
    if (n < kOpHeaderSize + kBusIdSize) return {};
    const char* id = reinterpret_cast<const char*>(in + kOpHeaderSize);
    size_t len = strnlen(id, kBusIdSize);
    if (len == kBusIdSize) return bad("bus id without its end");
    out.busid.assign(id, len);
    return {Parsed::kRequest, kOpHeaderSize + kBusIdSize, {}};
}

Result parse_command(const uint8_t* in, size_t n, Command& out) {
    if (n < kCommandSize) return {};
    Command c;
    c.command = be32(in);
    c.seqnum = be32(in + 4);
    c.devid = be32(in + 8);
    c.direction = be32(in + 12);
    c.ep = be32(in + 16);
    if (c.command != kCmdSubmit && c.command != kCmdUnlink)
        return bad("unknown USB/IP command " + hex(c.command));
    if (c.direction > kDirIn) return bad("direction " + hex(c.direction));
    if (c.ep > 15) return bad("endpoint " + hex(c.ep));
    std::memcpy(c.setup.data(), in + 40, 8);
    if (c.command == kCmdUnlink) {
        c.unlink = be32(in + 20);
        out = std::move(c);
        return {Parsed::kRequest, kCommandSize, {}};
    }
    c.flags = be32(in + 20);
    c.length = be32(in + 24);
    uint32_t packets = be32(in + 32);
    if (c.length > kMaxTransfer) return bad("transfer of " + std::to_string(c.length) + " bytes");
    // Isochronous transfers carry packet descriptors; the board has no
    // isochronous endpoint.
    if (packets != 0 && packets != 0xFFFFFFFF)
        return bad("isochronous transfer (" + std::to_string(packets) + " packets)");
    size_t need = kCommandSize + (c.direction == kDirOut ? c.length : 0);
    if (n < need) return {};
    c.out.assign(in + kCommandSize, in + need);
    out = std::move(c);
    return {Parsed::kRequest, need, {}};
}

DeviceRecord device_record(const Bytes& device, const Bytes& config, std::string path,
                           std::string busid, uint32_t busnum, uint32_t devnum) {
    DeviceRecord r;
    r.path = std::move(path);
    r.busid = std::move(busid);
    r.busnum = busnum;
    r.devnum = devnum;
    if (device.size() >= 18) {
        auto le16 = [&](size_t at) {
            return static_cast<uint16_t>(device[at] | device[at + 1] << 8);
        };
        r.device_class = device[4];
        r.device_subclass = device[5];
        r.device_protocol = device[6];
        r.vendor = le16(8);
        r.product = le16(10);
        r.bcd_device = le16(12);
        r.configurations = device[17];
    }
    if (config.size() >= 9) r.configuration = config[5];
    for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2; at += config[at]) {
        if (at + config[at] > config.size()) break;
        if (config[at + 1] == 4 && config[at] >= 9 && config[at + 3] == 0)
            r.interfaces.push_back({config[at + 5], config[at + 6], config[at + 7]});
    }
    return r;
}

Bytes encode_devlist(const std::vector<DeviceRecord>& devices) {
    Bytes b = op_header(kOpRepDevlist, 0);
    put32(b, static_cast<uint32_t>(devices.size()));
    for (const DeviceRecord& d : devices) {
        put_record(b, d);
        for (const auto& i : d.interfaces) b.insert(b.end(), {i[0], i[1], i[2], 0});
    }
    return b;
}

Bytes encode_import(uint32_t status, const DeviceRecord& device) {
    Bytes b = op_header(kOpRepImport, status);
    if (status == 0) put_record(b, device);
    return b;
}

Bytes encode_ret_submit(uint32_t seqnum, int32_t status, uint32_t actual, const uint8_t* in) {
    Bytes b;
    b.reserve(kCommandSize + (in ? actual : 0));
    put32(b, kRetSubmit);
    put32(b, seqnum);
    b.insert(b.end(), 12, 0);  // devid, direction, ep: unused in replies
    put32(b, static_cast<uint32_t>(status));
    put32(b, actual);
    b.insert(b.end(), 20, 0);  // start frame, packets (not isochronous), errors, setup
    if (in) b.insert(b.end(), in, in + actual);
    return b;
}

Bytes encode_ret_unlink(uint32_t seqnum, int32_t status) {
    Bytes b;
    put32(b, kRetUnlink);
    put32(b, seqnum);
    b.insert(b.end(), 12, 0);
    put32(b, static_cast<uint32_t>(status));
    b.insert(b.end(), 24, 0);
    return b;
}

}  // namespace dirov::usbip
