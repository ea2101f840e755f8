#include "support/capture.h"

#include <unistd.h>

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
    std::rewind(tmp_);
    std::string text;
    for (int c; (c = std::fgetc(tmp_)) != EOF;) text += static_cast<char>(c);
    std::fflush(tmp_);
    (void)!ftruncate(fileno(tmp_), 0);
    std::rewind(tmp_);
    normalize_line_ends(text);
    return text;
}

}  // namespace dirov::test
