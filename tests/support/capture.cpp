#include "support/capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace dirov::test {

OutputCapture::OutputCapture(FILE* stream) : stream_(stream), fd_(fileno(stream)) {
    std::fflush(stream_);
    saved_ = dup(fd_);
    tmp_ = scratch_file();
    if (!tmp_) std::abort();
    dup2(fileno(tmp_), fd_);
    prepare_redirect(fd_);
}

OutputCapture::~OutputCapture() {
    std::fflush(stream_);
    dup2(saved_, fd_);
    close(saved_);
    std::fclose(tmp_);
}

std::string OutputCapture::take() {
    std::fflush(stream_);
    std::string text;
    std::rewind(tmp_);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, tmp_)) > 0) text.append(buf, n);
    std::fflush(tmp_);
    (void)!ftruncate(fileno(tmp_), 0);
    std::rewind(tmp_);
    normalize_line_ends(text);
    return text;
}

}  // namespace dirov::test
