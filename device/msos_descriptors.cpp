#include "device/msos_descriptors.h"

#include <cctype>
#include <charconv>
#include <cstring>
#include <string>

#include "platform/byte_order.h"

namespace dirov::msos {
namespace {

constexpr uint8_t kBosType = 0x0F;
constexpr uint8_t kDeviceCapabilityType = 0x10;
constexpr uint8_t kPlatformCapability = 0x05;
constexpr size_t kPlatformHeader = 20;  // bLength..PlatformCapabilityUUID
constexpr size_t kPlatformEntry = 8;

constexpr uint16_t kSetHeader = 0;
constexpr uint16_t kConfigSubset = 1;
constexpr uint16_t kFunctionSubset = 2;
constexpr uint16_t kRegistryProperty = 4;

// UTF-16LE to ASCII; anything outside ASCII makes the text unusable.
bool narrow(const uint8_t* p, size_t units, std::string& out) {
    out.clear();
    for (size_t i = 0; i < units; ++i) {
        uint16_t c = load_le16(p + 2 * i);
        if (c == 0 || c > 0x7F) return false;
        out.push_back(static_cast<char>(c));
    }
    return true;
}

// Property names are NUL-terminated UTF-16LE; compare without case.
bool name_is(const uint8_t* p, size_t len, std::string_view want) {
    if (len % 2 != 0) return false;
    size_t units = len / 2;
    while (units > 0 && load_le16(p + 2 * (units - 1)) == 0) --units;
    std::string name;
    if (!narrow(p, units, name) || name.size() != want.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) !=
            std::tolower(static_cast<unsigned char>(want[i])))
            return false;
    }
    return true;
}

bool is_guid_property(const uint8_t* name, size_t len) {
    return name_is(name, len, "DeviceInterfaceGUID") || name_is(name, len, "DeviceInterfaceGUIDs");
}

bool hex_field(std::string_view s, size_t digits, uint64_t& v) {
    if (s.size() != digits) return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

FunctionGuids& function_entry(std::vector<FunctionGuids>& out, int interface) {
    for (auto& f : out)
        if (f.interface == interface) return f;
    out.push_back(FunctionGuids{interface, {}});
    return out.back();
}

// Walks the feature descriptors of [p, end), entering subsets; `interface`
// is the function the current range belongs to.
bool walk_ms20(const uint8_t* p, const uint8_t* end, int interface, int depth,
               std::vector<FunctionGuids>& out);

bool ms20_property(const uint8_t* d, size_t len, int interface, std::vector<FunctionGuids>& out) {
    if (len < 10) return false;
    uint16_t type = load_le16(d + 4);
    size_t name_len = load_le16(d + 6);
    if (8 + name_len + 2 > len) return false;
    const uint8_t* name = d + 8;
    size_t data_len = load_le16(d + 8 + name_len);
    if (10 + name_len + data_len > len) return false;
    if (!is_guid_property(name, name_len)) return true;
    std::vector<GUID> guids;
    if (!parse_guid_value(type, d + 10 + name_len, data_len, guids)) return false;
    auto& f = function_entry(out, interface);
    f.guids.insert(f.guids.end(), guids.begin(), guids.end());
    return true;
}

bool ms20_descriptor(const uint8_t* p, const uint8_t* end, size_t& step, int interface, int depth,
                     std::vector<FunctionGuids>& out) {
    size_t room = static_cast<size_t>(end - p);
    if (room < 4) return false;
    size_t len = load_le16(p);
    uint16_t type = load_le16(p + 2);
    if (len < 4 || len > room) return false;
    step = len;
    if (type == kConfigSubset || type == kFunctionSubset) {
        // Configuration subsets sit at the top, function subsets at most
        // one level down, and nothing nests inside a function subset.
        if (len != 8 || depth >= 2 || (type == kConfigSubset && depth != 0)) return false;
        size_t total = load_le16(p + 6);
        if (total < 8 || total > room) return false;
        step = total;
        bool function = type == kFunctionSubset;
        return walk_ms20(p + 8, p + total, function ? p[4] : interface, function ? 2 : 1, out);
    }
    if (type == kSetHeader) return false;
    if (type == kRegistryProperty) return ms20_property(p, len, interface, out);
    return true;
}

bool walk_ms20(const uint8_t* p, const uint8_t* end, int interface, int depth,
               std::vector<FunctionGuids>& out) {
    while (p < end) {
        size_t step = 0;
        if (!ms20_descriptor(p, end, step, interface, depth, out)) return false;
        p += step;
    }
    return true;
}

}  // namespace

bool parse_guid_text(std::string_view t, GUID& out) {
    if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
    if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
    uint64_t a, b, c, d, e;
    if (!hex_field(t.substr(0, 8), 8, a) || !hex_field(t.substr(9, 4), 4, b) ||
        !hex_field(t.substr(14, 4), 4, c) || !hex_field(t.substr(19, 4), 4, d) ||
        !hex_field(t.substr(24, 12), 12, e))
        return false;
    out.Data1 = static_cast<uint32_t>(a);
    out.Data2 = static_cast<uint16_t>(b);
    out.Data3 = static_cast<uint16_t>(c);
    out.Data4[0] = static_cast<uint8_t>(d >> 8);
    out.Data4[1] = static_cast<uint8_t>(d);
    for (int i = 0; i < 6; ++i) out.Data4[2 + i] = static_cast<uint8_t>(e >> (40 - 8 * i));
    return true;
}

