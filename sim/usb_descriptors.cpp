#include "sim/usb_descriptors.h"

#include <cstring>
#include <string>

#include "device/msos_descriptors.h"
#include "platform/platform.h"

namespace dirov::sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kWindows81 = 0x06030000;
constexpr uint16_t kMaxPacket = 512;

void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
void set16(Bytes& b, size_t at, size_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put_utf16(Bytes& b, const std::string& s) {
    for (char16_t c : utf16_from_utf8(s)) put16(b, c);
}

// The code point of the sequence at `p` (`n` bytes left) and its length;
// {byte, 1} when no valid sequence starts there.
std::pair<uint32_t, size_t> decode_utf8(const uint8_t* p, size_t n) {
    size_t len = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC0 ? 2 : 1;
    if (len == 1 || len > n) return {p[0], 1};
    uint32_t c = p[0] & (0x7F >> len);
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return {p[0], 1};
        c = c << 6 | (p[i] & 0x3F);
    }
    return {c, len};
}

}  // namespace

std::u16string utf16_from_utf8(const std::string& text) {
    std::u16string out;
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t i = 0; i < text.size();) {
        auto [c, len] = decode_utf8(p + i, text.size() - i);
        i += len;
        if (c >= 0x10000 && c < 0x110000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            c = 0xDC00 + (c & 0x3FF);
        }
        out += static_cast<char16_t>(c);
    }
    return out;
}

namespace {

Bytes device_descriptor(const dirov_sim_config& cfg, dirov_sim_face face, MsOsVersion ms_os) {
    Bytes d = {18, 1};
    put16(d, ms_os == MsOsVersion::kV2 ? 0x0210 : 0x0200);  // 2.1: the host reads the BOS
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, cfg.vendor_id);
    put16(d, cfg.product_id);
    put16(d, face == DIROV_SIM_FACE_BOOTLOADER ? 0x0001 : 0x0100);
    d.insert(d.end(), {0, 0, 3, 1});  // serial number in string 3
    return d;
}

void interface(Bytes& c, uint8_t number, uint8_t endpoints, uint8_t cls, uint8_t sub,
               uint8_t proto) {
    c.insert(c.end(), {9, 4, number, 0, endpoints, cls, sub, proto, 0});
}

void bulk_endpoint(Bytes& c, uint8_t address) {
    c.insert(c.end(), {7, 5, address, 2});
    put16(c, kMaxPacket);
    c.push_back(0);
}

void dfu_functional(Bytes& c, const dirov_sim_config& cfg) {
    c.insert(c.end(), {9, 0x21, 0x0B});
    put16(c, 1000);
    put16(c, cfg.transfer_size);
    put16(c, 0x0110);
}

Bytes config_descriptor(const dirov_sim_config& cfg, dirov_sim_face face) {
    bool boot = face == DIROV_SIM_FACE_BOOTLOADER;
    uint8_t count = boot ? 1 : (cfg.runtime_dfu ? 2 : 1);
    Bytes c = {9, 2, 0, 0, count, 1, 0, 0x80, 50};
    if (boot) {
        interface(c, 0, 0, 0xFE, 1, 2);
        dfu_functional(c, cfg);
    } else {
        interface(c, 0, 3, 0xFF, 0, 0);
        bulk_endpoint(c, 0x01);
        bulk_endpoint(c, 0x81);
        bulk_endpoint(c, 0x82);
        if (cfg.runtime_dfu) {
            interface(c, 1, 0, 0xFE, 1, 1);
            dfu_functional(c, cfg);
        }
    }
    set16(c, 2, c.size());
    return c;
}

Bytes compatible_id() {
    Bytes d;
    put16(d, 20);
    put16(d, 3);
    for (char ch : std::string("WINUSB\0\0", 8)) d.push_back(static_cast<uint8_t>(ch));
    d.insert(d.end(), 8, 0);
    return d;
}

Bytes guids_name() {
    Bytes name;
    put_utf16(name, "DeviceInterfaceGUIDs");
    put16(name, 0);
    return name;
}

Bytes guids_value(const std::vector<GUID>& guids) {
    Bytes value;
    for (const GUID& g : guids) {
        put_utf16(value, guid_text(g));
        put16(value, 0);
    }
    put16(value, 0);
    return value;
}

