// Any bytes as a file for the suffix operations; appending a suffix must
// give a file whose suffix checks, and removing it the file before, unless
// the file already ends with a well-formed suffix, which an add leaves alone.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "dirov410.h"

namespace {

long length(FILE* f) {
    long pos = std::ftell(f);
    std::fseek(f, 0, SEEK_END);
    long end = std::ftell(f);
    std::fseek(f, pos, SEEK_SET);
    return end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = memfd_create("suffix", 0);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) return 0;
    FILE* f = fdopen(fd, "r+b");
    if (!f) return 0;
    DfuSuffix found, ours;
    dfu_file_new_suffix(&ours, 0, 0x0483, 0xDF11, size);
    if (dfu_file_read_suffix(f, &found) == 0) {
        dfu_file_verify_suffix(&found);
        dfu_file_compare_suffix(&found, &ours);
    }
    dfu_file_check_suffix(f);
    long before = length(f);
    if (dfu_file_remove_suffix(f) == 0 && length(f) != before - 16) __builtin_trap();
    before = length(f);
    int32_t added = dfu_file_add_suffix(f, &ours);
    if (added == DFU_SUFFIX_PRESENT) {
        if (length(f) != before || dfu_file_read_suffix(f, &found) != 0 ||
            dfu_file_verify_suffix(&found) != 0)
            __builtin_trap();
        std::fclose(f);
        return 0;
    }
    if (added != 0) __builtin_trap();
    if (dfu_file_check_suffix(f) != 0) __builtin_trap();
    if (dfu_file_remove_suffix(f) != 0 || length(f) != before) __builtin_trap();
    std::fclose(f);
    return 0;
}