bool parse_guid_value(uint32_t type, const uint8_t* data, size_t len, std::vector<GUID>& out) {
    if ((type != kRegSz && type != kRegMultiSz) || len % 2 != 0) return false;
    size_t units = len / 2;
    size_t start = 0;
    std::vector<GUID> found;
    for (size_t i = 0; i <= units; ++i) {
        if (i < units && load_le16(data + 2 * i) != 0) continue;
        if (i > start) {
            std::string text;
            GUID g{};
            if (!narrow(data + 2 * start, i - start, text) || !parse_guid_text(text, g))
                return false;
            found.push_back(g);
            if (type == kRegSz) break;
        }
        start = i + 1;
    }
    if (found.empty()) return false;
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

bool find_ms20_capability(const uint8_t* bos, size_t len, Ms20Capability& out) {
    if (!bos || len < 5 || bos[0] != 5 || bos[1] != kBosType) return false;
    size_t total = load_le16(bos + 2);
    if (total < 5 || total > len) return false;
    bool found = false;
    for (size_t at = 5; at < total;) {
        const uint8_t* cap = bos + at;
        size_t cap_len = cap[0];
        if (cap_len < 3 || cap_len > total - at) return false;
        at += cap_len;
        if (cap[1] != kDeviceCapabilityType || cap[2] != kPlatformCapability) continue;
        if (cap_len < kPlatformHeader || std::memcmp(cap + 4, kMs20PlatformUuid, 16) != 0) continue;
        for (size_t e = kPlatformHeader; e + kPlatformEntry <= cap_len; e += kPlatformEntry) {
            Ms20Capability c{load_le32(cap + e), load_le16(cap + e + 4), cap[e + 6], cap[e + 7]};
            if (c.vendor_code == 0 || c.set_length < 10) continue;
            if (!found || c.windows_version > out.windows_version) out = c;
            found = true;
        }
    }
    return found;
}

bool parse_ms20_set(const uint8_t* set, size_t len, std::vector<FunctionGuids>& out) {
    out.clear();
    if (!set || len < 10 || load_le16(set) != 10 || load_le16(set + 2) != kSetHeader) return false;
    size_t total = load_le16(set + 8);
    if (total < 10 || total > len) return false;
    std::vector<FunctionGuids> found;
    if (!walk_ms20(set + 10, set + total, -1, 0, found)) return false;
    out = std::move(found);
    return true;
}

bool parse_ms10_string(const uint8_t* d, size_t len, uint8_t& vendor_code) {
    static constexpr char kSignature[] = "MSFT100";
    if (!d || len < 18 || d[0] < 18 || d[1] != 3) return false;
    std::string sig;
    if (!narrow(d + 2, 7, sig) || sig != kSignature) return false;
    vendor_code = d[16];
    return true;
}

bool parse_ms10_properties(const uint8_t* d, size_t len, std::vector<GUID>& out) {
    if (!d || len < 10) return false;
    size_t total = load_le32(d);
    if (total < 10 || total > len || load_le16(d + 4) != 0x0100 ||
        load_le16(d + 6) != kMs10ExtendedPropertiesIndex)
        return false;
    size_t count = load_le16(d + 8);
    std::vector<GUID> found;
    size_t at = 10;
    for (size_t i = 0; i < count; ++i) {
        if (total - at < 14) return false;
        const uint8_t* s = d + at;
        size_t size = load_le32(s);
        if (size < 14 || size > total - at) return false;
        uint32_t type = load_le32(s + 4);
        size_t name_len = load_le16(s + 8);
        if (10 + name_len + 4 > size) return false;
        size_t data_len = load_le32(s + 10 + name_len);
        if (data_len > size - 14 - name_len) return false;
        if (is_guid_property(s + 10, name_len) &&
            !parse_guid_value(type, s + 14 + name_len, data_len, found))
            return false;
        at += size;
    }
    out.insert(out.end(), found.begin(), found.end());
    return true;
}

bool parse_guid_map(std::string_view text, std::vector<GuidMapEntry>& out) {
    std::vector<GuidMapEntry> entries;
    while (!text.empty()) {
        size_t semi = text.find(';');
        std::string_view item = text.substr(0, semi);
        text = semi == std::string_view::npos ? std::string_view{} : text.substr(semi + 1);
        if (item.empty()) continue;
        size_t eq = item.find('=');
        GuidMapEntry e;
        if (eq == std::string_view::npos || !parse_guid_text(item.substr(0, eq), e.guid))
            return false;
        std::string_view ids = item.substr(eq + 1);
        uint64_t vid, pid, iface = 0;
        if (ids.size() < 9 || ids[4] != ':' || !hex_field(ids.substr(0, 4), 4, vid) ||
            !hex_field(ids.substr(5, 4), 4, pid))
            return false;
        if (ids.size() > 9) {
            std::string_view n = ids.substr(10);
            auto r = std::from_chars(n.data(), n.data() + n.size(), iface, 10);
            if (ids[9] != ':' || n.empty() || r.ec != std::errc() || r.ptr != n.data() + n.size() ||
                iface > 255)
                return false;
        }
        e.vendor_id = static_cast<uint16_t>(vid);
        e.product_id = static_cast<uint16_t>(pid);
        e.interface = static_cast<int>(iface);
        entries.push_back(e);
    }
    out = std::move(entries);
    return true;
}

}  // namespace dirov::msos
