// Captures what the library writes on stdout or stderr.
#pragma once

#include <cstdio>
#include <string>

namespace dirov::test {

class OutputCapture {
   public:
    explicit OutputCapture(FILE* stream);  // stdout or stderr
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;
    // Everything written since construction (or the last take), and resets.
    std::string take();

   private:
    FILE* stream_;
    int fd_;
    int saved_;
    FILE* tmp_;
};

// Captures both streams for the life of the object.
struct Captured {
    OutputCapture out{stdout};
    OutputCapture err{stderr};
};

struct Output {
    std::string out, err;
};

// Runs `fn` with stdout and stderr captured; test failures inside would be
// captured too, so `fn` only acts.
template <typename Fn>
Output Capturing(Fn&& fn) {
    Captured c;
    fn();
    return {c.out.take(), c.err.take()};
}

}  // namespace dirov::test
