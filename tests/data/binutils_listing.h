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
    std::string name;
    uint32_t size, vma, lma, offset;
};

inline std::string data_path(const std::string& name) {
    return std::string(DIROV_TEST_DATA_DIR) + "/" + name;
}

inline std::vector<uint8_t> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The rows of expected/<elf>.sections.txt, in table order.
inline std::vector<ListedSection> listed_sections(const std::string& elf) {
    std::ifstream in(data_path("expected/" + elf + ".sections.txt"));
    std::vector<ListedSection> out;
    char name[64];
    ListedSection s;
    for (std::string line; std::getline(in, line);) {
        if (std::sscanf(line.c_str(), "%*u %63s %x %x %x %x", name, &s.size, &s.vma, &s.lma,
                        &s.offset) == 5)
            out.push_back({name, s.size, s.vma, s.lma, s.offset});
    }
    return out;
}

inline std::vector<uint8_t> listed_bytes(const std::string& elf, const std::string& section) {
    return file_bytes(data_path("expected/" + elf + section + ".bin"));
}

}  // namespace dirov::test
