// The board commands dirovctl can call by name, with their arguments.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "dirov410.h"

namespace dirovctl {

// A command line that cannot be used as given (exit status 2).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Call {
    std::string name;
    std::string args;  // argument names, for the help text
    size_t arity;
    // Runs the command; prints what it read. Returns the function's result.
    // Arguments that do not fit throw UsageError before anything is sent; with
    // a null handle only the arguments are checked (returns 0).
    std::function<int32_t(WINUSB_INTERFACE_HANDLE, std::span<const std::string>)> run;
};

const std::vector<Call>& calls();
// Results as one JSON object per call ({"call", "ok", and "value" or "bytes"})
// instead of text.
void set_json_output(bool on);
// The words of one line of a call file; "#" starts a comment.
std::vector<std::string> split_words(const std::string& line);
const Call* find_call(const std::string& name);

// Numbers as C writes them: decimal, 0x hex or 0 octal; a float for f32.
uint64_t parse_unsigned(const std::string& text, uint64_t max);
int64_t parse_signed(const std::string& text, int64_t min, int64_t max);
// A decimal byte count with an optional K, M or G (1024, 1024^2, 1024^3);
// `what` names it in the usage error.
uint64_t parse_size(const std::string& text, const std::string& what);
// A finite number of seconds above 0.
double parse_seconds(const std::string& text, const std::string& what);

}  // namespace dirovctl
