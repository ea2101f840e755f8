// Any bytes as an ELF file, with sections the caller chooses: the section
// lookup from a path, and DFU file creation from that list. The input is a
// count (first byte, 0 to 7; 0 takes the default list), then per section an
// id byte and a NUL-terminated name, then the ELF file.
#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dirov410.h"

namespace {

constexpr size_t kMaxSections = 8;
constexpr size_t kMaxName = 64;

std::string out_dir;

// Entries of the output folder; a temporary file left behind shows here.
size_t entries() {
    size_t n = 0;
    if (DIR* d = opendir(out_dir.c_str())) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

void remove_out_dir() {
    std::remove((out_dir + "/fw.dfu").c_str());
    rmdir(out_dir.c_str());
}

struct Sections {
    std::vector<std::string> names;
    std::vector<uint8_t> ids;
};

// Takes the section list off the front of the input; false when it is cut.
bool take_sections(const uint8_t*& p, size_t& left, Sections& s) {
    if (left == 0) return false;
    size_t n = *p++ % kMaxSections;
    --left;
    for (size_t i = 0; i < n; ++i) {
        if (left < 2) return false;
        s.ids.push_back(*p++);
        --left;
        size_t len = strnlen(reinterpret_cast<const char*>(p), std::min(left, kMaxName));
        if (len == left) return false;
        s.names.emplace_back(reinterpret_cast<const char*>(p), len);
        p += len + 1;
        left -= len + 1;
    }
    return true;
}

void look_up(const std::string& path, const Sections& s) {
    for (const std::string& name : s.names) {
        uint32_t size = 1;
        uint8_t* data = elf_get_section_data_from_file(path.c_str(), name.c_str(), &size);
        if (!data && size != 0) __builtin_trap();
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; data && i < size; ++i) sink = sink ^ data[i];
        std::free(data);
    }
}

// A file that was made reads back with at least one record.
void create_and_read(const std::string& path, const Sections& s) {
    std::vector<const char*> names;
    for (const std::string& n : s.names) names.push_back(n.c_str());
    std::string dfu = out_dir + "/fw.dfu";
    int32_t r = dfu_file_create(path.c_str(), dfu.c_str(), static_cast<uint32_t>(names.size()),
                                names.empty() ? nullptr : names.data(),
                                s.ids.empty() ? nullptr : s.ids.data());
    if (entries() != (r == 0 ? 1u : 0u)) __builtin_trap();
    if (r != 0) return;
    uint8_t* image = nullptr;
    uint32_t count = 0;
    if (dfu_file_read(dfu.c_str(), &image, &count) != 0 || count == 0) __builtin_trap();
    std::free(image);
    std::remove(dfu.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/dirov_fuzz_sections_XXXXXX";
    if (mkdtemp(tmpl)) out_dir = tmpl;
    std::atexit(remove_out_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Sections s;
    if (out_dir.empty() || !take_sections(data, size, s)) return 0;
    int fd = memfd_create("elf", 0);
    if (fd < 0) return 0;
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
        std::string path = "/proc/self/fd/" + std::to_string(fd);
        look_up(path, s);
        create_and_read(path, s);
    }
    close(fd);
    return 0;
}
