#include "tools/calls.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "board_commands.h"
#include "platform/byte_count.h"

namespace dirovctl {

uint64_t parse_unsigned(const std::string& text, uint64_t max) {
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || *end || errno || text[0] == '-' || v > max)
        throw UsageError("not a number in range 0.." + std::to_string(max) + ": " + text);
    return v;
}

int64_t parse_signed(const std::string& text, int64_t min, int64_t max) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    // Hex patterns such as 0xffffffff stand for the 32-bit value they spell.
    if (!text.empty() && !*end && errno == 0 && v > max && v <= 0xFFFFFFFFLL && min < 0)
        v = static_cast<int32_t>(static_cast<uint32_t>(v));
    if (text.empty() || *end || errno || v < min || v > max)
        throw UsageError("not a number in range: " + text);
    return v;
}

uint64_t parse_size(const std::string& text, const std::string& what) {
    uint64_t v = 0;
    switch (dirov::parse_byte_count(text, &v)) {
        case dirov::ByteCount::kOk:
            return v;
        case dirov::ByteCount::kTooLarge:
            throw UsageError(what + " is too large: " + text);
        case dirov::ByteCount::kMalformed:
            break;
    }
    throw UsageError(what + " wants a whole number with an optional K, M or G: " + text);
}

double parse_seconds(const std::string& text, const std::string& what) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || errno || !std::isfinite(v) || v <= 0)
        throw UsageError(what + " wants a number of seconds above 0: " + text);
    return v;
}

