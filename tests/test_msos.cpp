// Microsoft OS descriptor parsing: the sets the simulated board serves, and
// malformed input, which must be refused rather than half-trusted.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/msos_descriptors.h"
#include "device/platform.h"
#include "dirov410_sim.h"
#include "sim/usb_descriptors.h"

namespace dirov {
namespace {

using Bytes = std::vector<uint8_t>;

dirov_sim_config config() {
    dirov_sim_config c;
    dirov_sim_config_init(&c);
    return c;
}

bool parse(const Bytes& b, std::vector<msos::FunctionGuids>& out) {
    return msos::parse_ms20_set(b.data(), b.size(), out);
}

void put16(Bytes& b, size_t at, size_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

Bytes utf16(const std::string& s) {
    Bytes b;
    for (char c : s) b.insert(b.end(), {static_cast<uint8_t>(c), 0});
    return b;
}

TEST(MsOs20, BoardSetsNameEachFunctionsGuid) {
    auto main = sim::usb_descriptors(config(), DIROV_SIM_FACE_MAIN);
    std::vector<msos::FunctionGuids> fns;
    ASSERT_TRUE(parse(main.ms20_set, fns));
    ASSERT_EQ(fns.size(), 2u);
    EXPECT_EQ(fns[0].interface, 0);
    ASSERT_EQ(fns[0].guids.size(), 1u);
    EXPECT_TRUE(guid_equal(fns[0].guids[0], GUID_DEVINTERFACE_HX4104));
    EXPECT_EQ(fns[1].interface, 1);
    EXPECT_TRUE(guid_equal(fns[1].guids[0], GUID_DFU_MAIN_INTERFACE));

    auto boot = sim::usb_descriptors(config(), DIROV_SIM_FACE_BOOTLOADER);
    ASSERT_TRUE(parse(boot.ms20_set, fns));
    ASSERT_EQ(fns.size(), 1u);
    EXPECT_EQ(fns[0].interface, -1);
    EXPECT_TRUE(guid_equal(fns[0].guids[0], GUID_DFU_MAIN_INTERFACE));

    msos::Ms20Capability cap;
    ASSERT_TRUE(msos::find_ms20_capability(boot.bos.data(), boot.bos.size(), cap));
    EXPECT_EQ(cap.vendor_code, sim::kMsVendorCode);
    EXPECT_EQ(cap.set_length, boot.ms20_set.size());
}

TEST(MsOs20, MultiSzWithSeveralGuidsYieldsAll) {
    Bytes set = sim::ms20_descriptor_set({{2, {WinUSB_TestGuid, GUID_DFU_INTERFACE}}});
    std::vector<msos::FunctionGuids> fns;
    ASSERT_TRUE(parse(set, fns));
    ASSERT_EQ(fns.size(), 1u);
    EXPECT_EQ(fns[0].interface, 2);
    ASSERT_EQ(fns[0].guids.size(), 2u);
    EXPECT_TRUE(guid_equal(fns[0].guids[1], GUID_DFU_INTERFACE));
}

TEST(MsOs20, MalformedSetsAreRefused) {
    const Bytes good = sim::usb_descriptors(config(), DIROV_SIM_FACE_MAIN).ms20_set;
    std::vector<msos::FunctionGuids> fns;
    for (size_t n = 0; n < good.size(); ++n) {
        Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
        EXPECT_FALSE(parse(cut, fns)) << "cut at " << n;
    }
    // Offsets in the main face's set: header 0, config subset 10, first
    // function subset 18, its compatible ID 26, its property 46.
    auto refused = [&](size_t at, size_t value) {
        Bytes b = good;
        put16(b, at, value);
        return !parse(b, fns);
    };
    EXPECT_TRUE(refused(46, 0)) << "zero-length descriptor";
    EXPECT_TRUE(refused(46, 0xFFFF)) << "descriptor past the end";
    EXPECT_TRUE(refused(24, 0xFFFF)) << "function subset past the end";
    EXPECT_TRUE(refused(16, 4)) << "subset shorter than its header";
    EXPECT_TRUE(refused(52, 0x4000)) << "property name past the descriptor";
    EXPECT_TRUE(refused(20, 1)) << "configuration subset inside a function";
    Bytes bad_guid = good;
    bad_guid[46 + 10 + 42 + 2 + 4] = 'Z';  // inside the first GUID's text
    EXPECT_FALSE(parse(bad_guid, fns));
    EXPECT_FALSE(msos::parse_ms20_set(nullptr, 0, fns));
}

TEST(MsOs20, OtherPropertiesAreIgnored) {
    Bytes set = sim::ms20_descriptor_set({{-1, {WinUSB_TestGuid}}});
    // Rename the property: the set stays valid but names no GUID.
    size_t name_at = 10 + 20 + 10;
    Bytes other = utf16("DeviceInterfaceGUIDz");
    std::memcpy(set.data() + name_at, other.data(), other.size());
    std::vector<msos::FunctionGuids> fns;
    ASSERT_TRUE(parse(set, fns));
    EXPECT_TRUE(fns.empty());
}

TEST(Bos, TakesTheNewestWindowsEntryAndChecksLengths) {
    Bytes bos = sim::ms20_bos(200, 0x21);
    // A second entry for a newer Windows with another vendor code.
    bos.insert(bos.end(), {0x00, 0x00, 0x00, 0x0A, 100, 0, 0x33, 0});
    bos[5] = 36;
    put16(bos, 2, bos.size());
    msos::Ms20Capability cap;
    ASSERT_TRUE(msos::find_ms20_capability(bos.data(), bos.size(), cap));
    EXPECT_EQ(cap.vendor_code, 0x33);
    EXPECT_EQ(cap.set_length, 100);

    Bytes other_uuid = sim::ms20_bos(200, 0x21);
    other_uuid[9] ^= 0xFF;
    EXPECT_FALSE(msos::find_ms20_capability(other_uuid.data(), other_uuid.size(), cap));
    Bytes long_cap = sim::ms20_bos(200, 0x21);
    long_cap[5] = 200;
    EXPECT_FALSE(msos::find_ms20_capability(long_cap.data(), long_cap.size(), cap));
    Bytes short_buf = sim::ms20_bos(200, 0x21);
    EXPECT_FALSE(msos::find_ms20_capability(short_buf.data(), short_buf.size() - 1, cap));
}

Bytes ms10_properties(uint32_t type, const Bytes& value) {
    Bytes name = utf16("DeviceInterfaceGUID");
    name.insert(name.end(), {0, 0});
    Bytes section(4 + 4 + 2);
    section.insert(section.end(), name.begin(), name.end());
    section.insert(section.end(), 4, 0);
    section.insert(section.end(), value.begin(), value.end());
    put16(section, 0, section.size());
    section[4] = static_cast<uint8_t>(type);
    put16(section, 8, name.size());
    put16(section, 10 + name.size(), value.size());
    Bytes d = {0, 0, 0, 0, 0x00, 0x01, 0x05, 0x00, 1, 0};
    d.insert(d.end(), section.begin(), section.end());
    put16(d, 0, d.size());
    return d;
}

TEST(MsOs10, StringAndExtendedProperties) {
    Bytes s = {18, 3};
    Bytes sig = utf16("MSFT100");
    s.insert(s.end(), sig.begin(), sig.end());
    s.insert(s.end(), {0x42, 0});
    uint8_t code = 0;
    ASSERT_TRUE(msos::parse_ms10_string(s.data(), s.size(), code));
    EXPECT_EQ(code, 0x42);
    s[4] = 'X';
    EXPECT_FALSE(msos::parse_ms10_string(s.data(), s.size(), code));

    Bytes value = utf16(guid_text(GUID_DEVINTERFACE_HX4104));
    value.insert(value.end(), {0, 0});
    Bytes d = ms10_properties(msos::kRegSz, value);
    std::vector<GUID> guids;
    ASSERT_TRUE(msos::parse_ms10_properties(d.data(), d.size(), guids));
    ASSERT_EQ(guids.size(), 1u);
    EXPECT_TRUE(guid_equal(guids[0], GUID_DEVINTERFACE_HX4104));

    Bytes overlong = d;
    put16(overlong, 10, 0x7FFF);
    EXPECT_FALSE(msos::parse_ms10_properties(overlong.data(), overlong.size(), guids));
    Bytes dword = ms10_properties(4, value);
    EXPECT_FALSE(msos::parse_ms10_properties(dword.data(), dword.size(), guids));
}

TEST(GuidText, BracesOptionalCaseFreeStrictOtherwise) {
    GUID g{};
    ASSERT_TRUE(msos::parse_guid_text("6f0c2d14-93b7-4e2a-a5c1-7d38e0b95f42", g));
    EXPECT_TRUE(guid_equal(g, GUID_DEVINTERFACE_HX4104));
    ASSERT_TRUE(msos::parse_guid_text(guid_text(GUID_DFU_MAIN_INTERFACE), g));
    EXPECT_TRUE(guid_equal(g, GUID_DFU_MAIN_INTERFACE));
    for (const char* bad :
         {"", "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42", "6F0C2D14+93B7-4E2A-A5C1-7D38E0B95F42",
          "6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F4G", "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F421}"})
        EXPECT_FALSE(msos::parse_guid_text(bad, g)) << bad;
}

TEST(GuidMap, EntriesWithAndWithoutInterface) {
    std::vector<msos::GuidMapEntry> map;
    ASSERT_TRUE(msos::parse_guid_map(
        "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}=1d50:6410;;5D8E3F27-A4C1-4B09-9E62-18F7B3C0A4D5="
        "1D50:6411:2;",
        map));
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0].vendor_id, 0x1D50);
    EXPECT_EQ(map[0].product_id, 0x6410);
    EXPECT_EQ(map[0].interface, 0);
    EXPECT_TRUE(guid_equal(map[1].guid, GUID_DFU_MAIN_INTERFACE));
    EXPECT_EQ(map[1].interface, 2);
    for (const char* bad : {"{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}", "x=1d50:6410",
                            "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}=1d50:64100",
                            "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}=1d50:6410:",
                            "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}=1d50:6410:256"}) {
        std::vector<msos::GuidMapEntry> kept(1);
        EXPECT_FALSE(msos::parse_guid_map(bad, kept)) << bad;
        EXPECT_EQ(kept.size(), 1u);
    }
}

}  // namespace
}  // namespace dirov
