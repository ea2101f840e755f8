// Reads what make_firmware.sh captured from binutils: the section table of
// `objdump -h` and the section bytes of `objcopy -O binary --only-section`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace dirov::test {

struct ListedSection {
    uint32_t size = 0, lma = 0;
};

inline std::string data_path(const std::string& name) {
    return std::string(DIROV_TEST_DATA_DIR) + "/" + name;
}

inline std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The row of `section` in expected/<elf>.sections.txt (all zero if absent).
inline ListedSection listed(const std::string& elf, const std::string& section) {
    std::ifstream in(data_path("expected/" + elf + ".sections.txt"));
    ListedSection s;
    char name[64];
    for (std::string line; std::getline(in, line);)
        if (std::sscanf(line.c_str(), "%*u %63s %x %*x %x", name, &s.size, &s.lma) == 3 &&
            name == section)
            return s;
    return {};
}

inline std::vector<uint8_t> listed_bytes(const std::string& elf, const std::string& section) {
    return file_bytes(data_path("expected/" + elf + section + ".bin"));
}

}  // namespace dirov::test
