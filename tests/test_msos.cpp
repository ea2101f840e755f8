// Microsoft OS descriptor parsing: the sets the simulated board serves, and
// malformed input, which must be refused rather than half-trusted.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "device/msos_descriptors.h"
#include "dirov410_sim.h"
#include "platform/platform.h"
#include "sim/usb_descriptors.h"

namespace dirov {
namespace {

using Bytes = std::vector<uint8_t>;
using Functions = std::vector<std::pair<int, std::vector<std::string>>>;
const Functions kRefused = {{-9, {}}};

sim::UsbDescriptors board_set(dirov_sim_face face, sim::MsOsVersion ms_os = sim::MsOsVersion::kV2) {
    dirov_sim_config c;
    dirov_sim_config_init(&c);
    return sim::usb_descriptors(c, face, ms_os);
}

// The functions a set names, GUIDs as text; kRefused when it is refused.
Functions parse(const Bytes& b, size_t len) {
    std::vector<msos::FunctionGuids> fns;
    if (!msos::parse_ms20_set(b.data(), len, fns)) return kRefused;
    Functions out;
    for (const auto& f : fns) {
        out.push_back({f.interface, {}});
        for (const GUID& g : f.guids) out.back().second.push_back(guid_text(g));
    }
    return out;
}

Bytes put16(Bytes b, size_t at, size_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
    return b;
}

Bytes utf16(const std::string& s) {
    Bytes b;
    for (char c : s) b.insert(b.end(), {static_cast<uint8_t>(c), 0});
    return b;
}

TEST(MsOs20, SetsNameEachFunctionsGuids) {
    Bytes renamed = sim::ms20_descriptor_set({{-1, {WinUSB_TestGuid}}});
    Bytes other = utf16("DeviceInterfaceGUIDz");  // still valid, but names no GUID
    std::memcpy(renamed.data() + 40, other.data(), other.size());
    // The board's own sets are read by the libusb discovery tests.
    const struct {
        Bytes set;
        Functions want;
    } cases[] = {
        {sim::ms20_descriptor_set({{2, {WinUSB_TestGuid, GUID_DFU_INTERFACE}}}),
         {{2, {guid_text(WinUSB_TestGuid), guid_text(GUID_DFU_INTERFACE)}}}},
        {renamed, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse(c.set, c.set.size()), c.want);
}

TEST(MsOs20, MalformedSetsAreRefused) {
    const Bytes good = board_set(DIROV_SIM_FACE_MAIN).ms20_set;
    for (size_t n = 0; n < good.size(); ++n) EXPECT_EQ(parse(good, n), kRefused) << n;
    // Offsets in the main face's set: header 0, config subset 10, first
    // function subset 18, its compatible ID 26, its property 46.
    const size_t fields[][2] = {
        {46, 0},       // zero-length descriptor
        {46, 0xFFFF},  // descriptor past the end
        {24, 0xFFFF},  // function subset past the end
        {16, 4},       // subset shorter than its header
        {52, 0x4000},  // property name past the descriptor
        {20, 1},       // configuration subset inside a function
        {104, 'Z'},    // inside the first GUID's text
    };
    for (const auto& f : fields)
        EXPECT_EQ(parse(put16(good, f[0], f[1]), good.size()), kRefused) << f[0];
    std::vector<msos::FunctionGuids> fns;
    EXPECT_FALSE(msos::parse_ms20_set(nullptr, 0, fns));
}

TEST(Bos, TakesTheNewestWindowsEntryAndChecksLengths) {
    const Bytes one = sim::ms20_bos(200, 0x21);
    // A second entry for a newer Windows with another vendor code.
    Bytes two = one;
    two.insert(two.end(), {0x00, 0x00, 0x00, 0x0A, 100, 0, 0x33, 0});
    two[5] = 36;
    two = put16(two, 2, two.size());
    Bytes other_uuid = one, long_cap = one;
    other_uuid[9] ^= 0xFF;
    long_cap[5] = 200;
    const std::tuple<Bytes, size_t, std::pair<int, int>> cases[] = {
        // The set, bytes cut off its end, the vendor code and set length found.
        {two, 0, {0x33, 100}},
        {other_uuid, 0, {-1, -1}},
        {long_cap, 0, {-1, -1}},
        {one, 1, {-1, -1}},
    };
    for (const auto& [bos, cut, want] : cases) {
        msos::Ms20Capability cap{};
        std::pair<int, int> found(-1, -1);
        if (msos::find_ms20_capability(bos.data(), bos.size() - cut, cap))
            found = {cap.vendor_code, cap.set_length};
        EXPECT_EQ(found, want);
    }
}

// The GUIDs an MS OS 1.0 properties descriptor names, as text.
std::string ms10_guids(const Bytes& d) {
    std::vector<GUID> guids;
    if (!msos::parse_ms10_properties(d.data(), d.size(), guids)) return "refused";
    std::string out;
    for (const GUID& g : guids) out += guid_text(g);
    return out;
}

TEST(MsOs10, StringAndExtendedProperties) {
    // The board's own descriptors are read by the libusb discovery tests.
    Bytes s = board_set(DIROV_SIM_FACE_MAIN, sim::MsOsVersion::kV1).ms10_string;
    uint8_t code = 0;
    s[4] = 'X';
    EXPECT_FALSE(msos::parse_ms10_string(s.data(), s.size(), code));

    const Bytes two = sim::ms10_properties({GUID_DEVINTERFACE_HX4104, GUID_DFU_MAIN_INTERFACE});
    Bytes sz = two, dword = two;
    sz[14] = msos::kRegSz;  // the property's type: one string, the first GUID alone
    dword[14] = 4;          // a number
    const std::string hx = guid_text(GUID_DEVINTERFACE_HX4104);
    EXPECT_EQ(ms10_guids(two), hx + guid_text(GUID_DFU_MAIN_INTERFACE));
    EXPECT_EQ(ms10_guids(sz), hx);
    EXPECT_EQ(ms10_guids(dword), "refused");
    EXPECT_EQ(ms10_guids(put16(two, 10, 0x7FFF)), "refused");
}

// Braces optional and hex case-free in GUIDs; anything else malformed is
// refused whole.
TEST(GuidMap, EntriesWithAndWithoutInterface) {
    std::vector<msos::GuidMapEntry> map;
    ASSERT_TRUE(msos::parse_guid_map(
        "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}=1d50:6410;;5d8e3f27-a4c1-4b09-9e62-18f7b3c0a4d5="
        "1D50:6411:2;",
        map));
    std::string got;
    for (const auto& e : map)
        got += guid_text(e.guid) + " " + std::to_string(e.vendor_id) + ":" +
               std::to_string(e.product_id) + ":" + std::to_string(e.interface) + " ";
    EXPECT_EQ(got, guid_text(GUID_DEVINTERFACE_HX4104) + " 7504:25616:0 " +
                       guid_text(GUID_DFU_MAIN_INTERFACE) + " 7504:25617:2 ");
    const std::string hx = "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}";
    for (const std::string& bad :
         std::vector<std::string>{hx, "x=1d50:6410", hx + "=1d50:64100", hx + "=1d50:6410:256",
                                  "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42=1d50:6410",
                                  "6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F4G=1d50:6410"}) {
        std::vector<msos::GuidMapEntry> kept(1);
        EXPECT_FALSE(msos::parse_guid_map(bad, kept)) << bad;
        EXPECT_EQ(kept.size(), 1u);
    }
}

}  // namespace
}  // namespace dirov