Bytes guid_property(const std::vector<GUID>& guids) {
    Bytes name = guids_name(), value = guids_value(guids);
    Bytes d;
    put16(d, 10 + name.size() + value.size());
    put16(d, 4);
    put16(d, msos::kRegMultiSz);
    put16(d, name.size());
    d.insert(d.end(), name.begin(), name.end());
    put16(d, value.size());
    d.insert(d.end(), value.begin(), value.end());
    return d;
}

Bytes features(const std::vector<GUID>& guids) {
    Bytes d = compatible_id();
    Bytes p = guid_property(guids);
    d.insert(d.end(), p.begin(), p.end());
    return d;
}

}  // namespace

std::vector<uint8_t> ms20_descriptor_set(const std::vector<Ms20Function>& functions) {
    Bytes set;
    put16(set, 10);
    put16(set, 0);
    put32(set, kWindows81);
    put16(set, 0);
    Bytes config = {8, 0, 1, 0, 0, 0, 0, 0};
    for (const auto& [first, guids] : functions) {
        Bytes f = features(guids);
        if (first < 0) {
            set.insert(set.end(), f.begin(), f.end());
            continue;
        }
        Bytes sub = {8, 0, 2, 0, static_cast<uint8_t>(first), 0, 0, 0};
        sub.insert(sub.end(), f.begin(), f.end());
        set16(sub, 6, sub.size());
        config.insert(config.end(), sub.begin(), sub.end());
    }
    if (config.size() > 8) {
        set16(config, 6, config.size());
        set.insert(set.end(), config.begin(), config.end());
    }
    set16(set, 8, set.size());
    return set;
}

std::vector<uint8_t> ms20_bos(uint16_t set_length, uint8_t vendor_code) {
    constexpr size_t kCap = 28;
    Bytes b(5 + kCap, 0);
    b[0] = 5;
    b[1] = 0x0F;
    set16(b, 2, b.size());
    b[4] = 1;
    uint8_t* cap = b.data() + 5;
    cap[0] = kCap;
    cap[1] = 0x10;
    cap[2] = 5;
    std::memcpy(cap + 4, msos::kMs20PlatformUuid, sizeof msos::kMs20PlatformUuid);
    for (int i = 0; i < 4; ++i) cap[20 + i] = static_cast<uint8_t>(kWindows81 >> (8 * i));
    cap[24] = static_cast<uint8_t>(set_length);
    cap[25] = static_cast<uint8_t>(set_length >> 8);
    cap[26] = vendor_code;
    return b;
}

std::vector<uint8_t> ms10_properties(const std::vector<GUID>& guids) {
    Bytes name = guids_name(), value = guids_value(guids);
    Bytes d;
    put32(d, 0);
    put16(d, 0x0100);
    put16(d, msos::kMs10ExtendedPropertiesIndex);
    put16(d, 1);
    put32(d, 14 + name.size() + value.size());
    put32(d, msos::kRegMultiSz);
    put16(d, name.size());
    d.insert(d.end(), name.begin(), name.end());
    put32(d, value.size());
    d.insert(d.end(), value.begin(), value.end());
    set16(d, 0, d.size());
    return d;
}

UsbDescriptors usb_descriptors(const dirov_sim_config& cfg, dirov_sim_face face,
                               MsOsVersion ms_os) {
    UsbDescriptors d;
    if (face == DIROV_SIM_FACE_ABSENT) return d;
    d.device = device_descriptor(cfg, face, ms_os);
    d.config = config_descriptor(cfg, face);
    std::vector<Ms20Function> fns;
    if (face == DIROV_SIM_FACE_BOOTLOADER) {
        fns = {{-1, {GUID_DFU_MAIN_INTERFACE}}};
    } else {
        fns = {{0, {GUID_DEVINTERFACE_HX4104}}};
        if (cfg.runtime_dfu) fns.push_back({1, {GUID_DFU_MAIN_INTERFACE}});
    }
    if (ms_os == MsOsVersion::kV1) {
        d.ms10_string = {18, 3};
        put_utf16(d.ms10_string, "MSFT100");
        d.ms10_string.insert(d.ms10_string.end(), {kMsVendorCode, 0});
        for (const auto& [first, guids] : fns) d.ms10_properties.push_back(ms10_properties(guids));
        return d;
    }
    d.ms20_set = ms20_descriptor_set(fns);
    d.bos = ms20_bos(static_cast<uint16_t>(d.ms20_set.size()), kMsVendorCode);
    return d;
}

}  // namespace dirov::sim
