// Any bytes as an ELF file: the reader, and DFU file creation from it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "dirov410.h"

namespace {

std::string out_dir;

void remove_out_dir() {
    std::remove((out_dir + "/fw.dfu").c_str());
    rmdir(out_dir.c_str());
}

void touch(const uint8_t* p, size_t n) {
    volatile uint8_t sink = 0;
    for (size_t i = 0; i < n; ++i) sink = sink ^ p[i];
    (void)sink;
}

void read_stream(FILE* f) {
    Elf32FileHeader* h = elf_get_file_header(f);
    if (!h) return;
    for (uint32_t i = 0; i < h->e_phnum && i < 64; ++i) std::free(elf_get_program_header(f, h, i));
    for (const char* name : {".patch.main", ".patch.firmware", ".shstrtab", ""}) {
        Elf32SectionHeader* sh = elf_get_section_header(f, h, name);
        uint32_t size = 0;
        uint8_t* data = sh ? elf_get_section_data(f, h, sh, &size) : nullptr;
        if (data) touch(data, size);
        std::free(data);
        std::free(sh);
    }
    std::free(h);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/dirov_fuzz_elf_XXXXXX";
    if (mkdtemp(tmpl)) out_dir = tmpl;
    std::atexit(remove_out_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("elf", 0);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) return 0;
    if (FILE* f = fdopen(dup(fd), "rb")) {
        read_stream(f);
        std::fclose(f);
    }
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::string dfu = out_dir + "/fw.dfu";
    if (!out_dir.empty() && dfu_file_create(path.c_str(), dfu.c_str(), 0, nullptr, nullptr) == 0) {
        uint8_t* image = nullptr;
        uint32_t count = 0;
        if (dfu_file_read(dfu.c_str(), &image, &count) != 0) __builtin_trap();
        std::free(image);
    }
    close(fd);
    return 0;
}