namespace {

bool json_output = false;

template <typename T>
T parse_arg(const std::string& text) {
    if constexpr (std::is_same_v<T, float>) {
        char* end = nullptr;
        float v = std::strtof(text.c_str(), &end);
        if (text.empty() || *end) throw UsageError("not a number: " + text);
        return v;
    } else if constexpr (std::is_signed_v<T>) {
        return static_cast<T>(
            parse_signed(text, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
    } else {
        return static_cast<T>(parse_unsigned(text, std::numeric_limits<T>::max()));
    }
}

void print_result(const std::string& name, int32_t r) {
    if (json_output)
        std::printf("{\"call\": \"%s\", \"ok\": %s, \"value\": %s}\n", name.c_str(),
                    r == -1 ? "false" : "true", r == -1 ? "null" : std::to_string(r).c_str());
    else if (r == -1)
        std::printf("%s failed\n", name.c_str());
    else
        std::printf("%s = %d (0x%x)\n", name.c_str(), r, static_cast<uint32_t>(r));
}

template <typename... A, size_t... I>
std::tuple<A...> parse_args([[maybe_unused]] std::span<const std::string> v,
                            std::index_sequence<I...>) {
    return {parse_arg<A>(v[I])...};
}

// What the command table (commands/commands.json) says a caller gives.
const char* args_of(const char* name) {
    for (const dirov::BoardCommandDoc& d : dirov::kBoardCommandDocs)
        if (std::string_view(d.name) == name) return d.args;
    return "";
}

template <typename... A>
Call plain(const char* name, int32_t (*fn)(WINUSB_INTERFACE_HANDLE, A...)) {
    return Call{name, args_of(name), sizeof...(A),
                [fn, name](WINUSB_INTERFACE_HANDLE h, std::span<const std::string> v) {
                    auto parsed = parse_args<A...>(v, std::index_sequence_for<A...>{});
                    if (!h) return 0;
                    int32_t r = std::apply(fn, std::tuple_cat(std::make_tuple(h), parsed));
                    print_result(name, r);
                    return r;
                }};
}

std::vector<uint8_t> parse_hex_bytes(const std::string& hex) {
    if (hex.size() % 2) throw UsageError("payload needs an even number of hex digits: " + hex);
    std::vector<uint8_t> out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(parse_unsigned("0x" + hex.substr(i, 2), 0xFF)));
    if (out.size() > 255) throw UsageError("a stream carries at most 255 bytes");
    return out;
}

int32_t print_stream(const char* name, int32_t r, const uint8_t* buf, size_t n) {
    if (r == -1) {
        print_result(name, r);
        return r;
    }
    std::printf(json_output ? "{\"call\": \"%s\", \"ok\": true, \"bytes\": \"" : "%s:", name);
    for (size_t i = 0; i < n; ++i) std::printf(json_output ? "%02x" : " %02x", buf[i]);
    std::printf(json_output ? "\"}\n" : "\n");
    return r;
}

// Read streams fill a caller buffer of up to 255 bytes; the count read is
// the one the board sent, which the tool cannot see, so it shows what was
// asked for.
Call read_stream(const char* name, bool word) {
    return Call{name, args_of(name), 3,
                [name, word](WINUSB_INTERFACE_HANDLE h, std::span<const std::string> v) {
                    auto a = parse_arg<uint8_t>(v[0]);
                    // The word form addresses 32 bits and counts 8; the byte form the other way.
                    int32_t wide = word ? parse_arg<int32_t>(v[1]) : parse_arg<int32_t>(v[2]);
                    uint8_t narrow = word ? parse_arg<uint8_t>(v[2]) : parse_arg<uint8_t>(v[1]);
                    if (!word && (wide < 0 || wide > 255)) throw UsageError("n must be 0..255");
                    if (!h) return 0;
                    uint8_t buf[255] = {};
                    size_t n = word ? narrow : static_cast<size_t>(wide);
                    int32_t r = word ? cbus_read_word_stream(h, a, wide, narrow, buf)
                                     : cbus_read_byte_stream(h, a, narrow, wide, buf);
                    return print_stream(name, r, buf, n);
                }};
}

Call write_stream(const char* name, bool word) {
    return Call{name, args_of(name), 3,
                [name, word](WINUSB_INTERFACE_HANDLE h, std::span<const std::string> v) {
                    std::vector<uint8_t> p = parse_hex_bytes(v[2]);
                    auto a = parse_arg<uint8_t>(v[0]);
                    int32_t b = word ? parse_arg<int32_t>(v[1]) : parse_arg<uint8_t>(v[1]);
                    if (!h) return 0;
                    int32_t r =
                        word ? cbus_write_word_stream(h, a, b, p.data(),
                                                      static_cast<uint8_t>(p.size()))
                             : cbus_write_byte_stream(h, a, static_cast<uint8_t>(b),
                                                      static_cast<int32_t>(p.size()), p.data());
                    print_result(name, r);
                    return r;
                }};
}

std::vector<Call> make_calls() {
    return {
        plain("cbus_read_word", cbus_read_word),
        plain("cbus_read_byte", cbus_read_byte),
        read_stream("cbus_read_word_stream", true),
        read_stream("cbus_read_byte_stream", false),
        plain("cbus_write_word", cbus_write_word),
        plain("cbus_write_byte", cbus_write_byte),
        write_stream("cbus_write_word_stream", true),
        write_stream("cbus_write_byte_stream", false),
        plain("cbus_set_spi", cbus_set_spi),
        plain("cbus_set_baud_rate", cbus_set_baud_rate),
        plain("gpio_init", gpio_init),
        plain("gpio_set_dir", gpio_set_dir),
        plain("gpio_write", gpio_write),
        plain("gpio_read", gpio_read),
        plain("gpio_set_pin", gpio_set_pin),
        plain("gpio_clear_pin", gpio_clear_pin),
        plain("dio_init", dio_init),
        plain("dio_write", dio_write),
        plain("dio_set_pin", dio_set_pin),
        plain("dio_clear_pin", dio_clear_pin),
        plain("io_init", io_init),
        plain("io_set_dir", io_set_dir),
        plain("io_write", io_write),
        plain("io_read", io_read),
        plain("io_set_pin", io_set_pin),
        plain("io_clear_pin", io_clear_pin),
        plain("dedicated_io_init", dedicated_io_init),
        plain("set_booten_1", set_booten_1),
        plain("set_booten_2", set_booten_2),
        plain("clear_booten_1", clear_booten_1),
        plain("clear_booten_2", clear_booten_2),
        plain("irqn_int_set", irqn_int_set),
        plain("irqn_enable", irqn_enable),
        plain("irqn_disable", irqn_disable),
        plain("dedio_get_status", dedio_get_status),
        plain("host_port_i2s_init", host_port_i2s_init),
        plain("host_port_tx_i2s_dma_enable", host_port_tx_i2s_dma_enable),
        plain("host_port_rx_i2s_dma_enable", host_port_rx_i2s_dma_enable),
        plain("host_port_i2s_dma_disable", host_port_i2s_dma_disable),
        plain("host_port_i2s_dma_set_left_sine", host_port_i2s_dma_set_left_sine),
        plain("host_port_i2s_dma_set_right_sine", host_port_i2s_dma_set_right_sine),
        plain("host_port_i2s_rx_status", host_port_i2s_rx_status),
        plain("gen_reset", gen_reset),
        plain("gen_version", gen_version),
        plain("load_fi_QDR5X3X", load_fi_QDR5X3X),
        plain("load_fi_QDR504X_QDR514X", load_fi_QDR504X_QDR514X),
        plain("load_fi_QDR524X_QDR534X", load_fi_QDR524X_QDR534X),
        plain("load_fi_QDR5X6X", load_fi_QDR5X6X),
        plain("timer_sleep", timer_sleep),
        plain("uart_init", uart_init),
        plain("uart_set_baud_rate", uart_set_baud_rate),
        plain("uart_set_config", uart_set_config),
        plain("uart_write_byte", uart_write_byte),
        plain("sd_test", sd_test),
    };
}

}  // namespace

void set_json_output(bool on) {
    json_output = on;
}

std::vector<std::string> split_words(const std::string& line) {
    std::vector<std::string> words;
    for (size_t at = 0;;) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string::npos || line[at] == '#') return words;
        size_t end = line.find_first_of(" \t\r", at);
        words.push_back(line.substr(at, end - at));
        at = end;
    }
}

namespace {

// The functions and the command table must agree, or the help would lie.
std::vector<Call> checked(std::vector<Call> table) {
    bool sound = table.size() == std::size(dirov::kBoardCommandDocs);
    for (const Call& c : table) sound = sound && split_words(c.args).size() == c.arity;
    if (!sound) {
        std::fputs("dirovctl: the board command table does not match the commands\n", stderr);
        std::abort();
    }
    return table;
}

}  // namespace

const std::vector<Call>& calls() {
    static const std::vector<Call> table = checked(make_calls());
    return table;
}

std::string calls_help() {
    std::string out =
        "Board commands (numbers decimal or 0x hex; the tool prints what a read gives):\n";
    for (const dirov::BoardCommandDoc& d : dirov::kBoardCommandDocs) {
        out += "  " + std::string(d.name) + (*d.args ? " " : "") + d.args + "\n      " + d.summary +
               " Sends \"" + d.command + "\".\n" + d.help + "      Result: " + d.result + "\n";
    }
    return out;
}

const Call* find_call(const std::string& name) {
    for (const Call& c : calls())
        if (c.name == name) return &c;
    return nullptr;
}

}  // namespace dirovctl
