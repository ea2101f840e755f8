// Any bytes as a DFU file, with or without a suffix.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "dirov410.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("dfu", 0);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) return 0;
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    uint8_t* image = nullptr;
    uint32_t count = 0;
    if (dfu_file_read(path.c_str(), &image, &count) == 0) {
        // Walk the records the count promises, as the download does.
        size_t at = 0;
        volatile uint8_t sink = 0;
        for (uint32_t i = 0; i < count; ++i) {
            size_t n = image[at + 2] | image[at + 3] << 8;
            for (size_t k = 0; k < 8 + n; ++k) sink = sink ^ image[at + k];
            at += 8 + n;
        }
        if (at > size) __builtin_trap();
        std::free(image);
    } else if (image || count) {
        __builtin_trap();
    }
    close(fd);
    return 0;
}
